"""Circuit.from_qiskit: states equal Qiskit's (global phase included), parameters, measurements, refusals."""

import math
import warnings

import numpy as np
import pytest

import morvane

qiskit = pytest.importorskip("qiskit")
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Gate, Parameter, ParameterVector  # noqa: E402
from qiskit.circuit import library as lib  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector, random_unitary  # noqa: E402


def assert_same_state(qc, seed=0, low=-math.pi, high=math.pi):
    """Converts qc and compares statevectors at random values, bound by parameter."""
    values = np.random.default_rng(seed).uniform(low, high, len(qc.parameters))
    native = morvane.Circuit.from_qiskit(qc)
    assert native.num_qubits == qc.num_qubits
    assert native.num_params == len(qc.parameters)
    assert native.parameter_names == tuple(p.name for p in qc.parameters)
    expected = Statevector(qc.assign_parameters(dict(zip(qc.parameters, values)))).data
    got = morvane.statevector(native, [float(v) for v in values])
    np.testing.assert_allclose(got, expected, atol=1e-10, rtol=0)
    return native


def maxcut_hamiltonian():
    edges = [(0, 1, 1.0), (1, 2, 0.5), (2, 3, 2.0), (0, 3, 1.5), (0, 2, 0.7)]
    return SparsePauliOp.from_sparse_list([("ZZ", [i, j], w) for i, j, w in edges], num_qubits=4)


def qft_class():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return lib.QFT(4, do_swaps=True)


def qft_gate_appended(inverse):
    qc = QuantumCircuit(4)
    qc.h(0)
    qc.x(2)
    gate = lib.QFTGate(4)
    qc.append(gate.inverse() if inverse else gate, [3, 0, 2, 1])
    return qc


def unitary_and_custom_block():
    a, b = Parameter("a"), Parameter("b")
    block = QuantumCircuit(2, name="block")
    block.ry(a, 0)
    block.crz(2 * a - b, 0, 1)
    block.global_phase = a / 3
    qc = QuantumCircuit(4)
    qc.h(range(4))
    qc.append(lib.UnitaryGate(random_unitary(4, seed=5)), [2, 0])
    qc.append(block.to_gate(), [3, 1])
    qc.append(lib.UnitaryGate(random_unitary(8, seed=6)), [1, 2, 3])
    qc.append(block.to_gate(), [0, 2])
    return qc


def block_bound_to_outer_expressions():
    # The instance's parameters become expressions of the outer circuit's,
    # and so do its definition and that definition's global phase.
    a, b = Parameter("a"), Parameter("b")
    block = QuantumCircuit(2, name="block")
    block.rx(a, 0)
    block.rzz(a * a, 0, 1)
    block.global_phase = a / 2 + 0.25
    qc = QuantumCircuit(2)
    qc.append(block.to_gate(), [1, 0])
    g = Parameter("g")
    return qc.assign_parameters({a: b * 3 + g.sin()})


def grover():
    oracle = QuantumCircuit(3)
    oracle.cz(0, 2)
    oracle.cp(math.pi / 3, 1, 2)
    return lib.grover_operator(oracle)


LIBRARY_CIRCUITS = {
    "QFT": qft_class,
    "QFTGate": lambda: qft_gate_appended(False),
    "QFTGate.inverse": lambda: qft_gate_appended(True),
    "efficient_su2": lambda: lib.efficient_su2(4, reps=2),
    "real_amplitudes": lambda: lib.real_amplitudes(4, reps=3, entanglement="full"),
    "n_local ry,rz/cz linear": lambda: lib.n_local(4, ["ry", "rz"], "cz", "linear", reps=2),
    "n_local rx/crx circular": lambda: lib.n_local(4, "rx", "crx", "circular", reps=2),
    "n_local u/rzz pairwise": lambda: lib.n_local(4, "u", "rzz", "pairwise", reps=1),
    "n_local ry/cry sca": lambda: lib.n_local(5, "ry", "cry", "sca", reps=2),
    "n_local h/cx full": lambda: lib.n_local(3, "h", "cx", "full", reps=2),
    "qaoa_ansatz": lambda: lib.qaoa_ansatz(maxcut_hamiltonian(), reps=2),
    "QAOAAnsatz": lambda: lib.QAOAAnsatz(maxcut_hamiltonian(), reps=2),
    "zz_feature_map": lambda: lib.zz_feature_map(3, reps=2),
    "pauli_feature_map": lambda: lib.pauli_feature_map(3, reps=2, paulis=["Y", "ZZ", "YY"]),
    "grover_operator": grover,
    "UnitaryGate and to_gate block": unitary_and_custom_block,
    "block bound to expressions": block_bound_to_outer_expressions,
}


@pytest.mark.parametrize("name", list(LIBRARY_CIRCUITS))
@pytest.mark.parametrize("seed", [1, 2])
def test_library_circuits_give_qiskits_state(name, seed):
    assert_same_state(LIBRARY_CIRCUITS[name](), seed=seed)


@pytest.mark.parametrize("seed", range(200))
def test_random_circuits_give_qiskits_state(seed):
    rng = np.random.default_rng(seed)
    qc = random_circuit(int(rng.integers(1, 11)), int(rng.integers(1, 13)), measure=False, seed=seed)
    assert_same_state(qc, seed=seed)


a, b = Parameter("a"), Parameter("b")

# Each operation Qiskit records, including the reversed ones and operands
# that are themselves results (the order of a non-commutative op matters).
EXPRESSIONS = {
    "a + b": a + b,
    "a - b": a - b,
    "2 - a": 2 - a,
    "a * b": a * b,
    "a / b": a / b,
    "2 / a": 2 / a,
    "a ** b": a**b,
    "2 ** a": 2**a,
    "-a": -a,
    "sin": a.sin(),
    "cos": a.cos(),
    "tan": a.tan(),
    "exp": a.exp(),
    "log": a.log(),
    "sqrt": (a * a + b) ** 0.5,
    "a - sin(b)": a - b.sin(),
    "sin(b) - a": b.sin() - a,
    "a / cos(b)": a / (b.cos() + 2),
    "cos(b) / a": (b.cos() + 2) / a,
    "2 - a*b": 2 - a * b,
    "a*b - 2": a * b - 2,
    "2 / (a*b)": 2 / (a * b),
    "(a+b) ** cos(a)": (a + b) ** a.cos(),
    "2 ** sin(b)": 2 ** b.sin(),
    "sin(a) ** b": a.sin() ** b,
    "nested": ((a - b) * (a + b)).exp() / (1 + b.cos() ** 2) - (a / b).tan() * 0.5,
    "bound part": (a * b + a).bind({a: 0.75}),
}


@pytest.mark.parametrize("name", list(EXPRESSIONS))
def test_parameter_expressions_bind_like_qiskit(name):
    qc = QuantumCircuit(2)
    qc.h([0, 1])
    qc.rz(EXPRESSIONS[name], 0)
    qc.crx(EXPRESSIONS[name], 0, 1)
    qc.global_phase = EXPRESSIONS[name]
    # Positive values keep log, sqrt and real powers in their domains.
    assert_same_state(qc, seed=7, low=0.3, high=1.3)


def names_sorting_differently():
    qc = QuantumCircuit(3)
    for i, p in enumerate(Parameter(f"a{k}") for k in (9, 10, 1, 100, 11)):
        qc.ry(p * (i + 1), i % 3)
    qc.cx(0, 2)
    return qc


def vector_elements():
    theta = ParameterVector("θ", 12)
    qc = QuantumCircuit(3)
    for i, p in enumerate(theta):
        qc.ry(p, i % 3) if i % 2 else qc.rz(p, i % 3)
        qc.cx(i % 3, (i + 1) % 3)
    return qc


def names_of_any_text():
    # Names are never parsed: these would read as expressions or indices.
    qc = QuantumCircuit(2)
    for i, name in enumerate(["φ_ü", "名前", "a+b", "2*x", "sin(y)", "θ[3]", "__gθ1", "p 1"]):
        qc.rx(Parameter(name) + i, i % 2)
        qc.cz(0, 1)
    return qc


def one_parameter_through_expressions():
    t = Parameter("t")
    qc = QuantumCircuit(3)
    qc.h(range(3))
    qc.rx(2 * t, 0)
    qc.ry(t**2 + 1, 1)
    qc.rz(t.sin() * t.cos() / 3, 2)
    qc.p(t.exp() - (t + 5).log(), 0)
    qc.cu(t, -t, t / 2, t * t, 1, 2)
    qc.global_phase = t - 0.5
    return qc


@pytest.mark.parametrize(
    "build",
    [names_sorting_differently, vector_elements, names_of_any_text,
     one_parameter_through_expressions],
)
def test_parameters_keep_qiskits_order_and_names(build):
    qc = build()
    native = assert_same_state(qc, seed=3, low=0.2, high=1.4)
    assert list(native.parameter_names) == [p.name for p in qc.parameters]


def test_parameter_names_of_other_circuits_are_empty():
    assert morvane.Circuit(2).rx(0, morvane.Param(0)).parameter_names == ()
    assert morvane.Circuit.from_qasm2('OPENQASM 2.0;\nqreg q[1];\n').parameter_names == ()


def test_a_parameter_only_the_dropped_delay_reads_is_still_counted():
    t, u = Parameter("t"), Parameter("u")
    qc = QuantumCircuit(1)
    qc.delay(t, 0)
    qc.rx(u, 0)
    native = morvane.Circuit.from_qiskit(qc)
    assert native.parameter_names == ("t", "u") and native.num_params == 2
    expected = Statevector.from_label("0").evolve(lib.RXGate(0.4)).data
    np.testing.assert_allclose(morvane.statevector(native, [5.0, 0.4]), expected, atol=1e-12)


def test_measurements_keep_their_classical_bits_and_barriers_stay():
    qr, cr, extra = QuantumRegister(3), ClassicalRegister(2, "c"), ClassicalRegister(2, "d")
    qc = QuantumCircuit(qr, cr, extra)
    qc.x([0, 2])
    qc.barrier([0, 2])
    qc.h(1)
    qc.barrier()
    qc.measure(0, 3)
    qc.measure(1, 0)
    qc.measure(2, 2)
    qc.add_register(ClassicalRegister(1, "unused"))
    native = morvane.Circuit.from_qiskit(qc)
    assert native.num_clbits == 5
    text = native.to_qasm2()
    for line in ("measure q[0] -> c[3];", "measure q[1] -> c[0];", "measure q[2] -> c[2];",
                 "barrier q[0],q[2];"):
        assert line in text
    assert text.count("barrier") == 2
    aer = pytest.importorskip("qiskit_aer")
    expected = aer.AerSimulator().run(qc, shots=200, seed_simulator=1).result().get_counts()
    got = morvane.run_quantum_circuit(native, 200, "local", backend="morvane", seed=1).counts[0]
    # Qiskit separates registers with a space; the bits are the same.
    assert {key.replace(" ", "") for key in expected} == set(got) == {"01100", "01101"}


class SelfContaining(Gate):
    def __init__(self):
        super().__init__("self_containing", 1, [])

    def _define(self):
        qc = QuantumCircuit(1)
        qc.append(SelfContaining(), [0])
        self.definition = qc


def with_control_flow(kind):
    qc = QuantumCircuit(2, 1)
    qc.h(0)
    if kind == "if_else":
        with qc.if_test((qc.clbits[0], 1)):
            qc.x(1)
    elif kind == "for_loop":
        with qc.for_loop(range(2)):
            qc.x(1)
    elif kind == "while_loop":
        with qc.while_loop((qc.clbits[0], 0)):
            qc.x(1)
    elif kind == "switch_case":
        with qc.switch(qc.clbits[0]) as case:
            with case(0):
                qc.x(1)
    elif kind == "box":
        with qc.box():
            qc.x(1)
    return qc


def circuit_with(*steps, qubits=2, clbits=0):
    qc = QuantumCircuit(qubits, clbits)
    for step in steps:
        step(qc)
    return qc


c = Parameter("c")

REFUSALS = [
    (lambda: circuit_with(lambda q: q.h(0), lambda q: q.reset(1)),
     r"instruction 1 \('reset'\): reset is not supported"),
    (lambda: circuit_with(lambda q: q.h(0), lambda q: q.measure(0, 0), lambda q: q.x(0), clbits=1),
     r"instruction 2 \('x'\): it acts on qubit 0 after that qubit was measured; a mid-circuit"),
    (lambda: circuit_with(lambda q: q.measure(1, 0), lambda q: q.cx(0, 1), clbits=1),
     r"instruction 1 \('cx'\): it acts on qubit 1 after"),
    *[(lambda kind=kind: with_control_flow(kind),
       rf"instruction 1 \('{kind}'\): classical control flow cannot be converted")
      for kind in ("if_else", "for_loop", "while_loop", "switch_case", "box")],
    (lambda: circuit_with(lambda q: q.append(Gate("opaque", 1, []), [1])),
     r"instruction 0 \('opaque'\): it is neither a gate morvane knows by name nor"),
    (lambda: circuit_with(lambda q: q.initialize([0, 1], 0)),
     r"instruction 0 \('initialize' > 'reset'\): reset is not supported"),
    (lambda: circuit_with(lambda q: q.x(0), lambda q: q.append(SelfContaining(), [1])),
     r"instruction 1 \('self_containing'( > 'self_containing')+\): its definitions nest deeper "
     r"than 64 levels"),
    (lambda: circuit_with(lambda q: q.rz(abs(Parameter("a")), 0)),
     r"instruction 0 \('rz'\): a parameter expression uses abs\(\)"),
    (lambda: circuit_with(lambda q: q.rz(Parameter("a").sign() + 1, 0)),
     r"instruction 0 \('rz'\): a parameter expression uses sign\(\)"),
    (lambda: circuit_with(lambda q: q.h(1), lambda q: q.ry(Parameter("a").arcsin(), 1)),
     r"instruction 1 \('ry'\): a parameter expression uses arcsin\(\)"),
    (lambda: circuit_with(lambda q: q.rx(Parameter("a") * 2j, 0)),
     r"instruction 0 \('rx'\): a parameter has the complex value 0\+2j; gate angles must be real"),
]


@pytest.mark.parametrize("build, message", REFUSALS)
def test_refusals_name_the_instruction_and_why(build, message):
    with pytest.raises(ValueError, match=message):
        morvane.Circuit.from_qiskit(build())


def test_a_complex_global_phase_is_refused():
    qc = QuantumCircuit(1)
    qc.global_phase = (c * 1j).bind({c: 1})
    with pytest.raises(ValueError, match=r"the circuit's global_phase: a parameter has the complex "
                                         r"value 0\+1j; gate angles must be real"):
        morvane.Circuit.from_qiskit(qc)


def test_a_delay_is_dropped_and_a_non_circuit_refused():
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.delay(100, 1)
    qc.cx(0, 1)
    assert len(assert_same_state(qc)) == 2
    with pytest.raises(TypeError, match="argument 'qc': expected a Qiskit QuantumCircuit, got 'str'"):
        morvane.Circuit.from_qiskit("OPENQASM 2.0;")
