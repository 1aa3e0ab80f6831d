"""Everything that touches Qiskit and Aer: loading circuits, running them, reading counts.

Qiskit and Aer are imported on first use, never at ``import morvane_python``,
so the package imports (and its QPU launcher works) on machines without them
until a circuit has to be handled.
"""

import base64
import importlib
import io
from dataclasses import dataclass

from . import _seed
from .errors import SeamError

_INSTALL_HINT = {
    "qiskit": "pip install qiskit",
    "qiskit_aer": "pip install qiskit-aer",
}


def require(module):
    """Import ``module`` (``qiskit`` or ``qiskit_aer``) or raise an ImportError saying what to install."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        package = module.replace("_", "-")
        raise ImportError(
            f"morvane_python needs the '{package}' package to run circuits on the Aer "
            f"simulator; install it with `{_INSTALL_HINT[module]}` ({exc})",
            name=module,
        ) from exc


def _qiskit():
    qiskit = require("qiskit")
    importlib.import_module("qiskit.qasm2")
    importlib.import_module("qiskit.qpy")
    return qiskit


def is_quantum_circuit(value):
    qiskit = _qiskit()
    return isinstance(value, qiskit.QuantumCircuit)


def load_qasm(text):
    qiskit = _qiskit()
    return qiskit.qasm2.loads(
        text, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS
    )


def to_qpy_text(circuit):
    """The circuit as base64 QPY, for the wire."""
    qiskit = _qiskit()
    buffer = io.BytesIO()
    qiskit.qpy.dump(circuit, buffer)
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def from_qpy_text(text):
    qiskit = _qiskit()
    circuits = qiskit.qpy.load(io.BytesIO(base64.b64decode(text, validate=True)))
    if len(circuits) != 1:
        raise ValueError(f"expected one circuit in the QPY payload, got {len(circuits)}")
    return circuits[0]


def load_entry(entry, position):
    """A ``qcs`` entry as a QuantumCircuit: OpenQASM 2.0 text is parsed, circuits pass through."""
    if isinstance(entry, str):
        return load_qasm(entry)
    if is_quantum_circuit(entry):
        return entry
    raise TypeError(
        f"qcs[{position}] must be OpenQASM 2.0 text (str) or a qiskit QuantumCircuit, "
        f"got {type(entry).__name__}"
    )


def _has_measurement(circuit):
    for instruction in circuit.data:
        operation = instruction.operation
        if operation.name == "measure":
            return True
        for block in getattr(operation, "blocks", ()):
            if _has_measurement(block):
                return True
    return False


def _operation_names(circuit, names):
    for instruction in circuit.data:
        operation = instruction.operation
        names.add(operation.name)
        for block in getattr(operation, "blocks", ()):
            _operation_names(block, names)
    return names


@dataclass
class Prepared:
    """A circuit ready for Aer and how to read its counts back.

    The counts of a circuit are its classical bits ``shift .. shift+width-1``
    (classical bit ``shift`` rightmost in the key).
    """

    circuit: object
    shift: int
    width: int


# Aer executes barriers although its target does not list them.
_ALWAYS_SUPPORTED = {"barrier"}


class SimulatorTarget:
    """What ``prepare`` needs of a simulator's target, read once for all the circuits of a call.

    Aer builds a new ``Target`` on every read of ``AerSimulator.target`` (a few
    milliseconds each), so reading it once per circuit dominated the cost of
    running many small circuits. The target is a function of the simulator's
    configuration alone, so one read serves every circuit run on that simulator.
    """

    def __init__(self, simulator):
        self.target = simulator.target
        self.supported = frozenset(self.target.operation_names) | _ALWAYS_SUPPORTED


def prepare(circuit, simulator_target):
    """Measurement and basis fix-ups; the caller's circuit is never modified.

    A circuit without any measurement is read out on every qubit, like the
    native backend does: Aer gets a copy with a measurement of all qubits into
    fresh classical bits, and only those bits form the key. Instructions the
    simulator does not implement (custom gates, library blocks) are expanded
    into its instruction set without optimisation, on the same qubits.
    ``simulator_target`` is the ``SimulatorTarget`` of the simulator that runs it.
    """
    if _has_measurement(circuit):
        shift, width = 0, circuit.num_clbits
    else:
        shift, width = circuit.num_clbits, circuit.num_qubits
        circuit = circuit.measure_all(inplace=False, add_bits=True)
    if not _operation_names(circuit, set()) <= simulator_target.supported:
        qiskit = _qiskit()
        expanded = qiskit.transpile(circuit, target=simulator_target.target, optimization_level=0)
        if (expanded.num_qubits, expanded.num_clbits) != (circuit.num_qubits, circuit.num_clbits):
            raise ValueError(
                f"translating circuit '{circuit.name}' for Aer changed its width "
                f"({circuit.num_qubits} qubits, {circuit.num_clbits} bits -> "
                f"{expanded.num_qubits} qubits, {expanded.num_clbits} bits)"
            )
        circuit = expanded
    return Prepared(circuit, shift, width)


def _counts(experiment, prepared):
    """Aer's hexadecimal counts as plain bitstrings over the circuit's read-out bits."""
    raw = getattr(experiment.data, "counts", None) or {}
    mask = (1 << prepared.width) - 1
    counts = {}
    for key, value in raw.items():
        bits = (int(key, 16) >> prepared.shift) & mask
        text = format(bits, f"0{prepared.width}b") if prepared.width else ""
        counts[text] = counts.get(text, 0) + int(value)
    return counts


def _check_success(result, positions):
    for experiment, position in zip(result.results, positions):
        if not experiment.success:
            raise SeamError(f"Aer failed on circuit {position}: {experiment.status}")
    if len(result.results) != len(positions):
        raise SeamError(
            f"Aer returned {len(result.results)} result(s) for {len(positions)} circuit(s): "
            f"{result.status}"
        )


def run_counts(
    circuits,
    *,
    shots,
    sim_method,
    seed=None,
    noise_model=None,
    max_parallel_experiments=None,
    max_parallel_threads=None,
    first_position=0,
    precision=None,
):
    """Run QuantumCircuits on one AerSimulator and return their counts, in order.

    With ``seed``, circuit k is simulated under the Aer seed
    ``aer_seed(seed + k)``, so the counts of a circuit depend only on the seed
    it is given and not on what else runs in the same call. Aer seeds the
    experiments of one call itself (see ``_seed``); the seeds it reports are
    checked, and any circuit that did not get its own is run again alone.
    """
    if not circuits:
        return []
    aer = require("qiskit_aer")
    _qiskit()
    simulator_options = {"method": sim_method}
    if max_parallel_threads is not None:
        simulator_options["max_parallel_threads"] = max_parallel_threads
    # Aer's own option ("double" or "single"); left to Aer's default unless chosen.
    if precision is not None:
        simulator_options["precision"] = precision
    simulator = aer.AerSimulator(**simulator_options)
    target = SimulatorTarget(simulator)
    prepared = [prepare(circuit, target) for circuit in circuits]

    options = {"shots": shots}
    if max_parallel_experiments is not None:
        options["max_parallel_experiments"] = max_parallel_experiments
    if noise_model is not None:
        options["noise_model"] = noise_model
    if seed is not None:
        options["seed_simulator"] = _seed.aer_seed(seed)

    positions = [first_position + k for k in range(len(prepared))]
    result = simulator.run([p.circuit for p in prepared], **options).result()
    _check_success(result, positions)
    counts = [_counts(experiment, p) for experiment, p in zip(result.results, prepared)]

    if seed is not None:
        for k, experiment in enumerate(result.results):
            wanted = _seed.aer_seed_u64(seed + k)
            if getattr(experiment, "seed_simulator", None) == wanted:
                continue
            options["seed_simulator"] = _seed.aer_seed(seed + k)
            single = simulator.run([prepared[k].circuit], **options).result()
            _check_success(single, [positions[k]])
            counts[k] = _counts(single.results[0], prepared[k])
    return counts
