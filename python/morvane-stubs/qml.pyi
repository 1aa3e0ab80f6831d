"""Type stubs of `morvane.qml`."""

from collections.abc import Iterable, Sequence

from . import TrainResult, _Callback, _Cost, _Method, _Precision, _QiskitCircuit

def train(
    feature_map: _QiskitCircuit,
    ansatz: _QiskitCircuit,
    x_train: Iterable[Sequence[float]],
    method: _Method,
    shots: int,
    n_qpus: int,
    dimensions: int,
    expectation_function: _Cost,
    infrastructure: str,
    nodes: int,
    cores_per_qpu: int,
    id: str,
    sim_method: str = "automatic",
    noise_model: object = None,
    backend: str = "aer",
    seed: int | None = None,
    callback: _Callback | None = None,
    *,
    precision: _Precision | None = None,
) -> TrainResult: ...
