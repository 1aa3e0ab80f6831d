"""The `callback` of train and qml.train: what it sees, how it stops a run, how its
exception ends one, and that a run without it is the run it always was."""

import os

import pytest

import morvane
from training_circuits import ansatz, ones
from cunqa_checks import assert_nothing_left

SLURM_WANTED = os.environ.get("MORVANE_TEST_SLURM") == "1"


def train(method, **kwargs):
    kwargs.setdefault("backend", "morvane")
    return morvane.train(ansatz(), method, 64, kwargs.pop("n_qpus", 1), 2,
                         kwargs.pop("cost", ones), kwargs.pop("infrastructure", "local"), 1, 1,
                         "progress", **kwargs)


def outcome(result):
    return (result.best_params, result.best_fitness, result.iterations_run, result.converged,
            result.fitness_history, result.seed)


# Recorded from the build before training took a callback, seed 2024.
GOLDEN = {
    "de": ([3.0950115977163177, 0.5757208576738648], 0.984375, 5, False,
           [0.8671875, 0.96875, 0.96875, 0.984375, 0.984375], 2024),
    "pso": ([2.4089314621720024, -0.11241638881522814], 0.90625, 4, False,
            [0.75, 0.75, 0.8515625, 0.90625], 2024),
    "qng": ([2.333067822680566, 0.2205071928578315], 0.90625, 3, False,
            [0.90625, 0.90625, 0.90625], 2024),
}
METHODS = {
    "de": lambda: morvane.DE(generations=5, population_size=6),
    "pso": lambda: morvane.PSO(generations=4, population_size=5),
    "qng": lambda: morvane.QNG(lambda theta, i: 0.25, max_iters=3),
}


@pytest.mark.parametrize("name", sorted(GOLDEN))
def test_a_watching_callback_changes_nothing(name):
    seen = []
    plain = train(METHODS[name](), seed=2024)
    watched = train(METHODS[name](), seed=2024, callback=lambda p: seen.append(p))
    assert outcome(plain) == GOLDEN[name]
    assert outcome(watched) == GOLDEN[name]
    # One record per iteration, each as the result's history has it.
    assert [p.iteration for p in seen] == list(range(plain.iterations_run))
    assert [p.best_fitness for p in seen] == plain.fitness_history
    assert seen[-1].best_params == tuple(plain.best_params)
    elapsed = [p.elapsed_secs for p in seen]
    assert elapsed == sorted(elapsed) and elapsed[0] >= 0.0


def qml_train(method, callback):
    qiskit = pytest.importorskip("qiskit")
    pytest.importorskip("qiskit_aer")
    fm, az = qiskit.QuantumCircuit(1), qiskit.QuantumCircuit(1)
    fm.ry(qiskit.circuit.Parameter("x"), 0)
    az.ry(qiskit.circuit.Parameter("w"), 0)
    return morvane.qml.train(fm, az, [(0.1,), (0.2,)], method, 32, 1, 1, ones, "local", 1, 1,
                             "progress", seed=5, callback=callback)


def test_non_callable_is_refused_before_the_run():
    with pytest.raises(TypeError, match="argument 'callback': expected a callable"):
        train(morvane.DE(), callback=42)


@pytest.mark.parametrize("entry", ["train", "qml.train"])
def test_returning_true_stops_after_that_iteration(entry):
    seen = []

    def stop_at_3(progress):
        seen.append(progress.iteration)
        return progress.iteration == 3

    method = morvane.DE(generations=50, population_size=6, patience=100)
    if entry == "train":
        result = train(method, seed=7, callback=stop_at_3)
    else:
        result = qml_train(method, stop_at_3)
    assert result.iterations_run == 4
    assert len(result.fitness_history) == 4
    assert result.converged is False
    assert seen == [0, 1, 2, 3]


class Enough(Exception):
    pass


def raise_at_1(calls):
    def callback(progress):
        calls.append(progress.iteration)
        if progress.iteration == 1:
            raise Enough("stop here")

    return callback


@pytest.mark.parametrize("where", ["native", "cunqa", "qml.train"])
def test_an_exception_ends_the_run_and_reaches_the_caller(where, monkeypatch, tmp_path):
    calls = []
    method = morvane.DE(generations=20, population_size=4)
    if where == "qml.train":
        with pytest.raises(Enough, match="stop here"):
            qml_train(method, raise_at_1(calls))
        assert calls == [0, 1]
        return
    if where == "native":
        with pytest.raises(Enough, match="stop here"):
            train(method, seed=3, callback=raise_at_1(calls))
        assert calls == [0, 1]
        return

    pytest.importorskip("qiskit_aer")
    import morvane_python

    monkeypatch.setenv("MORVANE_CUNQA_REGISTRY", str(tmp_path / "cunqa"))
    if not SLURM_WANTED:
        monkeypatch.setenv("MORVANE_CUNQA_LAUNCHER", "local")
    families, released = [], []
    real_connect = morvane_python.connect_to_infrastructure
    real_disconnect = morvane_python.disconnect_from_infrastructure

    def connect(*args, **kwargs):
        families.append(real_connect(*args, **kwargs))
        return families[-1]

    def disconnect(*args, **kwargs):
        released.append(kwargs["family"])
        return real_disconnect(*args, **kwargs)

    monkeypatch.setattr(morvane_python, "connect_to_infrastructure", connect)
    monkeypatch.setattr(morvane_python, "disconnect_from_infrastructure", disconnect)
    with pytest.raises(Enough, match="stop here"):
        train(method, seed=3, callback=raise_at_1(calls), infrastructure="cunqa",
              backend="aer", n_qpus=2)
    assert calls == [0, 1]
    [family] = families
    assert released == [family]
    assert_nothing_left(family)


def test_a_failed_batch_is_reported_without_asking_the_callback():
    class Broken(Exception):
        pass

    def cost(bitstring):
        raise Broken()

    seen = []
    with pytest.raises(Broken):
        train(morvane.DE(generations=5, population_size=4), seed=1, cost=cost,
              callback=seen.append)
    assert seen == []
