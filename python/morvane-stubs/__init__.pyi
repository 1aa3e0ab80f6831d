"""Type stubs of the extension module `morvane`."""

from collections.abc import Callable, Sequence
from os import PathLike
from typing import Any, ClassVar, TypedDict, final

import numpy as np
import numpy.typing as npt

from . import circuits as circuits
from . import qml as qml

# A Qiskit QuantumCircuit. Qiskit ships no type information, so it is left
# open here; anything that is not a Circuit (or OpenQASM text, where that is
# accepted) is handed to Qiskit and fails there if it is no circuit.
_QiskitCircuit = Any

# What an angle argument accepts: a trainable parameter or a number.
_Angle = Param | float

# The cost a training run reduces each candidate's counts to.
_Cost = Callable[[str], float] | CachedCost | Qubo | Ising

# The optimiser of a training run.
_Method = DE | PSO | QNG

# Called after every generation or iteration; a true result stops the run.
_Callback = Callable[[TrainProgress], bool | None]

class MorvaneError(Exception): ...
class BackendError(MorvaneError): ...
class CunqaError(BackendError): ...
class QmioError(BackendError): ...
class NativeCircuitError(BackendError): ...
class EvaluationError(MorvaneError): ...

@final
class DE:
    generations: int
    population_size: int
    tolerance: float
    patience: int
    seed: int | None
    def __new__(
        cls,
        generations: int = 100,
        population_size: int = 50,
        tolerance: float = 0.01,
        patience: int = 20,
        seed: int | None = None,
    ) -> DE: ...

@final
class PSO:
    generations: int
    population_size: int
    bounds: tuple[float, float]
    inertia_weight: float
    cognitive_weight: float
    social_weight: float
    tolerance: float
    seed: int | None
    def __new__(
        cls,
        generations: int = 100,
        population_size: int = 50,
        bounds: tuple[float, float] = ...,
        inertia_weight: float = 0.5,
        cognitive_weight: float = 1.0,
        social_weight: float = 1.0,
        tolerance: float = 0.01,
        seed: int | None = None,
    ) -> PSO: ...

@final
class QNG:
    variance_function: Callable[[list[float], int], float]
    max_iters: int
    bounds: tuple[float, float]
    learning_rate: float
    finite_difference_step: float
    tikhonov_reg: float
    seed: int | None
    def __new__(
        cls,
        variance_function: Callable[[list[float], int], float],
        max_iters: int = 100,
        bounds: tuple[float, float] = ...,
        learning_rate: float = 0.1,
        finite_difference_step: float = 0.1,
        tikhonov_reg: float = 0.05,
        seed: int | None = None,
    ) -> QNG: ...

@final
class Circuit:
    def __new__(cls, num_qubits: int) -> Circuit: ...
    @staticmethod
    def from_qasm2(source: str) -> Circuit: ...
    @property
    def num_qubits(self) -> int: ...
    @property
    def num_params(self) -> int: ...
    @property
    def num_clbits(self) -> int: ...
    def h(self, qubit: int) -> Circuit: ...
    def x(self, qubit: int) -> Circuit: ...
    def y(self, qubit: int) -> Circuit: ...
    def z(self, qubit: int) -> Circuit: ...
    def s(self, qubit: int) -> Circuit: ...
    def t(self, qubit: int) -> Circuit: ...
    def sdg(self, qubit: int) -> Circuit: ...
    def tdg(self, qubit: int) -> Circuit: ...
    def rx(self, qubit: int, theta: _Angle) -> Circuit: ...
    def ry(self, qubit: int, theta: _Angle) -> Circuit: ...
    def rz(self, qubit: int, theta: _Angle) -> Circuit: ...
    def u(self, qubit: int, theta: _Angle, phi: _Angle, lam: _Angle) -> Circuit: ...
    def cx(self, control: int, target: int) -> Circuit: ...
    def cz(self, control: int, target: int) -> Circuit: ...
    def swap(self, q0: int, q1: int) -> Circuit: ...
    def rzz(self, q0: int, q1: int, theta: _Angle) -> Circuit: ...
    def rxx(self, q0: int, q1: int, theta: _Angle) -> Circuit: ...
    def cp(self, q0: int, q1: int, theta: _Angle) -> Circuit: ...
    def barrier(self, qubits: Sequence[int] | None = None) -> Circuit: ...
    def measure(self, qubit: int, cbit: int) -> Circuit: ...
    def measure_all(self) -> Circuit: ...
    def to_qasm2(self, params: Sequence[float] | None = None) -> str: ...
    def to_qir(self, params: Sequence[float] | None = None) -> str: ...
    def to_qir_bitcode(self, params: Sequence[float] | None = None) -> bytes: ...
    def __len__(self) -> int: ...

@final
class Param:
    # Equality is by index, and there is no hash.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, index: int) -> Param: ...
    @property
    def index(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class RunResult:
    @property
    def counts(self) -> list[dict[str, int]] | dict[str, int]: ...
    @property
    def seed(self) -> int | None: ...
    @property
    def backend(self) -> str: ...
    @property
    def infrastructure(self) -> str: ...
    @property
    def id(self) -> str: ...

@final
class TrainResult:
    @property
    def best_params(self) -> list[float]: ...
    @property
    def iterations_run(self) -> int: ...
    @property
    def converged(self) -> bool: ...
    @property
    def fitness_history(self) -> list[float]: ...
    @property
    def seed(self) -> int: ...
    @property
    def id(self) -> str: ...
    @property
    def best_fitness(self) -> float: ...

@final
class TrainProgress:
    @property
    def iteration(self) -> int: ...
    @property
    def best_fitness(self) -> float: ...
    @property
    def best_params(self) -> tuple[float, ...]: ...
    @property
    def elapsed_secs(self) -> float: ...

@final
class Qubo:
    def __new__(
        cls,
        num_vars: int,
        linear: Sequence[tuple[int, float]] | None = None,
        quadratic: Sequence[tuple[int, int, float]] | None = None,
        constant: float = 0.0,
        scale: float = 1.0,
    ) -> Qubo: ...
    @staticmethod
    def from_matrix(matrix: Sequence[Sequence[float]], scale: float = 1.0) -> Qubo: ...
    @property
    def num_vars(self) -> int: ...

@final
class Ising:
    def __new__(
        cls,
        num_vars: int,
        fields: Sequence[tuple[int, float]] | None = None,
        couplings: Sequence[tuple[int, int, float]] | None = None,
        constant: float = 0.0,
        scale: float = 1.0,
    ) -> Ising: ...
    @property
    def num_vars(self) -> int: ...

@final
class CachedCost:
    def __new__(cls, cost_fn: Callable[[str], float]) -> CachedCost: ...

def train(
    qc: Circuit | _QiskitCircuit,
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
    fusion: bool | None = None,
    callback: _Callback | None = None,
) -> TrainResult: ...
def run_quantum_circuit(
    qc: Circuit | str | _QiskitCircuit,
    shots: int,
    infrastructure: str,
    n_qpus: int = 1,
    nodes: int = 1,
    cores_per_qpu: int = 2,
    sim_method: str = "automatic",
    noise_model: object = None,
    backend: str = "aer",
    seed: int | None = None,
    fusion: bool | None = None,
    *,
    params: Sequence[float] | None = None,
) -> RunResult: ...
def statevector(
    qc: Circuit, params: Sequence[float] | None = None, fusion: bool = True
) -> npt.NDArray[np.complex128]: ...
def init_logger(
    level: str = "info",
    format: str = "text",
    file: str | PathLike[str] | None = None,
    run_name: str | None = None,
    console: bool = False,
    timestamp: bool = True,
    thread_id: bool = False,
    module_path: bool = False,
) -> str | None: ...

class _CalibrationReport(TypedDict):
    threshold: int
    num_threads: int
    duration_secs: float
    reused_cache: bool
    cache_path: str | None
    cache_written: bool

def calibrate_parallel_threshold(force: bool = False) -> _CalibrationReport: ...
def backend_cleanup_failures() -> int: ...
