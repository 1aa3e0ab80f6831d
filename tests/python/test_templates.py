"""morvane.circuits.templates.qft: gate lists, agreement with Qiskit, arguments."""

import inspect
import random
import warnings

import numpy as np
import pytest

import morvane
from morvane import Circuit, Param
from morvane.circuits.templates import qft

qiskit = pytest.importorskip("qiskit")
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit.library import QFTGate  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402
from qiskit.synthesis import synth_qft_full  # noqa: E402

HALF_PI = "1.570796326795"


def body(circuit):
    """The instruction lines of an exported circuit, without header and registers."""
    lines = circuit.to_qasm2().splitlines()[2:]
    return [line for line in lines if not line.startswith(("qreg", "creg"))]


def random_preparation(n, rng):
    """Gates that take |0...0> to a generic complex state, as OpenQASM lines and as a
    Qiskit circuit. Only gates without a global-phase convention are used, so the two
    states must agree amplitude for amplitude."""
    lines, qc = [], QuantumCircuit(n)
    for q in range(n):
        theta = rng.uniform(0.1, 3.0)
        lines.append(f"ry({theta!r}) q[{q}];")
        qc.ry(theta, q)
    for q in range(n - 1):
        lines.append(f"cx q[{q}],q[{q + 1}];")
        qc.cx(q, q + 1)
    for q in range(n):
        lines.append(f"t q[{q}];")
        qc.t(q)
        other = rng.randrange(n)
        if other != q:
            phi = rng.uniform(-3.0, 3.0)
            lines.append(f"cp({phi!r}) q[{q}],q[{other}];")
            qc.cp(phi, q, other)
    return lines, qc


def after_preparation(n, prep_lines, *circuits):
    """One morvane.Circuit: the preparation followed by `circuits`, joined as OpenQASM."""
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', f"qreg q[{n}];", *prep_lines]
    for circuit in circuits:
        lines += body(circuit)
    return Circuit.from_qasm2("\n".join(lines) + "\n")


def reference_synthesis(n, inverse, swaps):
    return synth_qft_full(n, do_swaps=swaps, inverse=inverse)


def reference_gate(n, inverse, swaps):
    assert swaps, "QFTGate always includes the swaps"
    gate = QFTGate(n)
    qc = QuantumCircuit(n)
    qc.append(gate.inverse() if inverse else gate, range(n))
    return qc


def reference_legacy_class(n, inverse, swaps):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            from qiskit.circuit.library import QFT
        except ImportError:
            pytest.skip("this Qiskit no longer has the QFT class")
        return QFT(n, do_swaps=swaps, inverse=inverse)


def test_signature_doc_and_module():
    assert str(inspect.signature(qft)) == "(num_qubits, inverse=False, swaps=True)"
    assert morvane.circuits.templates.qft is qft
    assert qft.__module__ == "morvane.circuits.templates"
    doc = qft.__doc__
    for phrase in ("Quantum Fourier Transform", "morvane.Circuit", "measure_all()", "1024"):
        assert phrase in doc


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1,), ["h q[0];"]),
        ((2,), ["h q[1];", f"cp({HALF_PI}) q[0],q[1];", "h q[0];", "swap q[0],q[1];"]),
        ((2, True), ["swap q[0],q[1];", "h q[0];", f"cp(-{HALF_PI}) q[0],q[1];", "h q[1];"]),
        ((2, True, False), ["h q[0];", f"cp(-{HALF_PI}) q[0],q[1];", "h q[1];"]),
        (
            (3, False, False),
            ["h q[2];", f"cp({HALF_PI}) q[1],q[2];", "cp(0.785398163397) q[0],q[2];",
             "h q[1];", f"cp({HALF_PI}) q[0],q[1];", "h q[0];"],
        ),
    ],
)
def test_known_gate_lists(args, expected):
    circuit = qft(*args)
    assert body(circuit) == expected
    assert (circuit.num_qubits, circuit.num_params, circuit.num_clbits) == (args[0], 0, 0)


def test_zero_qubits_is_an_empty_circuit():
    for inverse in (False, True):
        circuit = qft(0, inverse=inverse)
        assert (circuit.num_qubits, len(circuit)) == (0, 0)
        assert repr(circuit) == "Circuit(num_qubits=0, num_params=0, gates=0)"


def test_four_qubit_export():
    lines = body(qft(4))
    start = lines.index("h q[3];")
    assert lines[start + 1 : start + 4] == [
        "cp(1.570796326795) q[2],q[3];",
        "cp(0.785398163397) q[1],q[3];",
        "cp(0.392699081699) q[0],q[3];",
    ]
    assert lines[-2:] == ["swap q[0],q[3];", "swap q[1],q[2];"]


@pytest.mark.parametrize(
    "reference, swaps",
    [
        (reference_synthesis, True),
        (reference_synthesis, False),
        (reference_gate, True),
        (reference_legacy_class, True),
        (reference_legacy_class, False),
    ],
)
@pytest.mark.parametrize("inverse", [False, True])
@pytest.mark.parametrize("n", range(1, 11))
def test_same_state_as_qiskit_on_a_random_input(n, inverse, swaps, reference):
    rng = random.Random(1000 * n + 10 * inverse + swaps)
    prep_lines, prep = random_preparation(n, rng)
    ours = morvane.statevector(
        after_preparation(n, prep_lines, qft(n, inverse=inverse, swaps=swaps))
    )
    expected = Statevector(prep.compose(reference(n, inverse, swaps))).data
    np.testing.assert_allclose(ours, expected, rtol=0, atol=1e-10)


@pytest.mark.parametrize("swaps", [True, False])
@pytest.mark.parametrize("n", range(1, 11))
def test_forward_then_inverse_restores_the_input(n, swaps):
    rng = random.Random(n)
    prep_lines, _ = random_preparation(n, rng)
    initial = morvane.statevector(after_preparation(n, prep_lines))
    both_ways = after_preparation(n, prep_lines, qft(n, swaps=swaps), qft(n, True, swaps))
    back = morvane.statevector(both_ways)
    # Not an accidental identity: the transform alone moves the state.
    moved = morvane.statevector(after_preparation(n, prep_lines, qft(n, swaps=swaps)))
    assert np.max(np.abs(moved - initial)) > 1e-3
    np.testing.assert_allclose(back, initial, rtol=0, atol=1e-10)


def test_result_keeps_building_and_runs():
    circuit = qft(3, inverse=True)
    gates = len(circuit)
    assert circuit.rx(1, Param(0)).measure_all() is circuit
    assert (len(circuit), circuit.num_params, circuit.num_clbits) == (gates + 2, 1, 3)
    with pytest.raises(ValueError):
        circuit.h(0)  # measured qubits stay terminal, like any circuit
    counts = morvane.run_quantum_circuit(
        qft(3).measure_all(), shots=256, infrastructure="local", backend="morvane", seed=7
    ).counts[0]
    # The forward transform spreads |000> evenly over all eight outcomes.
    assert sum(counts.values()) == 256 and len(counts) == 8


@pytest.mark.parametrize("flag", [np.True_, np.False_])
def test_numpy_booleans_are_accepted(flag):
    assert body(qft(3, inverse=flag, swaps=flag)) == body(qft(3, bool(flag), bool(flag)))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: qft(3, inverse=1), TypeError, "argument 'inverse': "),
        (lambda: qft(3, True, 0), TypeError, "argument 'swaps': "),
        (lambda: qft(3, swaps=None), TypeError, "argument 'swaps': "),
        (lambda: qft("3"), TypeError, "argument 'num_qubits': "),
        (lambda: qft(3.0), TypeError, "argument 'num_qubits': "),
        (lambda: qft(-1), ValueError,
         "argument 'num_qubits': expected an integer in [0, 18446744073709551615], got -1"),
        (lambda: qft(2**64), ValueError, "argument 'num_qubits': expected an integer in "
                                         "[0, 18446744073709551615], got 18446744073709551616"),
        (lambda: qft(), TypeError, "num_qubits"),
        (lambda: qft(3, size=2), TypeError, "size"),
        (lambda: qft(3, False, True, 1), TypeError, ""),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    text = str(info.value)
    assert text.startswith(message) if message.startswith("argument") else message in text


@pytest.mark.parametrize("n", [2**32, 2**64 - 1])
def test_a_size_that_cannot_fit_in_memory_is_a_memory_error(n):
    with pytest.raises(MemoryError):
        qft(n)
