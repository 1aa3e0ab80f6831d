"""morvane.qml.train: refusals in their order, sample preparation, reproducibility on Aer and
CUNQA, and the oracle's shape as the backend sees it."""

import os
import re

import pytest

import morvane
import morvane.qml

qiskit = pytest.importorskip("qiskit")
pytest.importorskip("qiskit_aer")
from qiskit.circuit import Parameter  # noqa: E402

import morvane_python  # noqa: E402

SLURM_WANTED = os.environ.get("MORVANE_TEST_SLURM") == "1"


def feature_map():
    x = Parameter("x")
    qc = qiskit.QuantumCircuit(1)
    qc.ry(x, 0)
    return qc


def ansatz():
    w = Parameter("w")
    qc = qiskit.QuantumCircuit(1)
    qc.ry(w, 0)
    return qc


def ones(bitstring):
    return float(bitstring.count("1"))


def qml_train(fm=None, az=None, x=((0.1,), (0.2,), (0.3,)), method=None, shots=64, n_qpus=1,
              dimensions=1, cost=ones, infrastructure="local", nodes=1, cores=1, id="qml",
              **kwargs):
    return morvane.qml.train(feature_map() if fm is None else fm,
                             ansatz() if az is None else az, list(x),
                             morvane.DE(generations=3, population_size=4) if method is None
                             else method,
                             shots, n_qpus, dimensions, cost, infrastructure, nodes, cores, id,
                             **kwargs)


class Untouchable:
    """An ansatz that fails if anything reads it."""

    def __getattr__(self, name):
        raise AssertionError(f"ansatz.{name} was read")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"shots": 0, "az": Untouchable()}, "shots must be >= 1, got 0"),
        ({"id": "a b", "az": Untouchable()},
         "id contains invalid character ' '; only ASCII letters, digits, '.', '_' and '-' are "
         "allowed (got \"a b\")"),
        ({"backend": "morvane", "dimensions": 2},
         "dimensions (2) does not match the ansatz's free parameters (1)"),
        ({"dimensions": 2}, "dimensions (2) does not match the ansatz's free parameters (1)"),
        ({"x": ((0.1,), (0.2, 0.3))},
         "x_train row 1 has 2 features, but feature_map expects 1 (len(feature_map.parameters))"),
        ({"x": ()}, "x_train must contain at least one training sample"),
    ],
)
def test_refusals_in_their_order(kwargs, message):
    with pytest.raises(ValueError) as info:
        qml_train(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs, name, kind", [
    ({"fm": morvane.Circuit(1)}, "feature_map", "morvane.Circuit"),
    ({"az": "OPENQASM 2.0;"}, "ansatz", "str"),
    ({"az": [ansatz()]}, "ansatz", "list"),
])
def test_circuits_of_the_wrong_kind_are_type_errors_naming_them(kwargs, name, kind):
    with pytest.raises(TypeError) as info:
        qml_train(**{"fm": feature_map(), "az": ansatz(), **kwargs})
    assert str(info.value) == f"argument '{name}': expected a Qiskit QuantumCircuit, got '{kind}'"


def test_the_signature_has_no_fusion():
    with pytest.raises(TypeError):
        qml_train(fusion=False)


def test_samples_and_candidates_reach_the_backend_candidate_major(monkeypatch):
    seen = []
    real = morvane_python.run_qcs

    def spy(**kwargs):
        seen.append(kwargs["qcs"])
        return real(**kwargs)

    monkeypatch.setattr(morvane_python, "run_qcs", spy)
    result = qml_train(method=morvane.DE(generations=1, population_size=4), seed=3)
    # Two batches (initial population, one generation) of 4 candidates x 3 rows; the chunk
    # size is twice the processors, so each batch is one or more calls of whole candidates.
    assert sum(len(qcs) for qcs in seen) == 2 * 4 * 3
    assert all(len(qcs) % 3 == 0 for qcs in seen)
    first = [qc for qcs in seen[:1] for qc in qcs]
    # Candidate-major: each run of three circuits carries rows 0.1, 0.2, 0.3 in order and one
    # candidate's weight; consecutive candidates differ.
    rows = [float(qc.data[0].operation.params[0]) for qc in first]
    weights = [float(qc.data[1].operation.params[0]) for qc in first]
    assert rows == [0.1, 0.2, 0.3] * (len(first) // 3)
    for k in range(0, len(first), 3):
        assert weights[k] == weights[k + 1] == weights[k + 2]
    assert len(set(weights)) == len(first) // 3
    # Every circuit is fully bound and measured.
    assert all(not qc.parameters and qc.num_clbits == 1 for qc in first)
    assert result.iterations_run == 1


def test_a_composite_with_classical_bits_is_not_measured_again(monkeypatch):
    seen = []
    real = morvane_python.run_qcs

    def spy(**kwargs):
        seen.append(kwargs["qcs"])
        return real(**kwargs)

    monkeypatch.setattr(morvane_python, "run_qcs", spy)
    az = qiskit.QuantumCircuit(1, 1)
    az.ry(Parameter("w"), 0)
    az.measure(0, 0)
    qml_train(az=az, seed=1)
    assert all(qc.num_clbits == 1 for qcs in seen for qc in qcs)


@pytest.mark.parametrize("infrastructure", ["local", "cunqa"])
def test_same_seed_same_result(infrastructure, monkeypatch):
    if infrastructure == "cunqa" and not SLURM_WANTED:
        monkeypatch.setenv("MORVANE_CUNQA_LAUNCHER", "local")
    options = {"infrastructure": infrastructure, "n_qpus": 2 if infrastructure == "cunqa" else 1}
    first = qml_train(seed=8, **options)
    again = qml_train(seed=8, **options)
    other = qml_train(seed=9, **options)
    assert (first.best_params, first.fitness_history) == (again.best_params,
                                                          again.fitness_history)
    assert first.best_params != other.best_params
    assert re.fullmatch(r"qml_[0-9a-f-]{36}", first.id)


def test_the_mean_over_samples_is_the_fitness():
    # The feature map ends in X and the ansatz only rotates about Z, so every sample reads 1
    # for any weight: the mean over the samples is exactly 1.0 for every candidate.
    fm = qiskit.QuantumCircuit(1)
    x = Parameter("x")
    fm.rz(x, 0)
    fm.x(0)
    az = qiskit.QuantumCircuit(1)
    az.rz(Parameter("w"), 0)
    result = qml_train(fm=fm, az=az, seed=2)
    assert result.best_fitness == 1.0
    assert set(result.fitness_history) == {1.0}


def test_a_raising_cost_reaches_the_caller():
    class Boom(Exception):
        pass

    def cost(bitstring):
        raise Boom()

    with pytest.raises(Boom):
        qml_train(cost=cost, seed=1)


def test_the_vqc_example_separates_its_data():
    import pathlib
    import subprocess
    import sys

    script = pathlib.Path(__file__).parents[2] / "examples" / "vqc_classifier.py"
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    held_out = float(re.search(r"held-out (\d\.\d+)", done.stdout).group(1))
    assert held_out >= 0.75, done.stdout
