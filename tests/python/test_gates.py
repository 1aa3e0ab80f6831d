"""Every gate builder, angle expressions and the global phase, against Qiskit's Statevector
(phase included)."""

import inspect
import math
import random

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit.circuit import Gate  # noqa: E402
from qiskit.circuit.library import get_standard_gate_name_mapping  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402

import morvane  # noqa: E402
from morvane import Circuit, Param  # noqa: E402

QISKIT_GATES = {name: gate for name, gate in get_standard_gate_name_mapping().items()
                if isinstance(gate, Gate) and name != "global_phase"}
NUM_QUBITS = 5
NON_FINITE = "gate parameter resolved to a non-finite value (NaN or infinity)"
NOT_AN_ANGLE = "angle must be a number or morvane.Param"
# The builders the first version had; the others came with the catalogue.
ORIGINAL = {"h", "x", "y", "z", "s", "t", "sdg", "tdg", "rx", "ry", "rz", "u", "cx", "cz", "swap",
            "rzz", "rxx", "cp"}


def prepared(seed):
    """A 5-qubit register in an entangled state with unequal amplitudes, the same circuit in
    both frameworks."""
    rng = random.Random(1000 + seed)
    ours, theirs = Circuit(NUM_QUBITS), qiskit.QuantumCircuit(NUM_QUBITS)
    for layer in range(2):
        for q in range(NUM_QUBITS):
            a, b = rng.uniform(-math.pi, math.pi), rng.uniform(-math.pi, math.pi)
            ours.ry(q, a).rz(q, b)
            theirs.ry(a, q)
            theirs.rz(b, q)
        for q in range(layer, NUM_QUBITS - 1, 2):
            ours.cx(q, q + 1)
            theirs.cx(q, q + 1)
    return ours, theirs


def qiskit_state(circuit):
    return Statevector(circuit).data


def assert_same_state(ours, theirs):
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-12)


def random_gate(name, seed):
    gate = QISKIT_GATES[name]
    rng = random.Random(f"{name}-{seed}")
    qubits = rng.sample(range(NUM_QUBITS), gate.num_qubits)
    angles = [rng.uniform(-2 * math.pi, 2 * math.pi) for _ in gate.params]
    return gate, qubits, angles


def test_every_qiskit_standard_gate_has_a_builder():
    missing = [name for name in QISKIT_GATES if not callable(getattr(Circuit, name, None))]
    assert missing == []


@pytest.mark.parametrize("name", sorted(QISKIT_GATES))
def test_builder_signature_follows_qiskits_qubits_then_params(name):
    gate = QISKIT_GATES[name]
    parameters = list(inspect.signature(getattr(Circuit(1), name)).parameters.values())
    assert len(parameters) == gate.num_qubits + len(gate.params)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)
    if name not in ORIGINAL:
        assert getattr(Circuit, name).__doc__, "a new builder documents its gate"


@pytest.mark.parametrize("fusion", [True, False])
@pytest.mark.parametrize("angle_form", ["float", "param"])
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("name", sorted(QISKIT_GATES))
def test_gate_matches_qiskit_statevector_with_phase(name, seed, angle_form, fusion):
    gate, qubits, angles = random_gate(name, seed)
    ours, theirs = prepared(seed)
    if angle_form == "param":
        # Parameters in reverse order, so a mixed-up index shows.
        arguments = [Param(len(angles) - 1 - i) for i in range(len(angles))]
        values = angles[::-1]
    else:
        arguments, values = angles, []
    assert getattr(ours, name)(*qubits, *arguments) is ours
    theirs.append(type(gate)(*angles), qubits)
    assert ours.num_params == len(values)
    assert_same_state(morvane.statevector(ours, values, fusion=fusion), qiskit_state(theirs))


@pytest.mark.parametrize("name", ["cu", "ccx", "xx_minus_yy", "cswap"])
def test_builders_take_the_catalogues_names_as_keywords(name):
    gate, qubits, angles = random_gate(name, 0)
    positional, by_keyword = prepared(0)[0], prepared(0)[0]
    names = list(inspect.signature(getattr(positional, name)).parameters)
    getattr(positional, name)(*qubits, *angles)
    getattr(by_keyword, name)(**dict(zip(names, qubits + angles)))
    assert np.array_equal(morvane.statevector(positional), morvane.statevector(by_keyword))


p0, p1 = Param(0), Param(1)
VALUES = [0.7, 1.9]

# (expression of p0 and p1, the same computed in Python from VALUES)
EXPRESSIONS = [
    pytest.param(2 * p0, lambda a, b: 2 * a, id="scale"),
    pytest.param(p0 / 2 - 0.25, lambda a, b: a / 2 - 0.25, id="affine"),
    pytest.param(0.5 - p0 * 3, lambda a, b: 0.5 - a * 3, id="reflected"),
    pytest.param(-p1, lambda a, b: -b, id="negation"),
    pytest.param(p0 + p1, lambda a, b: a + b, id="sum"),
    pytest.param(p1 - p0, lambda a, b: b - a, id="difference"),
    pytest.param(p0 * p1, lambda a, b: a * b, id="product"),
    pytest.param(p0 / p1, lambda a, b: a / b, id="quotient"),
    pytest.param(1 / p1, lambda a, b: 1 / b, id="reciprocal"),
    pytest.param(p0 ** 2, lambda a, b: a ** 2, id="square"),
    pytest.param(2 ** p1, lambda a, b: 2 ** b, id="exponential"),
    pytest.param(morvane.sin(p0), lambda a, b: math.sin(a), id="sin"),
    pytest.param(morvane.sin(2 * p0 + p1) * p1, lambda a, b: math.sin(2 * a + b) * b,
                 id="sin-product"),
    pytest.param(morvane.cos(p0 * p1), lambda a, b: math.cos(a * b), id="cos"),
    pytest.param(morvane.tan(p0), lambda a, b: math.tan(a), id="tan"),
    pytest.param(morvane.exp(-p1), lambda a, b: math.exp(-b), id="exp"),
    pytest.param(morvane.ln(p0 + p1), lambda a, b: math.log(a + b), id="ln"),
    pytest.param(morvane.sqrt(p1) - morvane.sqrt(p0), lambda a, b: math.sqrt(b) - math.sqrt(a),
                 id="sqrt"),
]


@pytest.mark.parametrize("expression, expected", EXPRESSIONS)
@pytest.mark.parametrize("name", ["rx", "crz", "u", "xx_plus_yy"])
def test_expression_angles_bind_to_the_python_value(name, expression, expected):
    gate, qubits, angles = random_gate(name, 1)
    angle = expected(*VALUES)
    built, literal = prepared(1)[0], prepared(1)[0]
    rest = angles[1:]
    getattr(built, name)(*qubits, expression, *rest)
    getattr(literal, name)(*qubits, angle, *rest)
    assert built.num_params == max(expression.parameters) + 1
    assert_same_state(morvane.statevector(built, VALUES[:built.num_params]),
                      morvane.statevector(literal))


def test_expressions_are_values_with_structure():
    assert repr(2 * p0 + 0.5) == "2.0*Param(0) + 0.5"
    assert repr(morvane.sin(p0 - 1) * p1) == "sin(Param(0) - 1.0)*Param(1)"
    assert repr(p0 - (p1 - 2)) == "Param(0) - (Param(1) - 2.0)"
    assert repr((-p0) ** 2) == "(-Param(0))**2.0"
    assert (morvane.sin(p1) * p0 + p1).parameters == (0, 1)
    assert (p0 * 3).parameters == (0,)
    assert p0 * 2 == 2 * p0 and p0 + p1 != p1 + p0 and p0 * 1 == p0 == p0 / 1
    assert isinstance(p0 + 0, morvane.ParamExpression)
    with pytest.raises(TypeError):
        hash(p0 * 2)
    with pytest.raises(TypeError):
        float(p0 * 2)        # binding happens in the circuit, not in Python
    with pytest.raises(TypeError):
        morvane.ParamExpression()
    with pytest.raises(AttributeError):
        (p0 * 2).parameters = (1,)


@pytest.mark.parametrize("function, reference, x", [
    (morvane.sin, math.sin, 0.3), (morvane.cos, math.cos, -2.0), (morvane.tan, math.tan, 1.2),
    (morvane.exp, math.exp, 0.5), (morvane.ln, math.log, 3.0), (morvane.sqrt, math.sqrt, 2),
])
def test_functions_of_numbers_are_floats(function, reference, x):
    result = function(x)
    assert type(result) is float and result == reference(x)
    assert isinstance(function(Param(0)), morvane.ParamExpression)


PHASES = [  # (phase as given, its value at VALUES)
    pytest.param(0.4, 0.4, id="constant"),
    pytest.param(-3, -3.0, id="int"),
    pytest.param(p1, VALUES[1], id="param"),
    pytest.param(2 * p0 - 1, 2 * VALUES[0] - 1, id="affine"),
    pytest.param(morvane.cos(p0) * p1, math.cos(VALUES[0]) * VALUES[1], id="expression"),
]


@pytest.mark.parametrize("phase, value", PHASES)
def test_global_phase_matches_qiskit(phase, value):
    ours, theirs = prepared(2)
    ours.crx(0, 3, p0).ry(4, p1)
    theirs.crx(VALUES[0], 0, 3)
    theirs.ry(VALUES[1], 4)
    ours.global_phase = phase
    theirs.global_phase = value
    got = ours.global_phase
    assert got == phase and type(got) is (float if isinstance(phase, (int, float)) else type(phase))
    assert_same_state(morvane.statevector(ours, VALUES), qiskit_state(theirs))
    # The writers have no way to say it: their output is that of the circuit without it.
    written = ours.to_qasm2(VALUES), ours.to_qir(VALUES)
    ours.global_phase = 0.0
    assert written == (ours.to_qasm2(VALUES), ours.to_qir(VALUES))


def test_global_phase_counts_its_parameters_and_can_be_replaced():
    c = Circuit(1).rx(0, p0)
    c.global_phase = morvane.sqrt(Param(4))
    assert c.num_params == 5
    c.global_phase = 1.5
    assert (c.num_params, c.global_phase) == (1, 1.5)
    assert_same_state(morvane.statevector(c, [0.0]), [np.exp(1.5j), 0])


def test_circuit_with_global_phase_samples_like_one_without():
    with_phase = Circuit(2).h(0).cx(0, 1).measure_all()
    with_phase.global_phase = Param(0)
    plain = Circuit(2).h(0).cx(0, 1).measure_all()
    kwargs = dict(infrastructure="local", backend="morvane", seed=11)
    assert (morvane.run_quantum_circuit(with_phase, 300, params=[1.0], **kwargs).counts
            == morvane.run_quantum_circuit(plain, 300, **kwargs).counts)


@pytest.mark.parametrize("build, values", [
    pytest.param(lambda c: c.crx(0, 1, morvane.ln(p0)), [0.0], id="ln-zero"),
    pytest.param(lambda c: c.u(0, 0.1, p0 / p1, 0.2), [1.0, 0.0], id="divide-by-zero"),
    pytest.param(lambda c: c.rzz(0, 1, morvane.sqrt(p0)), [-1.0], id="sqrt-negative"),
    pytest.param(lambda c: c.rx(0, p0 * float("nan")), [1.0], id="nan-scale"),
    pytest.param(lambda c: setattr(c, "global_phase", morvane.exp(p0)) or c, [1000.0],
                 id="global-phase-overflow"),
])
def test_non_finite_at_binding_is_refused(build, values):
    c = build(Circuit(2))
    with pytest.raises(ValueError) as info:
        morvane.statevector(c, values)
    assert str(info.value) == NON_FINITE


@pytest.mark.parametrize("call, name", [
    (lambda c: c.crx(0, 1, "half"), "theta"),
    (lambda c: c.cu(0, 1, 0.1, 0.2, 0.3, None), "gamma"),
    (lambda c: c.xx_minus_yy(0, 1, 0.1, [0.2]), "beta"),
    (lambda c: c.r(0, 1j, 0.0), "theta"),
])
def test_wrong_angle_types_name_the_argument(call, name):
    c = Circuit(3).h(0)
    with pytest.raises(TypeError) as info:
        call(c)
    assert str(info.value) == f"argument '{name}': {NOT_AN_ANGLE}"
    assert len(c) == 1


@pytest.mark.parametrize("call, error, text", [
    (lambda c: c.ccx(0, 1, 2.5), TypeError, "argument 'target': "),
    (lambda c: c.c3sx(0, 1, -2, 1), ValueError, "argument 'control2': "),
    (lambda c: c.cswap(0, 1, 1), ValueError, ""),
    (lambda c: c.ecr(0, 3), ValueError, "qubit index 3 out of range"),
    (lambda c: setattr(c, "global_phase", "pi"), TypeError,
     f"argument 'global_phase': {NOT_AN_ANGLE}"),
    (lambda c: setattr(c, "global_phase", float("inf")), ValueError, NON_FINITE),
    (lambda c: delattr(c, "global_phase"), AttributeError, "global_phase cannot be deleted"),
    (lambda c: morvane.sin("x"), TypeError, "argument 'x': expected a number"),
    (lambda c: p0 + "1", TypeError, "unsupported operand"),
    (lambda c: pow(p0, 2, 3), TypeError, "unsupported operand"),
])
def test_refusals_leave_the_circuit_unchanged(call, error, text):
    c = Circuit(3).h(0)
    c.global_phase = 0.25
    with pytest.raises(error) as info:
        call(c)
    assert str(info.value).startswith(text)
    assert (len(c), c.global_phase) == (1, 0.25)


@pytest.mark.parametrize("name", sorted(QISKIT_GATES))
def test_written_qasm_loads_in_qiskit_with_the_same_state_up_to_phase(name):
    gate, qubits, angles = random_gate(name, 2)
    ours, _ = prepared(2)
    getattr(ours, name)(*qubits, *angles)
    ours.global_phase = 1.25     # left out of the text
    text = ours.to_qasm2()
    loaded = qiskit.qasm2.loads(text, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    theirs = qiskit_state(loaded)
    state = morvane.statevector(ours)
    overlap = np.vdot(theirs, state)
    assert abs(abs(overlap) - 1) < 1e-12
    assert_same_state(state, theirs * overlap)
