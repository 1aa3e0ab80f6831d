"""Type stubs of `morvane.qiskit`."""

import abc
from collections.abc import Iterable
from typing import Any, Literal

import numpy as np

# Qiskit ships no type information, so its classes are left open here:
# SamplerV2 is a qiskit.primitives.BaseSamplerV2 and EstimatorV2 a
# BaseEstimatorV2; run() returns a qiskit.primitives.PrimitiveJob whose
# result() is a PrimitiveResult of SamplerPubResult or PubResult.
_BaseSamplerV2 = Any
_BaseEstimatorV2 = Any
_SamplerPubLike = Any
_EstimatorPubLike = Any
_PrimitiveJob = Any

class SamplerV2(_BaseSamplerV2, metaclass=abc.ABCMeta):  # type: ignore[misc]
    def __init__(
        self,
        *,
        default_shots: int = 1024,
        seed: np.random.Generator | int | None = None,
        precision: Literal["double", "single"] = "double",
    ) -> None: ...
    @property
    def default_shots(self) -> int: ...
    @property
    def precision(self) -> Literal["double", "single"]: ...
    @property
    def seed(self) -> np.random.Generator | int | None: ...
    def run(self, pubs: Iterable[_SamplerPubLike], *, shots: int | None = None) -> _PrimitiveJob: ...

class EstimatorV2(_BaseEstimatorV2, metaclass=abc.ABCMeta):  # type: ignore[misc]
    def __init__(
        self,
        *,
        default_precision: float = 0.0,
        seed: np.random.Generator | int | None = None,
        precision: Literal["double", "single"] = "double",
    ) -> None: ...
    @property
    def default_precision(self) -> float: ...
    @property
    def precision(self) -> Literal["double", "single"]: ...
    @property
    def seed(self) -> np.random.Generator | int | None: ...
    def run(
        self, pubs: Iterable[_EstimatorPubLike], *, precision: float | None = None
    ) -> _PrimitiveJob: ...

def __dir__() -> list[str]: ...
