"""train(): validation order, seed precedence, reproducibility on every backend, error
mapping, and the backend released whatever happens."""

import math
import os
import re
import subprocess

import pytest

import morvane
from training_circuits import ansatz, ones

SLURM_WANTED = os.environ.get("MORVANE_TEST_SLURM") == "1"


def train(qc=None, method=None, shots=64, n_qpus=1, dimensions=2, cost=ones,
          infrastructure="local", nodes=1, cores=1, id="unit", **kwargs):
    kwargs.setdefault("backend", "morvane")
    return morvane.train(ansatz() if qc is None else qc,
                         morvane.DE(generations=3, population_size=6) if method is None
                         else method,
                         shots, n_qpus, dimensions, cost, infrastructure, nodes, cores, id,
                         **kwargs)


INVALID_CHAR = ("id contains invalid character {}; only ASCII letters, digits, '.', '_' and '-' "
                "are allowed (got {})")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"shots": 0, "n_qpus": 0, "id": ""}, "shots must be >= 1, got 0"),
        ({"n_qpus": 0, "id": ""}, "n_qpus must be >= 1, got 0"),
        ({"infrastructure": "cunqa", "nodes": 0, "cores": 0, "id": ""},
         "nodes must be >= 1 for the 'cunqa' infrastructure, got 0"),
        ({"id": "", "dimensions": 5}, "id must not be empty"),
        ({"id": "run 1"}, INVALID_CHAR.format("' '", '"run 1"')),
        ({"id": "x" * 70 + "/"}, INVALID_CHAR.format("'/'", '"' + "x" * 70 + '/"')),
        ({"id": "a" * 65}, f'id must be at most 64 characters, got 65 ("{"a" * 65}")'),
        ({"dimensions": 3, "backend": "nope"},
         "dimensions (3) does not match the circuit's free parameters (2)"),
        ({"backend": "nope"}, "unknown local backend 'nope'; expected \"aer\" or \"morvane\""),
        ({"infrastructure": "qmio"},
         "the 'qmio' infrastructure requires compiling morvane with --features qmio"),
        ({"fusion": True, "backend": "aer"},
         'fusion=True applies only to the native backend="morvane"; backend "aer" on '
         'infrastructure "local" cannot fuse gates. Omit fusion, or pass fusion=False for a '
         'gate-by-gate run.'),
        ({"method": morvane.DE(population_size=3)},
         "population_size must be at least 4 (each trial mutation samples 3 distinct other "
         "members), got 3"),
    ],
)
def test_refusals_in_their_order(kwargs, message):
    with pytest.raises(ValueError) as info:
        train(**kwargs)
    assert type(info.value) is ValueError
    assert str(info.value) == message


class FakeQiskitCircuit:
    """Shaped like a circuit, but no Qiskit QuantumCircuit: only the Python backends read it."""

    num_qubits = 1
    data: list[object] = []


def test_qmio_refuses_qiskit_circuits_and_native_refuses_what_it_cannot_read():
    qiskit = pytest.importorskip("qiskit")
    qc = qiskit.QuantumCircuit(1)
    qc.rx(qiskit.circuit.Parameter("a"), 0)
    with pytest.raises(ValueError) as info:
        train(qc=FakeQiskitCircuit(), dimensions=1)
    assert str(info.value) == (
        "the native 'morvane' backend runs a morvane.Circuit, OpenQASM 2.0 text or a Qiskit "
        "QuantumCircuit, and this circuit is none of them; pass one of those, or use "
        "backend=\"aer\"")
    for backend in ("aer", "morvane"):
        with pytest.raises(ValueError, match=re.escape(
                "the 'qmio' infrastructure requires a native morvane.Circuit (GIL-free "
                "serialization); got a Qiskit circuit. Build it with morvane.Circuit")):
            train(qc=qc, dimensions=1, infrastructure="qmio", backend=backend)


NOT_TRAINABLE = "argument 'qc': expected a morvane.Circuit or a Qiskit QuantumCircuit, got '{}'"
QASM_TEXT = ("argument 'qc': train optimises free parameters, which OpenQASM 2.0 text cannot "
             "declare; pass a morvane.Circuit built with morvane.Param, or a Qiskit "
             "QuantumCircuit with Parameters")


@pytest.mark.parametrize("backend", ["morvane", "aer"])
@pytest.mark.parametrize("qc, message", [
    ('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[1];\nrx(0.5) q[0];\n', QASM_TEXT),
    (7, NOT_TRAINABLE.format("int")),
    ([ansatz()], NOT_TRAINABLE.format("list")),
    (morvane.Param(0), NOT_TRAINABLE.format("morvane.Param")),
])
def test_what_train_cannot_optimise_is_a_type_error_naming_it(qc, message, backend):
    # shots=0 would be the first refusal of a real circuit.
    with pytest.raises(TypeError) as info:
        train(qc=qc, shots=0, backend=backend)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"method": None}, "method must be an instance of morvane.DE, morvane.PSO, or morvane.QNG"),
        ({"cost": 42}, "expectation_function must be a callable (bitstring -> float), a "
                       "morvane.CachedCost(callable), or a morvane.Qubo / morvane.Ising "
                       "observable"),
    ],
)
def test_wrong_kinds_are_type_errors(kwargs, message):
    if kwargs.get("method", 0) is None:
        with pytest.raises(TypeError, match=re.escape(message)):
            morvane.train(ansatz(), None, 64, 1, 2, ones, "local", 1, 1, "unit", backend="morvane")
    else:
        with pytest.raises(TypeError, match=re.escape(message)):
            train(**kwargs)


def test_seed_precedence_and_replay():
    assert train(method=morvane.DE(generations=2, population_size=5, seed=9), seed=5).seed == 5
    pinned = train(method=morvane.DE(generations=2, population_size=5, seed=9))
    assert pinned.seed == 9
    drawn = train()
    replay = train(seed=drawn.seed)
    assert (replay.best_params, replay.fitness_history) == (drawn.best_params,
                                                            drawn.fitness_history)


def test_de_climbs_to_the_optimum_and_reports_it():
    result = train(method=morvane.DE(generations=40, population_size=12), shots=200, seed=3)
    assert result.best_fitness > 0.9
    assert len(result.fitness_history) == result.iterations_run
    assert result.fitness_history == sorted(result.fitness_history)
    assert len(result.best_params) == 2
    assert re.fullmatch(r"unit_[0-9a-f-]{36}", result.id)
    assert repr(result).startswith(f'TrainResult(id="{result.id}", best_fitness=')
    assert re.search(r"converged=(true|false), seed=3, best_params=\[-?\d+\.\d+(e-?\d+)?, "
                     r"-?\d+\.\d+(e-?\d+)?\]\)$", repr(result))


@pytest.mark.parametrize("method", [morvane.PSO(generations=4, population_size=5),
                                    morvane.QNG(lambda theta, i: 0.25, max_iters=3)])
def test_every_method_reproduces_bit_for_bit(method):
    first = train(method=method, seed=11)
    again = train(method=method, seed=11)
    other = train(method=method, seed=12)
    assert first.best_params == again.best_params
    assert first.fitness_history == again.fitness_history
    assert first.best_params != other.best_params


def backend_options(kind, monkeypatch):
    if kind == "native":
        return {"backend": "morvane"}
    if kind == "aer":
        pytest.importorskip("qiskit_aer")
        return {"backend": "aer"}
    pytest.importorskip("qiskit_aer")
    if not SLURM_WANTED:
        monkeypatch.setenv("MORVANE_CUNQA_LAUNCHER", "local")
    return {"infrastructure": "cunqa", "backend": "aer", "n_qpus": 2}


@pytest.mark.parametrize("kind", ["native", "aer", "cunqa"])
def test_same_seed_same_result_on_every_backend(kind, monkeypatch):
    options = backend_options(kind, monkeypatch)
    method = morvane.DE(generations=3, population_size=5)
    first = train(method=method, seed=21, **options)
    again = train(method=method, seed=21, **options)
    other = train(method=method, seed=22, **options)
    assert (first.best_params, first.fitness_history, first.best_fitness) == (
        again.best_params, again.fitness_history, again.best_fitness)
    assert first.best_params != other.best_params
    if kind == "cunqa" and SLURM_WANTED:
        queue = subprocess.run(["squeue", "-h", "-o", "%j"], capture_output=True, text=True)
        assert not [name for name in queue.stdout.split() if name.startswith("unit_")]


class Explodes(RuntimeError):
    pass


def test_a_raising_cost_reaches_the_caller_as_itself():
    calls = []

    def cost(bitstring):
        calls.append(bitstring)
        raise Explodes("no")

    with pytest.raises(Explodes):
        train(cost=cost, seed=1)
    # The first batch failed; every later one was answered without running.
    assert len(calls) == 1


def test_a_non_finite_cost_is_an_evaluation_error():
    with pytest.raises(morvane.EvaluationError) as info:
        train(cost=lambda b: math.nan if b == "00" else 0.0,
              qc=morvane.Circuit(2).rx(0, morvane.Param(0)).rx(1, morvane.Param(1)).measure_all(),
              seed=1)
    assert re.fullmatch(r"oracle returned a non-finite expectation value NaN at index \d+; "
                        r"contract C-5 requires every output to be a finite f64", str(info.value))


def test_an_invalid_variance_names_its_index():
    qc = (morvane.Circuit(3).rx(0, morvane.Param(0)).rx(1, morvane.Param(1))
          .rx(2, morvane.Param(2)).measure_all())
    method = morvane.QNG(lambda theta, i: -1.0 if i == 2 else 0.5, max_iters=2)
    with pytest.raises(morvane.EvaluationError) as info:
        train(qc=qc, method=method, dimensions=3, seed=1)
    assert str(info.value) == (
        "variance_function returned an invalid value -1 for parameter index 2; a QFIM diagonal "
        "element must be a finite, non-negative number")


def test_a_qiskit_binding_exception_reaches_the_caller():
    qiskit = pytest.importorskip("qiskit")
    pytest.importorskip("qiskit_aer")

    class Broken(qiskit.QuantumCircuit):
        def assign_parameters(self, *args, **kwargs):
            raise Explodes("cannot bind")

    qc = Broken(1)
    qc.rx(qiskit.circuit.Parameter("a"), 0)
    qc.measure_all()
    with pytest.raises(Explodes):
        train(qc=qc, dimensions=1, backend="aer", seed=1)


def test_qiskit_circuits_train_on_aer():
    qiskit = pytest.importorskip("qiskit")
    pytest.importorskip("qiskit_aer")
    a = qiskit.circuit.Parameter("a")
    qc = qiskit.QuantumCircuit(1)
    qc.rx(a, 0)
    qc.measure_all()
    result = train(qc=qc, dimensions=1, backend="aer", shots=100,
                   method=morvane.DE(generations=15, population_size=8), seed=4)
    assert result.best_fitness > 0.9


def test_the_maxcut_example_meets_its_targets():
    # The script asserts its own targets (0.7 of the optimum, an optimal cut sampled).
    import pathlib
    import subprocess
    import sys

    script = pathlib.Path(__file__).parents[2] / "examples" / "maxcut_qaoa.py"
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "optimal cuts" in done.stdout


def test_ctrl_c_during_training_raises_keyboard_interrupt_and_stops_running():
    import signal

    calls = []

    def cost(bitstring):
        calls.append(bitstring)
        if len(calls) == 3:
            os.kill(os.getpid(), signal.SIGINT)
        return ones(bitstring)

    with pytest.raises(KeyboardInterrupt):
        train(cost=cost, method=morvane.DE(generations=50, population_size=8), seed=1)
    # Nothing was evaluated after the interrupt's batch.
    assert len(calls) <= 4


@pytest.mark.parametrize("bad", [{"cost": 42}, {"method": "DE"}])
def test_wrong_cost_or_method_never_raises_a_family(monkeypatch, bad):
    import morvane_python

    raised = []
    monkeypatch.setattr(morvane_python, "connect_to_infrastructure",
                        lambda *a, **k: raised.append(k) or object())
    kwargs = {"cost": bad.get("cost", ones)}
    method = bad.get("method")
    with pytest.raises(TypeError):
        morvane.train(ansatz(), morvane.DE() if method is None else method, 8, 1, 2,
                      kwargs["cost"], "cunqa", 1, 1, "unit", backend="aer")
    assert raised == []


def sixteen_qubit_ansatz():
    qc = morvane.Circuit(16)
    for q in range(16):
        qc.ry(q, morvane.Param(q % 2))
    for q in range(15):
        qc.cx(q, q + 1)
    return qc.measure_all()


@pytest.mark.parametrize("backend", ["morvane", "aer"])
@pytest.mark.parametrize("with_callback", [False, True])
def test_ctrl_c_ends_a_long_run_within_a_second(backend, with_callback):
    # No Python cost to notice the signal, and a budget and patience that would keep the
    # optimiser generating (zero-valued) candidates for seconds: only the failed batch can end
    # the run.
    import signal
    import threading
    import time

    if backend == "aer":
        pytest.importorskip("qiskit_aer")
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.5, interrupt)
    method = morvane.DE(generations=10**6, population_size=32, patience=10**9)
    callback = (lambda progress: False) if with_callback else None
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            morvane.train(sixteen_qubit_ansatz(), method, 32, 1, 2, morvane.Qubo(16, [(0, 1.0)]),
                          "local", 1, 1, "ctrlc", backend=backend, seed=1, callback=callback)
        raised = time.monotonic()
    finally:
        timer.cancel()
    assert sent and raised - sent[0] < 1.0


@pytest.mark.parametrize("population", [10**9, 4 * 10**8])
def test_a_population_that_cannot_fit_is_refused_before_anything_is_allocated(population):
    with pytest.raises(ValueError) as info:
        train(method=morvane.DE(population_size=population))
    text = str(info.value)
    assert text.startswith(f"population_size {population}: one batch of {population} "
                           "candidates with 2 parameters needs about ")
    assert text.endswith(" of memory this machine has available; use a smaller population_size")


def test_a_state_above_the_memory_budget_is_refused(monkeypatch):
    monkeypatch.setenv("MORVANE_MEM_BUDGET", str(1 << 20))
    message = ("a 17-qubit statevector needs 2.0 MiB, more than the memory budget of 1.0 MiB; "
               "use fewer qubits, or raise MORVANE_MEM_BUDGET (in bytes) if this machine has "
               "the memory")
    with pytest.raises(ValueError, match=re.escape(message)):
        train(qc=morvane.Circuit(17).rx(0, morvane.Param(0)).measure_all(), dimensions=1)
    with pytest.raises(ValueError, match=re.escape(message)):
        morvane.run_quantum_circuit(morvane.Circuit(17).measure_all(), 10, "local",
                                    backend="morvane")
