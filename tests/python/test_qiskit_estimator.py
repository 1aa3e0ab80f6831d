"""morvane.qiskit.EstimatorV2 against Qiskit's StatevectorEstimator, and against real clients:
qiskit-machine-learning's EstimatorQNN and qiskit-algorithms' VQE."""

import numpy as np
import pytest

pytest.importorskip("qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit.library import efficient_su2, real_amplitudes, zz_feature_map  # noqa: E402
from qiskit.exceptions import QiskitError  # noqa: E402
from qiskit.primitives import StatevectorEstimator  # noqa: E402
from qiskit.quantum_info import SparsePauliOp  # noqa: E402

from morvane.qiskit import EstimatorV2  # noqa: E402


def random_observable(rng, n, terms):
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(terms)]
    return SparsePauliOp(labels, rng.uniform(-1, 1, terms))


# Parameter-array shape and observable-array shape of a PUB, broadcast as
# Qiskit broadcasts them: single values, one side an array, an outer product,
# and a long pairwise (diagonal) broadcast with a distinct observable per row.
SHAPES = [((), ()), ((5,), ()), ((), (3,)), ((4, 1), (1, 3)), ((2, 3), (3,)), ((9,), (9,))]


@pytest.mark.parametrize("n", [1, 3, 6])
@pytest.mark.parametrize("parameter_shape, observable_shape", SHAPES)
def test_values_equal_the_reference_estimators_under_broadcasting(n, parameter_shape,
                                                                  observable_shape):
    rng = np.random.default_rng(n * 31 + len(parameter_shape) * 7 + len(observable_shape))
    qc = efficient_su2(n, reps=2)
    values = rng.uniform(-np.pi, np.pi, parameter_shape + (qc.num_parameters,))
    observables = np.empty(observable_shape, dtype=object)
    for index in np.ndindex(*observable_shape):
        observables[index] = random_observable(rng, n, 1 + int(rng.integers(6)))
    pub = (qc, observables.tolist() if observable_shape else observables[()], values)
    ours = EstimatorV2().run([pub]).result()[0]
    reference = StatevectorEstimator().run([pub]).result()[0]
    assert ours.data.evs.shape == reference.data.evs.shape
    np.testing.assert_allclose(ours.data.evs, reference.data.evs, atol=1e-10)
    np.testing.assert_array_equal(ours.data.stds, np.zeros(reference.data.evs.shape))
    assert ours.metadata["target_precision"] == 0.0


def bell():
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.cx(0, 1)
    return qc


def test_precision_adds_seeded_noise_of_that_deviation_around_the_exact_value():
    pub = (bell(), ["ZZ"] * 4000)
    first = EstimatorV2(seed=8, default_precision=0.05).run([pub]).result()[0].data.evs
    again = EstimatorV2(seed=8, default_precision=0.05).run([pub]).result()[0].data.evs
    other = EstimatorV2(seed=9, default_precision=0.05).run([pub]).result()[0].data.evs
    np.testing.assert_array_equal(first, again)
    assert not np.array_equal(first, other)
    # Mean 1 within 5 standard errors, deviation 0.05 within 10%.
    assert abs(first.mean() - 1.0) < 5 * 0.05 / np.sqrt(first.size)
    assert abs(first.std() - 0.05) < 0.005
    exact = EstimatorV2(seed=8).run([pub], precision=0.0).result()[0].data.evs
    np.testing.assert_allclose(exact, np.ones(4000), atol=1e-12)


def test_what_the_native_engine_cannot_evaluate_is_refused_with_its_reason():
    qc = bell()
    qc.reset(0)
    with pytest.raises(QiskitError, match=r"'reset'"):
        EstimatorV2().run([(qc, "ZZ")]).result()
    with pytest.raises(ValueError, match="imaginary"):
        EstimatorV2().run([(bell(), SparsePauliOp(["ZZ"], [1j]))]).result()


# --- real clients -------------------------------------------------------------------------

def test_estimator_qnn_forward_and_gradients_equal_the_reference():
    pytest.importorskip("qiskit_machine_learning")
    from qiskit_machine_learning.neural_networks import EstimatorQNN

    feature_map, ansatz = zz_feature_map(2, reps=1), real_amplitudes(2, reps=1)
    circuit = feature_map.compose(ansatz)
    observable = SparsePauliOp(["ZZ", "XI"], [1.0, -0.5])
    rng = np.random.default_rng(2)
    x, w = rng.uniform(-1, 1, (5, 2)), rng.uniform(-np.pi, np.pi, ansatz.num_parameters)
    runs = {}
    for name, estimator in {"morvane": EstimatorV2(), "reference": StatevectorEstimator()}.items():
        # Precision 0: exact values on both sides (the QNN's default asks for noise).
        qnn = EstimatorQNN(circuit=circuit, observables=observable, estimator=estimator,
                           input_params=feature_map.parameters,
                           weight_params=ansatz.parameters, default_precision=0.0)
        runs[name] = qnn.forward(x, w), qnn.backward(x, w)[1]
    np.testing.assert_allclose(runs["morvane"][0], runs["reference"][0], atol=1e-10)
    np.testing.assert_allclose(runs["morvane"][1], runs["reference"][1], atol=1e-10)


def test_vqe_finds_the_reference_ground_energy():
    pytest.importorskip("qiskit_algorithms")
    from qiskit_algorithms import VQE
    from qiskit_algorithms.optimizers import COBYLA

    hamiltonian = SparsePauliOp(["ZZI", "IZZ", "XII", "IXI", "IIX"], [1.0, 1.0, 0.6, 0.6, 0.6])
    ground = np.linalg.eigvalsh(hamiltonian.to_matrix()).min()
    energies = {}
    for name, estimator in {"morvane": EstimatorV2(), "reference": StatevectorEstimator()}.items():
        vqe = VQE(estimator, real_amplitudes(3, reps=2), COBYLA(maxiter=300),
                  initial_point=np.full(9, 0.1))
        energies[name] = vqe.compute_minimum_eigenvalue(hamiltonian).eigenvalue.real
    # Exact values on both sides, equal to rounding; over hundreds of optimiser
    # steps rounding moves the path a little, not the energy it reaches.
    assert energies["morvane"] == pytest.approx(energies["reference"], abs=1e-3 * abs(ground))
    assert energies["morvane"] < ground + 0.1 * abs(ground), (energies, ground)


def test_estimator_qnn_regressor_trains_as_on_the_reference():
    pytest.importorskip("qiskit_machine_learning")
    from qiskit_machine_learning.algorithms import NeuralNetworkRegressor
    from qiskit_machine_learning.neural_networks import EstimatorQNN
    from qiskit_machine_learning.optimizers import COBYLA

    feature_map, ansatz = zz_feature_map(2, reps=1), real_amplitudes(2, reps=2)
    circuit = feature_map.compose(ansatz)
    rng = np.random.default_rng(6)
    x = rng.uniform(-1, 1, (20, 2))
    y = np.sin(x[:, 0] + x[:, 1])
    start = np.full(ansatz.num_parameters, 0.2)
    scores, errors = {}, {}
    for name, estimator in {"morvane": EstimatorV2(), "reference": StatevectorEstimator()}.items():
        qnn = EstimatorQNN(circuit=circuit, estimator=estimator,
                           input_params=feature_map.parameters,
                           weight_params=ansatz.parameters, default_precision=0.0)
        before = np.mean((qnn.forward(x, start).ravel() - y) ** 2)
        regressor = NeuralNetworkRegressor(qnn, optimizer=COBYLA(maxiter=60), initial_point=start)
        regressor.fit(x, y)
        scores[name] = regressor.score(x, y)
        errors[name] = before, np.mean((regressor.predict(x).ravel() - y) ** 2)
    assert scores["morvane"] == pytest.approx(scores["reference"], abs=1e-3), scores
    before, after = errors["morvane"]
    assert after < 0.6 * before, errors
