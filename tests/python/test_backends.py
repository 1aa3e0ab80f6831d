"""run_quantum_circuit on Aer and through the seam: the calls the backends make, what they
do with wrong answers, and agreement of real Aer with the native simulator."""

import math
import os
import random
import re
import sys

import pytest

import morvane
import morvane_python

qiskit = pytest.importorskip("qiskit")

C1 = "expected run_qcs() to return list[dict[str, int]] (contract C-1): "


def bell():
    return morvane.Circuit(2).h(0).cx(0, 1).measure_all()


class Recorder:
    """Replaces the seam's functions, keeping every call; answers run_qcs with all shots on
    the all-zero outcome unless told otherwise."""

    def __init__(self, monkeypatch):
        self.calls = []
        self.run_answer = None
        self.family = object()
        monkeypatch.setattr(morvane_python, "connect_to_infrastructure", self.connect)
        monkeypatch.setattr(morvane_python, "run_qcs", self.run_qcs)
        monkeypatch.setattr(morvane_python, "disconnect_from_infrastructure", self.disconnect)

    def connect(self, *args, **kwargs):
        self.calls.append(("connect", args, list(kwargs.items())))
        return "local" if args == ("local",) else self.family

    def run_qcs(self, *args, **kwargs):
        self.calls.append(("run_qcs", args, list(kwargs.items())))
        if self.run_answer is not None:
            return self.run_answer(kwargs)
        return [{"0" * 2: kwargs["shots"]} for _ in kwargs["qcs"]]

    def disconnect(self, *args, **kwargs):
        self.calls.append(("disconnect", args, list(kwargs.items())))

    def named(self, name):
        return [call for call in self.calls if call[0] == name]


@pytest.fixture
def seam(monkeypatch):
    return Recorder(monkeypatch)


def keyword_names(call):
    return [name for name, _ in call[2]]


def test_local_run_sends_its_keywords_in_order(seam, monkeypatch):
    monkeypatch.setenv("MORVANE_MEM_BUDGET", "1048576")
    qc = bell()
    result = morvane.run_quantum_circuit(qc, 7, "local", seed=11, sim_method="statevector")
    assert [c[0] for c in seam.calls] == ["connect", "run_qcs"]
    assert seam.calls[0][1:] == (("local",), [])
    run = seam.named("run_qcs")[0]
    assert run[1] == ()
    assert keyword_names(run) == ["id", "backend", "qcs", "shots", "sim_method",
                                  "max_parallel_experiments", "seed"]
    kw = dict(run[2])
    assert kw["id"] == result.id and re.fullmatch(r"run_1_local_[0-9a-f-]{36}", kw["id"])
    assert kw["backend"] == "AerSimulator"
    # A native circuit crosses the seam as its own OpenQASM 2.0 export.
    assert kw["qcs"] == [qc.to_qasm2()]
    assert (kw["shots"], kw["sim_method"], kw["seed"]) == (7, "statevector", 11)
    # 1 MiB of budget holds 16384 two-qubit states; the CPUs bound it first.
    assert kw["max_parallel_experiments"] == len(os.sched_getaffinity(0))
    assert result.counts == [{"00": 7}]
    assert (result.backend, result.infrastructure, result.seed) == ("aer", "local", 11)


def test_local_noise_model_and_budget_reach_the_seam(seam, monkeypatch):
    monkeypatch.setenv("MORVANE_MEM_BUDGET", "1048576")
    noise = object()
    big = morvane.Circuit(16).h(0).measure_all()
    seam.run_answer = lambda kw: [{"0" * 16: kw["shots"]}]
    morvane.run_quantum_circuit(big, 3, "local", backend="AerSimulator", noise_model=noise,
                                fusion=False)
    kw = dict(seam.named("run_qcs")[0][2])
    assert kw["noise_model"] is noise
    assert kw["max_parallel_experiments"] == 1  # one 16-qubit state is the whole budget
    # Without a caller's seed the drawn one is sent, and reported.
    assert "seed" in kw


def test_qiskit_objects_and_text_cross_unchanged(seam):
    qc = qiskit.QuantumCircuit(2)
    qc.h(0)
    qc.measure_all()
    morvane.run_quantum_circuit(qc, 5, "local", seed=1)
    morvane.run_quantum_circuit("OPENQASM 2.0;\nqreg q[2];", 5, "local", seed=1)
    first, second = (dict(c[2])["qcs"] for c in seam.named("run_qcs"))
    assert first[0] is qc
    assert second == ["OPENQASM 2.0;\nqreg q[2];"]


def test_replicas_are_grouped_and_each_gets_its_own_seed(seam):
    result = morvane.run_quantum_circuit(bell(), 10, "local", n_qpus=3, seed=100)
    runs = [dict(c[2]) for c in seam.named("run_qcs")]
    # 10 shots over 3 replicas is 4, 3, 3: one call of one circuit, one of two.
    assert [(len(r["qcs"]), r["shots"], r["seed"]) for r in runs] == [(1, 4, 100), (2, 3, 101)]
    assert result.counts == {"00": 10}


def test_zero_shot_replicas_are_never_sent(seam):
    result = morvane.run_quantum_circuit(bell(), 2, "local", n_qpus=4, seed=5)
    runs = [dict(c[2]) for c in seam.named("run_qcs")]
    assert [(len(r["qcs"]), r["shots"]) for r in runs] == [(2, 1)]
    assert result.counts == {"00": 2}


def test_cunqa_raises_runs_and_releases_once(seam):
    before = morvane.backend_cleanup_failures()
    result = morvane.run_quantum_circuit(bell(), 8, "cunqa", n_qpus=1, nodes=2, cores_per_qpu=3,
                                         backend="ignored", noise_model=object(), seed=4)
    assert [c[0] for c in seam.calls] == ["connect", "run_qcs", "disconnect"]
    connect, run, disconnect = seam.calls
    assert connect[1] == ("cunqa",)
    assert connect[2] == [("n", 1), ("t", "10:00:00"), ("n_nodes", 2),
                          ("family_name", result.id), ("cores_per_qpu", 3)]
    assert keyword_names(run) == ["family_id", "backend", "qcs", "shots", "sim_method", "seed"]
    assert dict(run[2])["family_id"] == result.id
    assert disconnect[1] == ("cunqa",)
    assert disconnect[2] == [("family", seam.family)]
    assert morvane.backend_cleanup_failures() == before


def test_cunqa_without_seed_sends_none_and_waves_follow_the_family(seam):
    morvane.run_quantum_circuit(bell(), 10, "cunqa", n_qpus=4, seed=None)
    runs = [dict(c[2]) for c in seam.named("run_qcs")]
    # 3, 3, 2, 2: the family of four runs them in two groups.
    assert [(len(r["qcs"]), r["shots"]) for r in runs] == [(2, 3), (2, 2)]
    assert dict(seam.named("connect")[0][2])["n"] == 4
    assert len(seam.named("disconnect")) == 1


def test_a_raising_release_is_counted_not_raised(seam, monkeypatch):
    def refuse(*args, **kwargs):
        seam.calls.append(("disconnect", args, list(kwargs.items())))
        raise RuntimeError("scancel failed")

    monkeypatch.setattr(morvane_python, "disconnect_from_infrastructure", refuse)
    before = morvane.backend_cleanup_failures()
    result = morvane.run_quantum_circuit(bell(), 4, "cunqa", seed=1)
    assert result.counts == [{"00": 4}]
    assert morvane.backend_cleanup_failures() == before + 1
    assert len(seam.named("disconnect")) == 1


class Boom(Exception):
    pass


@pytest.mark.parametrize("infrastructure", ["local", "cunqa"])
@pytest.mark.parametrize("where", ["connect", "run_qcs"])
def test_seam_exceptions_reach_the_caller_unchanged(seam, monkeypatch, infrastructure, where):
    raised = Boom("the seam broke")

    def fail(*args, **kwargs):
        raise raised

    monkeypatch.setattr(morvane_python, "connect_to_infrastructure" if where == "connect"
                        else "run_qcs", fail)
    with pytest.raises(Boom) as info:
        morvane.run_quantum_circuit(bell(), 4, infrastructure, seed=1)
    assert info.value is raised
    # A family that was raised is still released after a failed run; one that
    # never came up has nothing to release.
    expected = 1 if (infrastructure, where) == ("cunqa", "run_qcs") else 0
    assert len(seam.named("disconnect")) == expected


@pytest.mark.parametrize("infrastructure", ["local", "cunqa"])
@pytest.mark.parametrize(
    "answer, detail",
    [
        (lambda kw: {"00": kw["shots"]}, "got dict, not a list"),
        (lambda kw: ({"00": kw["shots"]},), "got tuple, not a list"),
        (lambda kw: ["00"], "item 0 is str, not a dict"),
        (lambda kw: [{0: 4}], "item 0 has a key of type int, not str"),
        (lambda kw: [{"00": "4"}], 'item 0 maps "00" to str, not int'),
        (lambda kw: [{"00": -1}], 'item 0 maps "00" to a count outside 0..2^64-1'),
        (lambda kw: [{"00": 2**64}], 'item 0 maps "00" to a count outside 0..2^64-1'),
    ],
)
def test_wrong_result_types_are_backend_errors(seam, infrastructure, answer, detail):
    seam.run_answer = answer
    with pytest.raises(morvane.BackendError) as info:
        morvane.run_quantum_circuit(bell(), 4, infrastructure, seed=1)
    assert type(info.value) is morvane.BackendError
    assert str(info.value) == C1 + detail


@pytest.mark.parametrize(
    "answer, detail",
    [
        (lambda kw: [], "expected one counts map per circuit (1), got 0"),
        (lambda kw: [{}], "empty counts map for circuit 0 (4 shot(s) requested); an empty result "
                          "has no measurement outcomes and cannot be reduced to a fitness"),
        (lambda kw: [{"00": 3}], "counts for circuit 0 sum to 3 shot(s) but 4 were requested "
                                 "(contract C-3 shot conservation)"),
        (lambda kw: [{"0x": 4}], 'counts for circuit 0 contain a non-bitstring key "0x" '
                                 "(expected a string of 0/1 outcomes)"),
    ],
)
def test_counts_breaking_their_contract_are_refused(seam, answer, detail):
    seam.run_answer = answer
    with pytest.raises(morvane.BackendError) as info:
        morvane.run_quantum_circuit(bell(), 4, "local", seed=1)
    assert str(info.value) == "backend returned invalid results: " + detail


def test_local_connect_must_answer_a_str(seam, monkeypatch):
    monkeypatch.setattr(morvane_python, "connect_to_infrastructure", lambda *a, **k: 5)
    with pytest.raises(morvane.BackendError) as info:
        morvane.run_quantum_circuit(bell(), 4, "local", seed=1)
    assert str(info.value) == 'expected connect_to_infrastructure("local") to return str: got int'


def test_a_missing_seam_function_reaches_the_caller(seam, monkeypatch):
    monkeypatch.delattr(morvane_python, "run_qcs")
    with pytest.raises(AttributeError):
        morvane.run_quantum_circuit(bell(), 4, "local", seed=1)


def test_objects_handed_to_a_backend_are_released(seam):
    qc = qiskit.QuantumCircuit(2)
    qc.measure_all()
    noise = object()
    before = (sys.getrefcount(qc), sys.getrefcount(noise))
    for _ in range(3):
        morvane.run_quantum_circuit(qc, 5, "local", noise_model=noise, seed=2)
        seam.calls.clear()
    assert (sys.getrefcount(qc), sys.getrefcount(noise)) == before


# Real Aer from here on: the seam's own local road, no replaced functions.

ONE_QUBIT = ["h", "x", "y", "z", "s", "t", "sdg", "tdg"]
ROTATIONS = ["rx", "ry", "rz"]
TWO_QUBIT = ["cx", "cz", "swap"]
TWO_QUBIT_ROTATIONS = ["rzz", "rxx", "cp"]


def random_circuit(rng, n, gates):
    qc = morvane.Circuit(n)
    for _ in range(gates):
        kind = rng.choice(["one", "rotation", "u", "two", "two_rotation"] if n > 1
                          else ["one", "rotation", "u"])
        angle = lambda: rng.uniform(-2 * math.pi, 2 * math.pi)  # noqa: E731
        if kind == "one":
            getattr(qc, rng.choice(ONE_QUBIT))(rng.randrange(n))
        elif kind == "rotation":
            getattr(qc, rng.choice(ROTATIONS))(rng.randrange(n), angle())
        elif kind == "u":
            qc.u(rng.randrange(n), angle(), angle(), angle())
        else:
            a, b = rng.sample(range(n), 2)
            if kind == "two":
                getattr(qc, rng.choice(TWO_QUBIT))(a, b)
            else:
                getattr(qc, rng.choice(TWO_QUBIT_ROTATIONS))(a, b, angle())
    return qc


def l1_bound(outcomes, shots, false_failure):
    """Bretagnolle-Huber-Carol: P(||p_hat - p||_1 >= bound) <= false_failure."""
    return math.sqrt(2 * (outcomes * math.log(2) + math.log(1 / false_failure)) / shots)


CIRCUITS = 24
SHOTS = 20000
# Two backends per circuit; the whole test fails falsely with probability
# below 1e-6.
PER_CHECK = 1e-6 / (2 * CIRCUITS)


def test_native_and_aer_sample_the_same_distribution_over_the_whole_gate_set():
    rng = random.Random(20261208)
    for index in range(CIRCUITS):
        n = rng.randint(1, 5)
        qc = random_circuit(rng, n, rng.randint(4, 16))
        amplitudes = morvane.statevector(qc)
        exact = {format(k, f"0{n}b"): abs(a) ** 2 for k, a in enumerate(amplitudes)}
        measured = qc.measure_all()
        bound = l1_bound(2**n, SHOTS, PER_CHECK)
        for backend in ("morvane", "aer"):
            counts = morvane.run_quantum_circuit(measured, SHOTS, "local", backend=backend,
                                                 seed=index).counts[0]
            assert sum(counts.values()) == SHOTS
            assert all(len(key) == n for key in counts)
            distance = sum(abs(counts.get(key, 0) / SHOTS - p) for key, p in exact.items())
            assert distance < bound, (backend, index, measured.to_qasm2())


def test_aer_replays_its_seed_and_reports_a_drawn_one():
    qc = random_circuit(random.Random(3), 4, 12).measure_all()
    first = morvane.run_quantum_circuit(qc, 500, "local", seed=42)
    assert morvane.run_quantum_circuit(qc, 500, "local", seed=42).counts == first.counts
    assert morvane.run_quantum_circuit(qc, 500, "local", seed=43).counts != first.counts
    drawn = morvane.run_quantum_circuit(qc, 500, "local")
    assert drawn.seed is not None
    assert morvane.run_quantum_circuit(qc, 500, "local", seed=drawn.seed).counts == drawn.counts


def test_unmeasured_circuits_read_every_qubit_alike_on_both_backends():
    # X on qubit 0 of three: the single outcome has qubit 0 rightmost.
    qc = morvane.Circuit(3).x(0)
    for backend in ("morvane", "aer"):
        assert morvane.run_quantum_circuit(qc, 9, "local", backend=backend,
                                           seed=1).counts == [{"001": 9}]
    text = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[2];\nx q[1];\n"
    assert morvane.run_quantum_circuit(text, 5, "local", seed=1).counts == [{"10": 5}]
    q = qiskit.QuantumCircuit(2)
    q.x(1)
    assert morvane.run_quantum_circuit(q, 5, "local", seed=1).counts == [{"10": 5}]


def test_legacy_gates_of_the_writer_load_in_aer():
    # rzz, rxx, cp and swap are not in the original qelib1.inc.
    qc = (morvane.Circuit(3).x(0).swap(0, 2).rzz(0, 1, 0.3).rxx(1, 2, math.pi).cp(0, 2, 0.2)
          .measure_all())
    counts = morvane.run_quantum_circuit(qc, 50, "local", seed=1).counts[0]
    native = morvane.run_quantum_circuit(qc, 50, "local", backend="morvane", seed=1).counts[0]
    assert counts == native == {"010": 50}


def test_a_noise_model_reaches_aer():
    noise_module = pytest.importorskip("qiskit_aer.noise")
    noise = noise_module.NoiseModel()
    noise.add_all_qubit_quantum_error(noise_module.depolarizing_error(0.5, 1), ["x"])
    qc = morvane.Circuit(1).x(0).measure_all()
    clean = morvane.run_quantum_circuit(qc, 400, "local", seed=3).counts[0]
    noisy = morvane.run_quantum_circuit(qc, 400, "local", seed=3, noise_model=noise).counts[0]
    assert clean == {"1": 400}
    assert 40 < noisy.get("0", 0) < 200


@pytest.mark.parametrize("backend", ["morvane", "aer"])
def test_distributed_shots_merge_into_one_dict(backend):
    result = morvane.run_quantum_circuit(bell(), 10, "local", backend=backend, n_qpus=3, seed=8)
    assert isinstance(result.counts, dict)
    assert sum(result.counts.values()) == 10
    assert set(result.counts) <= {"00", "11"}


def test_replicas_sample_independent_shots():
    # 20 qubits in uniform superposition: three independent shots collide with
    # probability below 3e-6. Replicas that replayed one random stream would
    # repeat a shot (2 + 1 shots split over two replicas).
    qc = morvane.Circuit(20)
    for q in range(20):
        qc.h(q)
    qc = qc.measure_all()
    for seed in range(3):
        counts = morvane.run_quantum_circuit(qc, 3, "local", n_qpus=2, seed=seed).counts
        assert sorted(counts.values()) == [1, 1, 1], counts
