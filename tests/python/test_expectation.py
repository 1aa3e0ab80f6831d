"""expectation_values and PauliSum against Qiskit's exact statevector, Qubo and Ising against
the exact mean of their cost; shapes, refusals, pass counts, and exact training."""

import math
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

import morvane

qiskit = pytest.importorskip("qiskit")
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit.library import efficient_su2  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import SparseObservable, SparsePauliOp, Statevector  # noqa: E402


def random_op(n, rng, terms=12):
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(terms)]
    # Patterns on qubit 0, qubit 1 and the highest qubit, which the sweep splits apart.
    labels += ["I" * (n - 1) + "X", "X" * n, "Y" + "I" * (n - 1)]
    if n > 1:
        labels.append("I" * (n - 2) + "YZ")
    return SparsePauliOp(labels, rng.uniform(-2, 2, len(labels)))


@pytest.mark.parametrize("n", list(range(1, 13)))
def test_random_pauli_sums_match_qiskit(n):
    rng = np.random.default_rng(n)
    qc = random_circuit(n, 4, seed=n)
    op = random_op(n, rng)
    expected = Statevector(qc).expectation_value(op).real
    got = morvane.expectation_values(qc, [op, morvane.PauliSum(op), morvane.PauliSum(op.to_list())])
    assert got.shape == (3,)
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-10)


def test_a_native_circuit_with_parameter_rows_matches_its_statevectors():
    qc = morvane.Circuit(5)
    for q in range(5):
        qc.ry(q, morvane.Param(q % 2)).rz(q, 0.3 * q)
    for q in range(4):
        qc.cx(q, q + 1)
    op = random_op(5, np.random.default_rng(0))
    rows = np.random.default_rng(1).uniform(-3, 3, (7, 2))
    got = morvane.expectation_values(qc, op, rows)
    assert got.shape == (7, 1)
    for row, value in zip(rows, got[:, 0]):
        psi = Statevector(morvane.statevector(qc, list(row)))
        assert value == pytest.approx(psi.expectation_value(op).real, abs=1e-10)


def test_sparse_observable_projectors_are_expanded_exactly():
    qc = random_circuit(3, 3, seed=5)
    obs = SparseObservable.from_list([("+0r", 1.5), ("1lX", -0.5), ("ZZI", 2.0)])
    expected = Statevector(qc).expectation_value(SparsePauliOp.from_sparse_observable(obs)).real
    assert morvane.expectation_values(qc, obs)[0] == pytest.approx(expected, abs=1e-12)
    assert morvane.PauliSum(obs) == morvane.PauliSum(SparsePauliOp.from_sparse_observable(obs))


def qubo_cost(x, linear, quadratic, constant, scale):
    return scale * (constant + sum(c * x[i] for i, c in linear)
                    + sum(w * x[i] * x[j] for i, j, w in quadratic))


def ising_cost(x, fields, couplings, constant, scale):
    z = [1 - 2 * b for b in x]
    return scale * (constant + sum(h * z[i] for i, h in fields)
                    + sum(j * z[a] * z[b] for a, b, j in couplings))


@pytest.mark.parametrize("kind", ["qubo", "ising"])
def test_qubo_and_ising_give_the_exact_mean_of_their_cost_through_the_measurements(kind):
    n, nvars = 6, 4
    rng = np.random.default_rng(11)
    unmeasured = random_circuit(n, 4, seed=3)
    linear = [(i, float(rng.normal())) for i in range(nvars)]
    quadratic = [(i, j, float(rng.normal())) for i in range(nvars) for j in range(i + 1, nvars)]
    build, cost = (morvane.Qubo, qubo_cost) if kind == "qubo" else (morvane.Ising, ising_cost)
    model = build(nvars, linear, quadratic, 0.75, -1.5)
    # Classical bit k reads qubit wiring[k]: a permutation, not the identity.
    wiring = [4, 0, 5, 2]
    measured = unmeasured.copy()
    measured.add_register(qiskit.ClassicalRegister(nvars))
    for clbit, qubit in enumerate(wiring):
        measured.measure(qubit, clbit)
    probabilities = Statevector(unmeasured).probabilities()
    expected = sum(p * cost([(i >> q) & 1 for q in wiring], linear, quadratic, 0.75, -1.5)
                   for i, p in enumerate(probabilities))
    assert morvane.expectation_values(measured, model)[0] == pytest.approx(expected, abs=1e-10)
    # Without measurements bit k is qubit k.
    expected_plain = sum(p * cost([(i >> q) & 1 for q in range(nvars)], linear, quadratic,
                                  0.75, -1.5)
                         for i, p in enumerate(probabilities))
    assert morvane.expectation_values(unmeasured, model)[0] == pytest.approx(expected_plain,
                                                                              abs=1e-10)


def two_param_circuit():
    qc = morvane.Circuit(2)
    return qc.rx(0, morvane.Param(0)).ry(1, morvane.Param(1)).cx(0, 1)


Z0 = morvane.PauliSum([("IZ", 1.0)])
ZZ = morvane.PauliSum([("ZZ", 1.0), ("XI", 0.5)])


@pytest.mark.parametrize("observables, values, shape", [
    (Z0, [0.1, 0.2], (1,)),
    ([Z0, ZZ], [0.1, 0.2], (2,)),
    ([Z0, ZZ], np.array([[0.1, 0.2], [0.3, 0.4], [0.5, 0.6]]), (3, 2)),
    (Z0, [[0.1, 0.2]], (1, 1)),
    ([Z0, ZZ], np.empty((0, 2)), (0, 2)),
    ([], [0.1, 0.2], (0,)),
])
def test_shapes_follow_the_parameter_values_and_the_observables(observables, values, shape):
    got = morvane.expectation_values(two_param_circuit(), observables, values)
    assert got.shape == shape and got.dtype == np.float64
    rows = np.atleast_2d(np.asarray(values, dtype=float)) if len(shape) == 2 else [values]
    for r, row in enumerate(rows):
        one = morvane.expectation_values(two_param_circuit(), observables, list(row))
        np.testing.assert_array_equal(got[r] if len(shape) == 2 else got, one)


def test_no_parameter_values_for_a_circuit_without_parameters():
    qc = morvane.Circuit(1).x(0)
    np.testing.assert_array_equal(morvane.expectation_values(qc, morvane.PauliSum([("Z", 2.0)])),
                                  [-2.0])


@pytest.mark.parametrize("observables, values, error, message", [
    (morvane.PauliSum([("ZZ", 1j)]), [0, 0], ValueError,
     "observable 0 has the complex coefficient (0+1j) on \"ZZ\"; an expectation value needs "
     "real coefficients"),
    ([Z0, morvane.PauliSum([("ZZZ", 1.0)])], [0, 0], ValueError,
     "observable 1 acts on 3 qubits, but the circuit has 2"),
    (Z0, [0.1], ValueError,
     "argument 'parameter_values': the vector has 1 values, but the circuit has 2 parameters"),
    (Z0, [[0.1, 0.2, 0.3]], ValueError,
     "argument 'parameter_values': each row has 3 values, but the circuit has 2 parameters"),
    (Z0, None, ValueError, "argument 'parameter_values': the circuit has 2 parameters"),
    (Z0, 0.5, ValueError, "got an array of 0 dimensions"),
    (Z0, np.zeros((1, 1, 2)), ValueError, "got an array of 3 dimensions"),
    (Z0, [[0.1, 0.2], [0.3, math.inf]], ValueError,
     "the value at row 1, column 1 is inf; every value must be finite"),
    (Z0, [math.nan, 0.2], ValueError, "the value at index 0 is nan"),
    (morvane.Qubo(3), [0, 0], ValueError, "is a cost over 3 variables, but the circuit's counts "
     "keys have 2 bits"),
    ("ZZ", [0, 0], TypeError, "argument 'observables': expected a morvane.PauliSum"),
    ([Z0, 3], [0, 0], TypeError, "argument 'observables[1]': expected a morvane.PauliSum"),
])
def test_refusals_name_the_argument_and_the_value(observables, values, error, message):
    with pytest.raises(error) as raised:
        morvane.expectation_values(two_param_circuit(), observables, values)
    assert message in str(raised.value)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ([[("XQ", 1.0)]], {}, ValueError, "term 0 has the letter 'Q'"),
    ([[("X", 1.0, 2.0)]], {}, TypeError, "argument 'terms'"),
    ([[("X", [0], 1.0)]], {}, ValueError, "pass num_qubits"),
    ([[("XZ", [0, 0], 1.0)]], {"num_qubits": 2}, ValueError, "names qubit 0 twice"),
    ([[("X", 1.0), ("Z", [0], 1.0)]], {}, TypeError, "all terms of one form"),
    (["XZ"], {}, TypeError, "Can't extract `str`"),
    ([[("Z", "a")]], {}, TypeError, "argument 'terms'"),
])
def test_pauli_sum_refusals(args, kwargs, error, message):
    with pytest.raises(error, match=None) as raised:
        morvane.PauliSum(*args, **kwargs)
    assert message in str(raised.value)


def test_pauli_sum_is_canonical_and_shows_its_terms():
    a = morvane.PauliSum([("XI", 1.0), ("ZZ", 0.5), ("XI", 1.0), ("YY", 0.0)])
    b = morvane.PauliSum([("ZY", [1, 0], 0.0), ("XZ", [1, 0], 0.0), ("ZZ", [0, 1], 0.5),
                          ("X", [1], 2.0)], num_qubits=2)
    assert a == b and a != morvane.PauliSum([("ZZ", 0.5)])
    assert (a.num_qubits, len(a)) == (2, 2)
    assert a.to_list() == [("ZZ", 0.5), ("XI", 2.0)]
    assert repr(a) == "PauliSum([('ZZ', 0.5), ('XI', 2.0)], num_qubits=2)"
    assert eval(repr(a), {"PauliSum": morvane.PauliSum}) == a
    with pytest.raises(TypeError):
        hash(a)


def test_one_pass_for_a_fully_coupled_qubo_and_one_per_x_pattern():
    n = 20
    qc = morvane.Circuit(n)
    qubo = morvane.Qubo(n, [(i, 1.0) for i in range(n)],
                        [(i, j, 0.5) for i in range(n) for j in range(i + 1, n)])
    assert morvane._expectation_sweeps(qc, qubo) == 1
    rng = np.random.default_rng(2)
    diagonal = ["".join(rng.choice(["I", "Z"], n)) for _ in range(100)]
    patterns = []
    for p in range(10):
        x = ["I"] * n
        x[p] = "X"
        x[n - 1 - p] = "Y"
        patterns.append("".join(x))
        x[0] = "Z" if x[0] == "I" else x[0]
        patterns.append("".join(x))
    op = SparsePauliOp(diagonal + patterns, np.ones(len(diagonal) + len(patterns)))
    assert morvane._expectation_sweeps(qc, [op, qubo]) == 11


@pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")
def test_ctrl_c_interrupts_many_parameter_sets():
    qc = QuantumCircuit(18)
    params = [qiskit.circuit.Parameter(f"t{q}") for q in range(18)]
    for layer in range(6):
        for q in range(18):
            qc.ry(params[q], q)
        for q in range(17):
            qc.cx(q, q + 1)
    rows = np.zeros((4000, 18))
    timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            morvane.expectation_values(qc, SparsePauliOp("Z" * 18), rows)
    finally:
        timer.cancel()
    assert time.monotonic() - start < 3.0


# ---- exact training ---------------------------------------------------------------------------

def qaoa(n=4):
    qc = morvane.Circuit(n)
    for q in range(n):
        qc.h(q)
    for q in range(n):
        qc.rzz(q, (q + 1) % n, morvane.Param(0))
    for q in range(n):
        qc.rx(q, morvane.Param(1))
    return qc


MAXCUT = morvane.Qubo(4, [(i, 2.0) for i in range(4)],
                      [(i, (i + 1) % 4, -2.0) for i in range(4)])


def exact_train(cost=MAXCUT, method=None, **kwargs):
    kwargs.setdefault("backend", "morvane")
    return morvane.train(qaoa(), method or morvane.DE(generations=5, population_size=8),
                         None, 1, 2, cost, "local", 1, 1, "exact", **kwargs)


@pytest.mark.parametrize("method", [
    morvane.DE(generations=5, population_size=8),
    morvane.PSO(generations=5, population_size=8),
    morvane.QNG(lambda theta, i: 0.25, max_iters=5),
])
def test_exact_training_replays_and_its_fitness_is_the_exact_expectation(method):
    first, second = exact_train(method=method, seed=9), exact_train(method=method, seed=9)
    fields = ["best_params", "best_fitness", "fitness_history", "iterations_run", "converged",
              "seed"]
    assert [getattr(first, f) for f in fields] == [getattr(second, f) for f in fields]
    exact = morvane.expectation_values(qaoa(), MAXCUT, first.best_params)[0]
    assert first.best_fitness == exact


def test_exact_training_takes_pauli_sums_and_qiskit_circuits():
    qc = QuantumCircuit(2)
    a, b = qiskit.circuit.Parameter("a"), qiskit.circuit.Parameter("b")
    qc.ry(a, 0)
    qc.ry(b, 1)
    op = SparsePauliOp(["ZI", "IZ"], [-1.0, -1.0])  # maximal at |11>
    result = morvane.train(qc, morvane.DE(generations=30, population_size=10, seed=1), None, 1,
                           2, morvane.PauliSum(op), "local", 1, 1, "q", backend="morvane")
    assert result.best_fitness == pytest.approx(2.0, abs=1e-3)
    assert result.best_fitness == pytest.approx(
        morvane.expectation_values(qc, op, result.best_params)[0], abs=1e-12)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"cost": lambda bits: 1.0}, ValueError,
     "a Python callable scores sampled bitstrings one at a time and has no exact value"),
    ({"cost": morvane.CachedCost(lambda bits: 1.0)}, ValueError,
     "a morvane.CachedCost scores sampled bitstrings"),
    ({"cost": 42}, TypeError, "with shots=None, expectation_function must be a morvane.Qubo"),
    ({"backend": "aer"}, ValueError,
     "shots=None computes exact expectation values from the statevector, which only the native "
     "backend has; pass infrastructure=\"local\" and backend=\"morvane\""),
    ({"cost": morvane.Qubo(5)}, ValueError, "is a cost over 5 variables"),
])
def test_exact_training_refusals(kwargs, error, message):
    with pytest.raises(error) as raised:
        exact_train(**kwargs)
    assert message in str(raised.value)


def test_exact_training_on_cunqa_names_the_native_backend():
    with pytest.raises(ValueError, match='backend="morvane"'):
        morvane.train(qaoa(), morvane.DE(), None, 1, 2, MAXCUT, "cunqa", 1, 1, "c")


def test_shots_keep_their_checks_and_a_pauli_sum_needs_exact_mode():
    with pytest.raises(ValueError, match="shots must be >= 1, got 0"):
        morvane.train(qaoa(), morvane.DE(), 0, 1, 2, MAXCUT, "local", 1, 1, "s",
                      backend="morvane")
    with pytest.raises(ValueError, match="pass shots=None"):
        morvane.train(qaoa(), morvane.DE(), 10, 1, 2, morvane.PauliSum([("ZZZZ", 1.0)]),
                      "local", 1, 1, "s", backend="morvane")
    with pytest.raises(TypeError, match="argument 'shots'"):
        morvane.qml.train(QuantumCircuit(1), QuantumCircuit(1), [[]], morvane.DE(), None, 1, 0,
                          MAXCUT, "local", 1, 1, "q")
