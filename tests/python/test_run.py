"""run_quantum_circuit() and RunResult: validation order, backend choice, counts, seeds, logs."""

import inspect
import math
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import morvane

UUID4 = r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"

BELL_QASM = """OPENQASM 2.0;
include "qelib1.inc";
qreg q[2];
creg c[2];
h q[0];
cx q[0],q[1];
measure q -> c;
"""


def bell():
    return morvane.Circuit(2).h(0).cx(0, 1).measure_all()


def parameterised():
    return morvane.Circuit(1).rx(0, morvane.Param(0)).measure_all()


class FakeQiskitCircuit:
    """Stands in for a Qiskit object: neither a Circuit nor a str, but shaped like a circuit."""

    num_qubits = 2
    data: list[object] = []


def native(qc, shots=100, **kwargs):
    return morvane.run_quantum_circuit(qc, shots, "local", backend="morvane", **kwargs)


# Validation: each case names the first check that must fail. Later checks that
# would also fail are set up on purpose, to pin the order.

SHOTS_FIRST = "shots must be >= 1, got 0"
U32_RANGE = "argument '{}': expected an integer in [0, 4294967295], got {}"
U64_RANGE = "argument '{}': expected an integer in [0, 18446744073709551615], got {}"
FOREIGN_ON_NATIVE = (
    "the native 'morvane' backend runs a morvane.Circuit, OpenQASM 2.0 text or a Qiskit "
    "QuantumCircuit, and this circuit is none of them; pass one of those, or use "
    "backend=\"aer\""
)
QMIO_QISKIT = (
    "the 'qmio' infrastructure runs entirely natively, without the interpreter lock, and "
    "cannot serialize a Qiskit QuantumCircuit; pass a morvane.Circuit or an OpenQASM 2.0 string"
)
QMIO_SEED = "seed is not supported for the 'qmio' infrastructure (real quantum hardware)"
QMIO_FEATURE = "the 'qmio' infrastructure requires compiling morvane with --features qmio"
NOISELESS = (
    "the native 'morvane' backend is a noiseless statevector simulator and does not accept a "
    "noise_model; use backend=\"aer\""
)


def fusion_message(backend, infrastructure):
    return (
        f'fusion=True applies only to the native backend="morvane"; backend "{backend}" on '
        f'infrastructure "{infrastructure}" cannot fuse gates. Omit fusion, or pass '
        f"fusion=False for a gate-by-gate run."
    )


def unknown_infrastructure(name):
    return f"unknown infrastructure '{name}'; expected \"local\", \"cunqa\" or \"qmio\""


VALIDATION_CASES = [
    # (qc factory, shots, infrastructure, kwargs, message)
    (bell, 0, "local", {"n_qpus": 0}, SHOTS_FIRST),
    (bell, 0, "Local", {}, SHOTS_FIRST),
    (parameterised, 0, "local", {}, SHOTS_FIRST),
    (bell, 5, "local", {"n_qpus": 0, "backend": "morvane"}, "n_qpus must be >= 1, got 0"),
    (bell, 5, "cunqa", {"n_qpus": 0, "nodes": 0}, "n_qpus must be >= 1, got 0"),
    (bell, 5, "cunqa", {"nodes": 0, "cores_per_qpu": 0},
     "nodes must be >= 1 for the 'cunqa' infrastructure, got 0"),
    (bell, 5, "cunqa", {"cores_per_qpu": 0},
     "cores_per_qpu must be >= 1 for the 'cunqa' infrastructure, got 0"),
    (parameterised, 5, "cunqa", {"cores_per_qpu": 0},
     "cores_per_qpu must be >= 1 for the 'cunqa' infrastructure, got 0"),
    (FakeQiskitCircuit, 5, "nowhere", {"backend": "morvane", "noise_model": object()},
     FOREIGN_ON_NATIVE),
    (FakeQiskitCircuit, 5, "qmio", {"backend": "statevector", "seed": 3}, FOREIGN_ON_NATIVE),
    (FakeQiskitCircuit, 5, "local", {"backend": "morvane_statevector"}, FOREIGN_ON_NATIVE),
    (FakeQiskitCircuit, 5, "qmio", {"seed": 3}, QMIO_QISKIT),
    (bell, 5, "qmio", {"seed": 3}, QMIO_SEED),
    (bell, 5, "qmio", {"seed": 0, "backend": "bogus"}, QMIO_SEED),
    (lambda: BELL_QASM, 5, "qmio", {}, QMIO_FEATURE),
    (bell, 5, "qmio", {"backend": "morvane"}, QMIO_FEATURE),
    (bell, 5, "Local", {"backend": "morvane"}, unknown_infrastructure("Local")),
    (bell, 5, "", {}, unknown_infrastructure("")),
    (bell, 5, "lócal", {}, unknown_infrastructure("lócal")),
    (bell, 5, "local", {"backend": "morvane", "noise_model": object(), "fusion": True},
     NOISELESS),
    (bell, 5, "local", {"fusion": True}, fusion_message("aer", "local")),
    (bell, 5, "local", {"backend": "Morvane", "fusion": True},
     fusion_message("Morvane", "local")),
    (bell, 5, "cunqa", {"backend": "morvane", "fusion": True},
     fusion_message("morvane", "cunqa")),
    (bell, 5, "local", {"backend": "qiskit"},
     "unknown local backend 'qiskit'; expected \"aer\" or \"morvane\""),
    (bell, 5, "local", {"backend": "mörvane", "noise_model": object()},
     "unknown local backend 'mörvane'; expected \"aer\" or \"morvane\""),
]


@pytest.mark.parametrize("make_qc, shots, infrastructure, kwargs, message", VALIDATION_CASES)
def test_validation_order_and_messages(make_qc, shots, infrastructure, kwargs, message):
    with pytest.raises(ValueError) as info:
        morvane.run_quantum_circuit(make_qc(), shots, infrastructure, **kwargs)
    assert type(info.value) is ValueError
    assert str(info.value) == message


@pytest.mark.parametrize("infrastructure", ["local", "cunqa", "qmio"])
def test_unbound_parameters_are_refused_before_the_infrastructure_checks(infrastructure):
    with pytest.raises(ValueError) as info:
        morvane.run_quantum_circuit(parameterised(), 5, infrastructure, backend="morvane", seed=1)
    text = str(info.value)
    assert text.startswith("circuit has unbound parameters and cannot be executed directly: ")
    assert text.endswith(". Bind values first via to_qasm2(params) or use morvane.train")
    # The circuit model's own explanation sits between the fixed parts.
    assert len(text) > len(
        "circuit has unbound parameters and cannot be executed directly: "
        ". Bind values first via to_qasm2(params) or use morvane.train"
    )


def test_a_real_qiskit_circuit_runs_on_the_native_backend():
    qiskit = pytest.importorskip("qiskit")
    qc = qiskit.QuantumCircuit(2)
    qc.h(0)
    qc.cx(0, 1)
    qc.measure_all()
    counts = native(qc, 200, seed=5).counts[0]
    assert set(counts) == {"00", "11"} and sum(counts.values()) == 200


def test_cluster_sizes_of_zero_are_accepted_off_cunqa():
    result = native(bell(), 10, nodes=0, cores_per_qpu=0)
    assert sum(result.counts[0].values()) == 10


@pytest.mark.parametrize(
    "args, kwargs, exception, needle",
    [
        ((bell(), 2**32, "local"), {}, ValueError, U32_RANGE.format("shots", 2**32)),
        ((bell(), -1, "local"), {}, ValueError, U32_RANGE.format("shots", -1)),
        ((bell(), 5, "local"), {"n_qpus": 2**32}, ValueError, U32_RANGE.format("n_qpus", 2**32)),
        ((bell(), 5, "local"), {"nodes": -3}, ValueError, U32_RANGE.format("nodes", -3)),
        ((bell(), 5, "local"), {"cores_per_qpu": 2**40}, ValueError,
         U32_RANGE.format("cores_per_qpu", 2**40)),
        ((bell(), 5, "local"), {"seed": 2**64}, ValueError, U64_RANGE.format("seed", 2**64)),
        ((bell(), 5, "local"), {"seed": -1}, ValueError, U64_RANGE.format("seed", -1)),
        ((bell(), 10**5000, "local"), {}, ValueError,
         U32_RANGE.format("shots", "an integer too long to print")),
        ((bell(), 5, "local"), {"params": [0.5, "x"]}, TypeError, "argument 'params'"),
        ((bell(), "5", "local"), {}, TypeError, "argument 'shots'"),
        ((bell(), 5.0, "local"), {}, TypeError, "argument 'shots'"),
        ((bell(), math.nan, "local"), {}, TypeError, "argument 'shots'"),
        ((bell(), None, "local"), {}, TypeError, "argument 'shots'"),
        ((bell(), 5, None), {}, TypeError, "argument 'infrastructure'"),
        ((bell(), 5, b"local"), {}, TypeError, "argument 'infrastructure'"),
        ((bell(), 5, "local"), {"backend": None}, TypeError, "argument 'backend'"),
        ((bell(), 5, "local"), {"sim_method": 1}, TypeError, "argument 'sim_method'"),
        ((bell(), 5, "local"), {"seed": 1.5}, TypeError, "argument 'seed'"),
        ((bell(), 5, "local"), {"seed": "7"}, TypeError, "argument 'seed'"),
        ((bell(), 5, "local"), {"fusion": 1}, TypeError, "argument 'fusion'"),
        ((bell(), 5, "local"), {"fusion": "yes"}, TypeError, "argument 'fusion'"),
        ((bell(), 5), {}, TypeError, "infrastructure"),
        ((bell(), 5, "local"), {"shot": 5}, TypeError, "shot"),
        ((bell(), 5, "local", 1, 1, 2, "automatic", None, "aer", None, None, 0), {}, TypeError,
         "positional"),
    ],
)
def test_argument_conversion_errors(args, kwargs, exception, needle):
    with pytest.raises(exception) as info:
        morvane.run_quantum_circuit(*args, **kwargs)
    assert type(info.value) is exception
    if needle is not None:
        assert needle in str(info.value)


NOT_A_CIRCUIT = (
    "argument 'qc': expected a morvane.Circuit, OpenQASM 2.0 text or a Qiskit QuantumCircuit, "
    "got '{}'"
)


class OnlyQubits:
    num_qubits = 2


@pytest.mark.parametrize("backend", ["morvane", "aer"])
@pytest.mark.parametrize("qc, message", [
    (None, NOT_A_CIRCUIT.format("NoneType")),
    (OnlyQubits(), NOT_A_CIRCUIT.format("OnlyQubits")),
    ([bell(), bell()], NOT_A_CIRCUIT.format("list") + "; run_quantum_circuit runs one circuit "
                                                      "per call"),
])
def test_what_is_no_circuit_is_a_type_error_naming_it(qc, message, backend):
    # Even with shots=0, which would be the first refusal of a real circuit.
    with pytest.raises(TypeError) as info:
        morvane.run_quantum_circuit(qc, 0, "local", backend=backend)
    assert type(info.value) is TypeError
    assert str(info.value) == message


# Binding parameters -----------------------------------------------------------


def wrong_count(declared, given):
    return (f"wrong number of parameter values: circuit declares {declared} free parameter(s) "
            f"but {given} value(s) were provided")


def three_parameters():
    """Parameters used out of order and more than once."""
    return (morvane.Circuit(3).ry(0, morvane.Param(1)).rx(1, morvane.Param(0)).cx(0, 2)
            .rzz(1, 2, morvane.Param(1)).u(2, morvane.Param(2), 0.3, morvane.Param(0))
            .measure_all())


@pytest.mark.parametrize("backend", ["morvane", "aer"])
def test_params_sample_like_the_circuit_bound_by_hand(backend):
    if backend == "aer":
        pytest.importorskip("qiskit_aer")
    a, b, c = 0.4, 1.9, 2.6
    by_hand = (morvane.Circuit(3).ry(0, b).rx(1, a).cx(0, 2).rzz(1, 2, b).u(2, c, 0.3, a)
               .measure_all())
    runs = [morvane.run_quantum_circuit(qc, 400, "local", backend=backend, seed=21,
                                        **extra).counts
            for qc, extra in ((three_parameters(), {"params": [a, b, c]}), (by_hand, {}))]
    assert runs[0] == runs[1] and len(runs[0][0]) > 2


@pytest.mark.parametrize("make_qc, params, declared", [
    (three_parameters, [0.1, 0.2], 3), (three_parameters, [], 3), (lambda: BELL_QASM, [0.5], 0)])
@pytest.mark.parametrize("infrastructure, backend", [("local", "morvane"), ("local", "aer"),
                                                     ("cunqa", "aer")])
def test_a_wrong_number_of_params_is_refused(make_qc, params, declared, infrastructure, backend):
    with pytest.raises(ValueError) as info:
        morvane.run_quantum_circuit(make_qc(), 5, infrastructure, backend=backend, params=params)
    assert str(info.value) == wrong_count(declared, len(params))


def test_a_qiskit_circuit_binds_in_the_order_of_its_parameters():
    qiskit = pytest.importorskip("qiskit")
    pytest.importorskip("qiskit_aer")
    b, a, c = (qiskit.circuit.Parameter(name) for name in "bac")  # qc.parameters: a, b, c
    qc = qiskit.QuantumCircuit(3)
    qc.rx(b, 0)
    qc.ry(a, 1)
    qc.crx(c, 1, 2)
    qc.measure_all()
    runs = [morvane.run_quantum_circuit(circuit, 300, "local", seed=4, **extra).counts
            for circuit, extra in ((qc, {"params": [0.8, 2.1, 1.3]}),
                                   (qc.assign_parameters({a: 0.8, b: 2.1, c: 1.3}), {}))]
    assert runs[0] == runs[1] and len(runs[0][0]) > 2
    assert len(qc.parameters) == 3  # the caller's circuit is left unbound
    with pytest.raises(ValueError) as info:
        morvane.run_quantum_circuit(qc, 5, "local", params=[0.1])
    assert str(info.value) == wrong_count(3, 1)
    # The native backend binds the converted circuit in the same order and refuses alike.
    with pytest.raises(ValueError) as info:
        native(qc, 5, params=[0.1])
    assert str(info.value) == wrong_count(3, 1)


# Counts and results ---------------------------------------------------------


@pytest.mark.parametrize("qc", [bell(), BELL_QASM], ids=["circuit", "qasm"])
def test_single_qpu_counts_are_a_list_of_one_dict(qc):
    result = native(qc, 200, seed=11)
    assert isinstance(result.counts, list) and len(result.counts) == 1
    counts = result.counts[0]
    assert set(counts) <= {"00", "11"}
    assert sum(counts.values()) == 200
    assert all(type(v) is int for v in counts.values())


@pytest.mark.parametrize("n_qpus, shots", [(3, 10), (2, 1), (4, 3), (7, 1000)])
def test_distributed_counts_are_one_merged_dict(n_qpus, shots):
    result = native(bell(), shots, n_qpus=n_qpus, seed=5)
    assert isinstance(result.counts, dict)
    assert sum(result.counts.values()) == shots
    assert set(result.counts) <= {"00", "11"}
    assert result.id.startswith(f"run_{n_qpus}_local_")


@pytest.mark.parametrize(
    "build, key",
    [
        (lambda: morvane.Circuit(3).x(0).measure_all(), "001"),
        (lambda: morvane.Circuit(3).x(2).measure_all(), "100"),
        (lambda: morvane.Circuit(3).x(1).measure(1, 0), "1"),
        (lambda: morvane.Circuit(2).x(0).measure(0, 3), "1000"),
        (lambda: morvane.Circuit(2).x(1), "10"),
    ],
)
def test_bitstring_keys_put_classical_bit_zero_rightmost(build, key):
    assert native(build(), 17).counts == [{key: 17}]
    assert native(build(), 17, n_qpus=2).counts == {key: 17}


@pytest.mark.parametrize("n_qpus", [1, 3])
@pytest.mark.parametrize("fusion", [None, False, True])
def test_an_explicit_seed_replays_byte_for_byte(n_qpus, fusion):
    qc = morvane.Circuit(4).h(0).h(1).ry(2, 0.7).cx(0, 3).measure_all()
    first = native(qc, 500, seed=1234, n_qpus=n_qpus, fusion=fusion)
    second = native(qc, 500, seed=1234, n_qpus=n_qpus, fusion=fusion)
    assert first.seed == second.seed == 1234
    assert repr(first.counts) == repr(second.counts)
    assert first.id != second.id


def test_the_drawn_seed_is_reported_and_replays_the_run():
    qc = morvane.Circuit(5).h(0).h(1).h(2).h(3).h(4).measure_all()
    first = native(qc, 300)
    assert isinstance(first.seed, int) and 0 <= first.seed < 2**64
    again = native(qc, 300, seed=first.seed)
    assert repr(again.counts) == repr(first.counts)
    # Different seeds give different samples of a uniform distribution.
    assert native(qc, 300, seed=first.seed ^ 1).counts != first.counts


@pytest.mark.parametrize("backend", ["morvane", "statevector", "morvane_statevector"])
def test_result_fields_echo_the_arguments(backend):
    result = morvane.run_quantum_circuit(bell(), 8, "local", backend=backend, seed=7)
    assert result.backend == backend
    assert result.infrastructure == "local"
    assert result.seed == 7
    assert re.fullmatch(rf"run_1_local_{UUID4}", result.id)
    assert repr(result) == (
        f'RunResult(id="{result.id}", seed=Some(7), backend="{backend}", '
        f'infrastructure="local")'
    )


def test_result_is_immutable_and_hands_out_copies():
    result = native(bell(), 10, seed=1)
    result.counts[0]["00"] = 999
    result.counts.append({})
    assert len(result.counts) == 1 and result.counts[0].get("00") != 999
    for name in ("counts", "seed", "backend", "infrastructure", "id"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    with pytest.raises(AttributeError):
        result.extra = 1
    with pytest.raises(TypeError):
        morvane.RunResult()
    with pytest.raises(TypeError):
        type(result).counts = None


PROPERTY_DOCS = {
    "counts": "Measurement counts. Shape depends on `n_qpus` (see the type docs).",
    "seed": "Effective RNG seed used by the backend's shot sampling (user-supplied or "
    "OS-entropy).\nNow supported for `native`, `aer`, and `cunqa`. `None` for `qmio` hardware.",
    "backend": 'Device selected within the infrastructure (`"aer"`, `"morvane"`, …).',
    "infrastructure": 'Execution infrastructure label (`"local"`, `"cunqa"`, `"qmio"`).',
    "id": "Run identifier used for logging, temp files and SLURM job names.",
}


@pytest.mark.parametrize("name, doc", PROPERTY_DOCS.items())
def test_property_docstrings(name, doc):
    assert getattr(morvane.RunResult, name).__doc__ == doc


def test_class_documentation_explains_the_counts_shape_and_replay():
    doc = morvane.RunResult.__doc__
    for needle in ("n_qpus", "C-3", "seed", "qmio", "list", "merged"):
        assert needle in doc
    assert morvane.RunResult.__module__ == "morvane"


def test_text_signature():
    assert str(inspect.signature(morvane.run_quantum_circuit)) == (
        "(qc, shots, infrastructure, n_qpus=1, nodes=1, cores_per_qpu=2, "
        "sim_method='automatic', noise_model=None, backend='aer', seed=None, fusion=None, *, "
        "params=None, precision=None)"
    )


def test_a_circuit_under_use_can_run_concurrently_from_threads():
    qc = morvane.Circuit(12).h(0)
    for q in range(11):
        qc.cx(q, q + 1)
    qc.measure_all()
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(native(qc, 64, seed=3).counts)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert len(results) == 20
    assert all(r == results[0] for r in results)
    assert set(results[0][0]) <= {"0" * 12, "1" * 12}


@pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")
def test_ctrl_c_during_a_run_raises_keyboard_interrupt():
    qc = morvane.Circuit(21)
    for layer in range(8):
        for q in range(21):
            qc.rx(q, 0.1 * (q + layer))
        for q in range(20):
            qc.cx(q, q + 1)
    qc.measure_all()
    timer = threading.Timer(0.05, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            native(qc, 10, fusion=False)
    finally:
        timer.cancel()


# Logging (the logger is process-wide and installed once: use a subprocess) ----


def test_run_is_logged_when_it_starts_and_completes(tmp_path):
    log_file = tmp_path / "run.log"
    script = textwrap.dedent(
        f"""
        import morvane
        morvane.init_logger(level="info", file={str(log_file)!r})
        qc = morvane.Circuit(2).h(0).cx(0, 1).measure_all()
        r = morvane.run_quantum_circuit(qc, 5, "local", backend="statevector", seed=3)
        print(r.id)
        r = morvane.run_quantum_circuit(qc, 4, "local", backend="morvane", n_qpus=2)
        print(r.id, r.seed)
        try:
            morvane.run_quantum_circuit("garbage", 5, "local", backend="morvane", seed=1)
        except morvane.NativeCircuitError:
            pass
        try:
            morvane.run_quantum_circuit(qc, 0, "local", backend="morvane")
        except ValueError:
            pass
        """
    )
    env = dict(os.environ, MORVANE_LOG_DIR=str(tmp_path), XDG_CACHE_HOME=str(tmp_path))
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120
    )
    assert done.returncode == 0, done.stderr
    out_lines = done.stdout.splitlines()
    first_id = out_lines[0]
    second_id, second_seed = out_lines[1].split()
    lines = [
        line for line in log_file.read_text().splitlines() if "morvane::bindings" in line
        or " run run_" in line
    ]
    text = "\n".join(lines)
    assert (
        f"run {first_id} starting: infrastructure=local, backend=statevector, n_qpus=1, "
        f"shots=5, seed=Some(3)" in text
    )
    assert re.search(rf"run {first_id} completed: duration=\d+(\.\d+)?(s|ms|µs|ns)$", text, re.M)
    assert (
        f"run {second_id} starting: infrastructure=local, backend=morvane, n_qpus=2, "
        f"shots=4, seed=Some({second_seed})" in text
    )
    assert f"run {second_id} completed: duration=" in text
    # The failing run logged its start but no completion; the refused one nothing.
    starts = re.findall(r"run (run_\S+) starting", text)
    completions = re.findall(r"run (run_\S+) completed", text)
    assert len(starts) == 3
    assert completions == [first_id, second_id]
