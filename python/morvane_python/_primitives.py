"""What morvane's Qiskit primitives share: Qiskit imported on first use, the
seeding of a run, circuits converted once for the native engine, PUB
parameter arrays as value rows, and jobs that run off the caller's thread.

Importing this module imports Qiskit; ``morvane.qiskit`` imports it only when
a primitive is first accessed, so ``import morvane`` never needs Qiskit.
"""

import importlib

import numpy as np

_QISKIT_HINT = "pip install 'qiskit>=1.0'"


def _require_qiskit():
    try:
        importlib.import_module("qiskit")
    except ImportError as error:
        raise ImportError(
            "morvane.qiskit needs the 'qiskit' package for Qiskit's primitives; install it "
            f"with `{_QISKIT_HINT}` ({error})",
            name="qiskit",
        ) from error


_require_qiskit()

import morvane  # noqa: E402  (after the check, so a missing Qiskit is named first)
from qiskit.exceptions import QiskitError  # noqa: E402
from qiskit.primitives.primitive_job import PrimitiveJob  # noqa: E402

_SEED_BOUND = 1 << 64


def check_precision(precision, *, estimator=False):
    """The simulation ``precision`` of a primitive: "double" or "single"."""
    if precision in ("double", "single"):
        return precision
    hint = ""
    if estimator and isinstance(precision, (int, float)) and not isinstance(precision, bool):
        hint = (
            "; the target precision of the estimates is default_precision= (or run(precision=))"
        )
    raise ValueError(
        f"precision must be 'double' or 'single' (the simulator's arithmetic), got {precision!r}"
        + hint
    )


def check_seed(seed):
    """The ``seed`` argument of a primitive, refused unless None, an int or a Generator."""
    if seed is None or isinstance(seed, np.random.Generator):
        return seed
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(
            f"seed must be None, an int or a numpy.random.Generator, got {type(seed).__name__}"
        )
    if seed < 0:
        raise ValueError(f"seed must be >= 0, got {seed}")
    return seed


def seed_source(seed):
    """The generator one ``run`` call draws its PUB seeds from.

    An int seeds a fresh generator per call, so the same seed and the same PUBs
    give the same results on every call; a Generator is drawn from (and
    advances); None draws fresh entropy.
    """
    if isinstance(seed, np.random.Generator):
        return seed
    return np.random.default_rng(seed)


def next_seed(source):
    """One unsigned 64-bit seed for the native engine."""
    return int(source.integers(0, _SEED_BOUND, dtype=np.uint64))


class CircuitCache:
    """Qiskit circuits converted for the native engine, once per circuit object
    within one run (the PUBs keep their circuits alive, so identity is stable)."""

    def __init__(self, primitive):
        self._primitive = primitive
        self._converted = {}

    def native(self, circuit):
        key = id(circuit)
        if key not in self._converted:
            try:
                self._converted[key] = morvane.Circuit.from_qiskit(circuit)
            except ValueError as error:
                # Qiskit's primitives report a circuit they cannot run as a QiskitError.
                raise QiskitError(
                    f"{self._primitive} cannot run circuit '{circuit.name}' on the native "
                    f"engine: {error}"
                ) from error
        return self._converted[key]


def value_rows(pub):
    """The PUB's parameter values as one C-contiguous float64 matrix with a row
    per element of the PUB's shape, columns in ``circuit.parameters`` order (the
    order ``Circuit.from_qiskit`` numbers them)."""
    circuit = pub.circuit
    rows = int(np.prod(pub.shape, dtype=np.int64))
    values = pub.parameter_values.as_array(circuit.parameters)
    return np.ascontiguousarray(values, dtype=np.float64).reshape(rows, circuit.num_parameters)


def submit(function, *args):
    """A Qiskit job running ``function(*args)`` off the caller's thread."""
    job = PrimitiveJob(function, *args)
    job._submit()
    return job
