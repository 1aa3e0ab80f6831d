"""Single precision on every entry point that runs the native engine.

Oracles: Qiskit's Statevector for states and expectation values, exact
probabilities for counts. A single-precision state differs from the exact one
by float rounding alone: at most about 5 u per gate (u = 2**-24) in 2-norm,
so the bound used is 10 u times the gate count.
"""

import math

import numpy as np
import pytest
from qiskit import QuantumCircuit
from qiskit.circuit.library import efficient_su2
from qiskit.quantum_info import SparsePauliOp, Statevector

import morvane

U = 2.0**-24


def bound(gates):
    return 10 * U * max(gates, 1)


def random_circuit(n, depth, seed):
    rng = np.random.default_rng(seed)
    qc = QuantumCircuit(n)
    for _ in range(depth):
        for q in range(n):
            qc.u(*rng.uniform(-math.pi, math.pi, 3), q)
        for q in range(0, n - 1, 2):
            qc.cx(q, q + 1)
        for q in range(1, n - 1, 2):
            qc.cp(rng.uniform(-math.pi, math.pi), q, q + 1)
        if n >= 3:
            qc.ccx(0, n // 2, n - 1)
    return qc


@pytest.mark.parametrize("n", list(range(1, 13)))
def test_single_precision_states_match_qiskit_at_every_width(n):
    qc = random_circuit(n, 4, seed=n)
    native = morvane.Circuit.from_qiskit(qc)
    state = morvane.statevector(native, precision="single")
    assert state.dtype == np.complex64 and state.shape == (2**n,)
    exact = Statevector(qc).data
    assert np.linalg.norm(state.astype(np.complex128) - exact) < bound(qc.size())
    # Explicit double is the default, bit for bit.
    assert np.array_equal(morvane.statevector(native, precision="double"),
                          morvane.statevector(native))


def test_a_single_precision_state_is_handed_over_without_a_copy():
    qc = morvane.Circuit.from_qiskit(random_circuit(10, 2, seed=1))
    state = morvane.statevector(qc, precision="single")
    assert not state.flags.owndata and state.base is not None
    assert state.nbytes == 8 * 2**10


@pytest.mark.parametrize("value, error, message", [
    ("float", ValueError, "argument 'precision': expected \"double\" or \"single\", got \"float\""),
    ("SINGLE", ValueError, "argument 'precision': expected \"double\" or \"single\", got \"SINGLE\""),
    (32, TypeError, "argument 'precision'"),
])
@pytest.mark.parametrize("call", ["statevector", "run", "train", "expectation_values"])
def test_every_entry_point_refuses_an_unknown_precision(call, value, error, message):
    qc = morvane.Circuit(2)
    qc.h(0)
    calls = {
        "statevector": lambda: morvane.statevector(qc, precision=value),
        "run": lambda: morvane.run_quantum_circuit(qc, 10, "local", backend="morvane",
                                                   precision=value),
        "train": lambda: morvane.train(
            qc, morvane.DE(generations=1, population_size=4), 10, 1, 0,
            morvane.Qubo(2, [(0, 1.0)]), "local", 1, 1, "p", backend="morvane",
            precision=value),
        "expectation_values": lambda: morvane.expectation_values(
            qc, morvane.PauliSum([("Z", 1.0)]), precision=value),
    }
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        calls[call]()


def probabilities(qc):
    return np.abs(Statevector(qc).data) ** 2


@pytest.mark.parametrize("n", [3, 17, 21])
def test_single_precision_counts_follow_the_exact_probabilities_and_replay(n):
    # 21 qubits goes past the sampler's probability table to its sweep.
    qc = QuantumCircuit(n)
    for q in range(n):
        qc.ry(0.3 + 0.1 * q, q)
    for q in range(n - 1):
        qc.cx(q, q + 1)
    qc.measure_all()
    native = morvane.Circuit.from_qiskit(qc)
    shots = 20000
    run = lambda **kw: morvane.run_quantum_circuit(native, shots, "local", backend="morvane",
                                                   seed=11, **kw).counts[0]
    single = run(precision="single")
    assert run(precision="single") == single
    assert run(precision="double") == run()
    p = probabilities(qc.remove_final_measurements(inplace=False))
    for key, count in single.items():
        expected = shots * p[int(key, 2)]
        sigma = math.sqrt(expected * (1 - p[int(key, 2)])) + 1
        assert abs(count - expected) <= 5 * sigma, key
    assert sum(single.values()) == shots


@pytest.fixture
def aer_options(monkeypatch):
    """The options every AerSimulator is made with; the real Aer still runs."""
    import qiskit_aer

    seen = []
    real = qiskit_aer.AerSimulator

    class Recording(real):
        def __init__(self, *args, **kwargs):
            seen.append(dict(kwargs))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(qiskit_aer, "AerSimulator", Recording)
    return seen


@pytest.mark.parametrize("given", [None, "double", "single"])
def test_aer_takes_the_choice_as_its_own_option_and_only_when_given(aer_options, given):
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.cx(0, 1)
    qc.measure_all()
    kwargs = {} if given is None else {"precision": given}
    counts = morvane.run_quantum_circuit(qc, 400, "local", backend="aer", seed=5,
                                         **kwargs).counts[0]
    assert set(counts) <= {"00", "11"} and sum(counts.values()) == 400
    assert aer_options, "the run did not reach Aer"
    for options in aer_options:
        assert options.get("precision") == given
        assert ("precision" in options) == (given is not None)


def test_cunqa_refuses_single_precision_before_raising_anything():
    qc = morvane.Circuit(1)
    qc.h(0)
    with pytest.raises(ValueError, match='precision="single" is not available on infrastructure '
                                         '"cunqa"'):
        morvane.run_quantum_circuit(qc, 10, "cunqa", backend="aer", precision="single")


def test_expectation_values_in_single_precision_match_qiskit():
    qc = efficient_su2(8, reps=2)
    rng = np.random.default_rng(3)
    values = rng.uniform(-math.pi, math.pi, (5, qc.num_parameters))
    op = SparsePauliOp.from_list([("ZZIIIIXY", 0.5), ("IIIIZIIZ", -1.2), ("XXXXYYYY", 0.3)])
    got = morvane.expectation_values(qc, [op], values, precision="single")
    for row, value in zip(values, got[:, 0]):
        exact = Statevector(qc.assign_parameters(row)).expectation_value(op).real
        assert abs(value - exact) < 2 * 2 * bound(qc.decompose().size())


def ising_cost():
    return morvane.Qubo(4, [(0, 1.0), (1, -0.5), (2, 0.25), (3, -1.0)])


def ansatz():
    qc = morvane.Circuit(4)
    for q in range(4):
        qc.ry(q, morvane.Param(q))
    for q in range(3):
        qc.cx(q, q + 1)
    qc.measure_all()
    return qc


@pytest.mark.parametrize("shots", [None, 256])
def test_training_in_single_precision_replays_and_tracks_double(shots):
    def train(**kw):
        return morvane.train(ansatz(), morvane.DE(generations=8, population_size=8), shots, 1, 4,
                             ising_cost(), "local", 1, 1, "p", backend="morvane", seed=4, **kw)

    single = train(precision="single")
    again = train(precision="single")
    double = train()
    assert single.best_params == again.best_params
    assert single.best_fitness == again.best_fitness
    if shots is None:
        # Exact fitness: the same optimiser path, values within float rounding.
        assert abs(single.best_fitness - double.best_fitness) < 1e-5
    else:
        assert math.isfinite(single.best_fitness)


def test_qml_training_replays_in_single_precision():
    from qiskit.circuit import Parameter

    x, w = Parameter("x"), Parameter("w")
    fm = QuantumCircuit(2)
    fm.rx(x, 0)
    az = QuantumCircuit(2)
    az.ry(w, 1)
    az.cx(0, 1)

    def train(**kw):
        return morvane.qml.train(fm, az, [[0.1], [0.7]], morvane.DE(generations=2, population_size=4),
                                 64, 1, 1, lambda bits: float(bits.count("1")), "local", 1, 1, "q",
                                 backend="morvane", seed=2, **kw)

    single = train(precision="single")
    assert math.isfinite(single.best_fitness)
    assert train(precision="single").best_params == single.best_params


def test_the_primitives_take_a_simulation_precision():
    from morvane.qiskit import EstimatorV2, SamplerV2

    qc = efficient_su2(6, reps=1)
    qc.measure_all()
    values = np.random.default_rng(0).uniform(-1, 1, (3, qc.num_parameters))
    single = SamplerV2(seed=9, precision="single").run([(qc, values)], shots=2000).result()
    again = SamplerV2(seed=9, precision="single").run([(qc, values)], shots=2000).result()
    assert np.array_equal(single[0].data.meas.array, again[0].data.meas.array)
    assert SamplerV2().precision == "double"

    plain = efficient_su2(6, reps=1)
    op = SparsePauliOp.from_list([("ZIIIIZ", 1.0), ("XXIIII", 0.5)])
    evs = EstimatorV2(precision="single").run([(plain, op, values)]).result()[0].data.evs
    for row, value in zip(values, evs):
        exact = Statevector(plain.assign_parameters(row)).expectation_value(op).real
        assert abs(value - exact) < 1e-4
    with pytest.raises(ValueError, match="default_precision"):
        EstimatorV2(precision=0.01)
    with pytest.raises(ValueError, match="'double' or 'single'"):
        SamplerV2(precision="half")
