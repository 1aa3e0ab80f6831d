"""Type stubs of `morvane.qiskit`."""

import abc
from collections.abc import Iterable
from typing import Any

import numpy as np

# Qiskit ships no type information, so its classes are left open here:
# SamplerV2 is a qiskit.primitives.BaseSamplerV2, run() returns a
# qiskit.primitives.PrimitiveJob whose result() is a PrimitiveResult of
# SamplerPubResult.
_BaseSamplerV2 = Any
_SamplerPubLike = Any
_PrimitiveJob = Any

class SamplerV2(_BaseSamplerV2, metaclass=abc.ABCMeta):  # type: ignore[misc]
    def __init__(
        self, *, default_shots: int = 1024, seed: np.random.Generator | int | None = None
    ) -> None: ...
    @property
    def default_shots(self) -> int: ...
    @property
    def seed(self) -> np.random.Generator | int | None: ...
    def run(self, pubs: Iterable[_SamplerPubLike], *, shots: int | None = None) -> _PrimitiveJob: ...

def __dir__() -> list[str]: ...
