"""Real clients of Qiskit's sampler primitive on morvane.qiskit.SamplerV2: qiskit-machine-learning's
SamplerQNN and VQC, qiskit-algorithms' SamplingVQE and QAOA. Each runs the same way on our sampler
and on Qiskit's StatevectorSampler and the two agree within sampling error."""

import numpy as np
import pytest

pytest.importorskip("qiskit")
pytest.importorskip("qiskit_machine_learning")
pytest.importorskip("qiskit_algorithms")

from qiskit.circuit.library import real_amplitudes, zz_feature_map  # noqa: E402
from qiskit.primitives import StatevectorSampler  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402
from qiskit_algorithms import QAOA, SamplingVQE  # noqa: E402
from qiskit_algorithms.optimizers import COBYLA as AlgorithmsCOBYLA  # noqa: E402
from qiskit_algorithms.utils import algorithm_globals  # noqa: E402
from qiskit_machine_learning.algorithms import VQC  # noqa: E402
from qiskit_machine_learning.neural_networks import SamplerQNN  # noqa: E402
from qiskit_machine_learning.optimizers import COBYLA  # noqa: E402

from morvane.qiskit import SamplerV2  # noqa: E402

SAMPLERS = {"morvane": lambda shots, seed: SamplerV2(default_shots=shots, seed=seed),
            "reference": lambda shots, seed: StatevectorSampler(default_shots=shots, seed=seed)}


def qnn_circuit():
    feature_map = zz_feature_map(2, reps=1)
    ansatz = real_amplitudes(2, reps=1)
    return feature_map.compose(ansatz), feature_map.parameters, ansatz.parameters


def test_sampler_qnn_forward_and_gradients_agree():
    circuit, inputs, weights = qnn_circuit()
    rng = np.random.default_rng(4)
    x = rng.uniform(-1, 1, (6, len(inputs)))
    w = rng.uniform(-np.pi, np.pi, len(weights))
    shots = 20000
    runs = {}
    for name, make in SAMPLERS.items():
        qnn = SamplerQNN(circuit=circuit, input_params=inputs, weight_params=weights,
                         sampler=make(shots, 11))
        forward = qnn.forward(x, w)
        _, weight_grad = qnn.backward(x, w)
        runs[name] = forward, weight_grad
    exact = np.array([
        Statevector(circuit.assign_parameters(list(row) + list(w))).probabilities() for row in x])
    sigma = np.sqrt(exact * (1 - exact) / shots) + 1e-3
    assert np.all(np.abs(runs["morvane"][0] - exact) <= 5 * sigma)
    assert np.all(np.abs(runs["morvane"][0] - runs["reference"][0]) <= 5 * np.sqrt(2) * sigma)
    # A parameter-shift component is half a difference of two estimated probabilities.
    assert np.abs(runs["morvane"][1] - runs["reference"][1]).max() <= 3 / np.sqrt(shots)


def test_vqc_trains_alike():
    rng = np.random.default_rng(7)
    x = rng.uniform(-1, 1, (24, 2))
    y = (x[:, 0] * x[:, 1] > 0).astype(int)
    scores = {}
    for name, make in SAMPLERS.items():
        vqc = VQC(feature_map=zz_feature_map(2, reps=1), ansatz=real_amplitudes(2, reps=2),
                  optimizer=COBYLA(maxiter=60), sampler=make(2048, 3),
                  initial_point=np.full(6, 0.3))
        vqc.fit(x, y)
        scores[name] = vqc.score(x, y)
    assert scores["morvane"] >= 0.75, scores
    assert abs(scores["morvane"] - scores["reference"]) <= 0.15, scores


def maxcut():
    edges = [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2)]
    operator = SparsePauliOp.from_sparse_list([("ZZ", [i, j], 0.5) for i, j in edges],
                                              num_qubits=4)
    diagonal = np.real(np.diag(operator.to_matrix()))
    return operator, diagonal


@pytest.mark.parametrize("algorithm", ["qaoa", "sampling_vqe"])
def test_qiskit_algorithms_find_the_same_ground_state(algorithm):
    operator, diagonal = maxcut()
    ground = diagonal.min()
    optimal = {format(i, "04b") for i in np.flatnonzero(np.isclose(diagonal, ground))}
    results = {}
    for name, make in SAMPLERS.items():
        algorithm_globals.random_seed = 5
        sampler = make(2048, 13)
        if algorithm == "qaoa":
            solver = QAOA(sampler, AlgorithmsCOBYLA(maxiter=60), reps=2,
                          initial_point=[0.5, 0.5, 0.5, 0.5])
        else:
            solver = SamplingVQE(sampler, real_amplitudes(4, reps=1),
                                 AlgorithmsCOBYLA(maxiter=80), initial_point=np.full(8, 0.4))
        results[name] = solver.compute_minimum_eigenvalue(operator)
    ours, reference = results["morvane"], results["reference"]
    assert ours.best_measurement["bitstring"] in optimal
    assert ours.best_measurement["value"] == pytest.approx(ground, abs=1e-9)
    # The optimised expectation (a sampled mean, spread over at most |ground| - max) agrees.
    spread = diagonal.max() - ground
    assert abs(ours.eigenvalue.real - reference.eigenvalue.real) <= 0.25 * spread, (
        ours.eigenvalue, reference.eigenvalue)
