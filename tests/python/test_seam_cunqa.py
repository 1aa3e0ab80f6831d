"""morvane_python QPU families, raised on a real SLURM cluster and as local processes.

Every test that takes ``launcher`` runs once per launcher. The SLURM runs need
a cluster (``bash scripts/slurm-cluster.sh start``) and ``MORVANE_TEST_SLURM=1``;
with that variable set they fail when SLURM is unusable instead of skipping.
"""

import json
import os
import socket
import stat
import struct
import subprocess
import sys
import textwrap
import threading
import time
import uuid

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("qiskit_aer")

import morvane  # noqa: E402
import morvane_python  # noqa: E402
from morvane_python import _family  # noqa: E402
from morvane_python.errors import FamilyError, QPUError  # noqa: E402
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402

SLURM_WANTED = os.environ.get("MORVANE_TEST_SLURM") == "1"
SKIP_SLURM = ("SLURM tests need a cluster: run `bash scripts/slurm-cluster.sh start` "
              "and set MORVANE_TEST_SLURM=1")
HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def unique(prefix):
    return f"{prefix}-{uuid.uuid4().hex[:12]}"


def _slurm_usable():
    try:
        out = subprocess.run(["sinfo", "-h", "-o", "%T"], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return f"sinfo failed: {exc}"
    states = out.stdout.split()
    # "completing" is a node still tidying up after the previous test's job.
    if out.returncode != 0 or not any(s in ("idle", "mixed", "allocated", "completing") for s in states):
        return f"no usable SLURM node (sinfo status {out.returncode}: {out.stdout}{out.stderr})"
    return None


@pytest.fixture(scope="module", autouse=True)
def registry(tmp_path_factory):
    root = tmp_path_factory.mktemp("registry") / "cunqa"
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("MORVANE_CUNQA_REGISTRY", str(root))
        for name in ("MORVANE_CUNQA_LAUNCHER", "MORVANE_CUNQA_WAIT", "MORVANE_CUNQA_PYTHON",
                     "MORVANE_CUNQA_SBATCH_ARGS"):
            patch.delenv(name, raising=False)
        yield root


def _select_launcher(name, patch):
    if name == "slurm":
        if not SLURM_WANTED:
            pytest.skip(SKIP_SLURM)
        problem = _slurm_usable()
        if problem:
            pytest.fail(f"MORVANE_TEST_SLURM=1 but SLURM is not usable: {problem}")
    patch.setenv("MORVANE_CUNQA_LAUNCHER", name)


@pytest.fixture(params=["local", "slurm"])
def launcher(request, monkeypatch):
    _select_launcher(request.param, monkeypatch)
    return request.param


@pytest.fixture(scope="module", params=["local", "slurm"])
def family4(request, registry):
    """A 4-QPU family per launcher, shared by the tests that only use it."""
    with pytest.MonkeyPatch.context() as patch:
        _select_launcher(request.param, patch)
        family = connect(4, unique(f"shared-{request.param}"))
    yield family
    morvane_python.disconnect_from_infrastructure("cunqa", family=family)
    assert_gone(family.name, registry)


def connect(n, name, cores=1):
    return morvane_python.connect_to_infrastructure(
        "cunqa", n=n, t="10:00:00", n_nodes=1, family_name=name, cores_per_qpu=cores
    )


def run_family(name, qcs, shots=200, seed=None, **kwargs):
    if seed is not None:
        kwargs["seed"] = seed
    return morvane_python.run_qcs(family_id=name, backend="AerSimulator", qcs=qcs, shots=shots,
                                  sim_method="automatic", **kwargs)


def run_local(qcs, shots=200, seed=None):
    kwargs = {} if seed is None else {"seed": seed}
    return morvane_python.run_qcs(id="local-ref", backend="AerSimulator", qcs=qcs, shots=shots,
                                  sim_method="automatic", max_parallel_experiments=2, **kwargs)


def pgrep(pattern):
    out = subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True)
    return [int(pid) for pid in out.stdout.split() if int(pid) != os.getpid()]


def slurm_jobs_named(name):
    if not SLURM_WANTED:
        return []
    out = subprocess.run(["squeue", "-h", "-n", name, "-o", "%i %T"], capture_output=True, text=True,
                         check=True)
    return out.stdout.split()


def assert_gone(name, registry_root):
    assert slurm_jobs_named(name) == []
    assert pgrep(name) == []
    assert not (registry_root / name).exists()


def qasm_circuit(k, n=3):
    lines = [HEADER, f"qreg q[{n}];", f"creg c[{n}];"]
    lines += [f"ry({0.5 + 0.31 * k + 0.17 * q}) q[{q}];" for q in range(n)]
    lines += [f"cx q[{q}],q[{q + 1}];" for q in range(n - 1)]
    lines += [f"rzz({0.2 * k}) q[0],q[{n - 1}];", "h q[1];", "measure q -> c;", ""]
    return "\n".join(lines)


def object_circuit(k, n=3):
    qc = QuantumCircuit(n, n)
    for q in range(n):
        qc.rx(0.4 + 0.23 * k + 0.19 * q, q)
    qc.cx(0, n - 1)
    qc.measure(range(n), range(n))
    return qc


def unmeasured():
    qc = QuantumCircuit(3)
    qc.x(1)
    qc.h(2)
    return qc


def two_registers():
    a, b = ClassicalRegister(1, "a"), ClassicalRegister(2, "b")
    qc = QuantumCircuit(QuantumRegister(3), a, b)
    qc.x(0)
    qc.h(1)
    qc.measure(0, a[0])
    qc.measure(1, b[0])
    qc.measure(2, b[1])
    return qc


EIGHT = [qasm_circuit(0), object_circuit(1), qasm_circuit(2), unmeasured(),
         object_circuit(4), two_registers(), qasm_circuit(6), object_circuit(7)]


def test_family_results_match_local_aer_whatever_the_family_size(family4, registry, monkeypatch):
    events = []
    lock = threading.Lock()
    real_run_one = _family._run_one

    def recording_run_one(family, qpu, position, *args):
        with lock:
            events.append(("start", position, qpu.index))
        try:
            return real_run_one(family, qpu, position, *args)
        finally:
            with lock:
                events.append(("end", position, qpu.index))

    monkeypatch.setattr(_family, "_run_one", recording_run_one)
    seed = 2**64 - 3  # the per-circuit seeds wrap around 2**64 inside this call
    on_four = run_family(family4.name, EIGHT, seed=seed)

    # Two waves of four: circuit j on QPU j mod 4, the second wave only after the first.
    assert sorted((p, q) for kind, p, q in events if kind == "start") == [(j, j % 4) for j in range(8)]
    last_end_of_wave1 = max(i for i, (kind, p, _) in enumerate(events) if kind == "end" and p < 4)
    first_start_of_wave2 = min(i for i, (kind, p, _) in enumerate(events) if kind == "start" and p >= 4)
    assert last_end_of_wave1 < first_start_of_wave2

    assert on_four == run_local(EIGHT, seed=seed)
    assert set(on_four[3]) <= {"010", "110"} and len(on_four[3]) == 2
    assert set(on_four[5]) <= {"001", "011"}
    assert all(sum(c.values()) == 200 for c in on_four)
    assert run_family(family4.name, EIGHT, seed=seed + 1) != on_four

    monkeypatch.setattr(_family, "_run_one", real_run_one)
    monkeypatch.setenv("MORVANE_CUNQA_LAUNCHER", family4.launcher)
    single = connect(1, unique(f"single-{family4.launcher}"))
    try:
        assert run_family(single.name, EIGHT, seed=seed) == on_four
        # A later call shifted by a replica offset sees the same circuit seeds.
        assert run_family(single.name, EIGHT[2:], seed=(seed + 2) % 2**64) == on_four[2:]
    finally:
        morvane_python.disconnect_from_infrastructure("cunqa", family=single)
    assert_gone(single.name, registry)
    assert single.state == "released"
    if single.launcher == "local":  # SIGTERM ends a server cleanly, with status 0
        assert [p.returncode for p in single._launcher.processes] == [0]
    morvane_python.disconnect_from_infrastructure("cunqa", family=single)  # a second release is a no-op
    with pytest.raises(FamilyError, match="no QPU family named"):
        run_family(single.name, EIGHT[:1], seed=1)


def test_unseeded_family_runs_draw_fresh_seeds(family4):
    runs = [run_family(family4.name, [qasm_circuit(5)], shots=1000)[0] for _ in range(3)]
    assert all(sum(c.values()) == 1000 for c in runs)
    assert len({tuple(sorted(c.items())) for c in runs}) > 1


def test_another_process_finds_the_family_in_the_registry(family4):
    code = textwrap.dedent(f"""
        import json, morvane_python
        counts = morvane_python.run_qcs(family_id={family4.name!r}, backend="AerSimulator",
                                        qcs={[qasm_circuit(1), qasm_circuit(2)]!r}, shots=300,
                                        sim_method="automatic", seed=41)
        print(json.dumps(counts))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == run_local([qasm_circuit(1), qasm_circuit(2)], shots=300, seed=41)


def test_registry_is_private_and_the_token_stays_off_command_lines(family4):
    directory = family4.registry
    assert stat.S_IMODE(os.stat(directory).st_mode) == 0o700
    names = sorted(os.listdir(directory))
    assert {"token", "family.json", *(f"qpu-{i}.json" for i in range(4))} <= set(names)
    for name in names:
        assert stat.S_IMODE(os.stat(directory / name).st_mode) == 0o600, name
    token = (directory / "token").read_text().strip()
    assert len(token) == 64
    pids = pgrep(family4.name)
    assert {q.pid for q in family4.qpus} <= set(pids)
    for pid in pids:
        with open(f"/proc/{pid}/cmdline", "rb") as handle:
            assert token.encode() not in handle.read()
        with open(f"/proc/{pid}/environ", "rb") as handle:
            assert token.encode() not in handle.read()
    assert family4.name in repr(family4) and str(family4.qpus[0]) in repr(family4)


# Requests a QPU server must survive: what it answers (None: it just closes).

def _frame(obj):
    body = json.dumps(obj).encode()
    return struct.pack(">I", len(body)) + body


def _raw(body):
    return struct.pack(">I", len(body)) + body


BAD_REQUESTS = {
    "garbage": (lambda token: b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "exceeds the limit"),
    "oversized": (lambda token: struct.pack(">I", 2**31) + b"{}", "exceeds the limit"),
    "truncated": (lambda token: struct.pack(">I", 100) + b'{"op": "pi', None),
    "not-utf8-json": (lambda token: _raw(b"\xff\xfe\x00"), "malformed request"),
    "json-array": (lambda token: _raw(b"[1, 2]"), "malformed request"),
    "deep-json": (lambda token: _raw(b"[" * 100000), "malformed request"),
    "no-token": (lambda token: _frame({"op": "ping"}), "wrong family token"),
    "wrong-token": (lambda token: _frame({"op": "ping", "token": "0" * 64}), "wrong family token"),
    "token-not-text": (lambda token: _frame({"op": "ping", "token": 5}), "wrong family token"),
    "unknown-op": (lambda token: _frame({"op": "shutdown", "token": token}), "unknown op"),
    "bad-shots": (lambda token: _frame({"op": "run", "token": token, "shots": -1,
                                        "sim_method": "automatic", "seed": None,
                                        "circuit": {"qasm": qasm_circuit(0)}}), "shots must be"),
    "bad-circuit": (lambda token: _frame({"op": "run", "token": token, "shots": 5,
                                          "sim_method": "automatic", "seed": 1,
                                          "circuit": {"qasm": "OPENQASM 2.0; qreg"}}), "QASM2ParseError"),
    "bad-qpy": (lambda token: _frame({"op": "run", "token": token, "shots": 5,
                                      "sim_method": "automatic", "seed": 1,
                                      "circuit": {"qpy": "not base64!"}}), "Error"),
}


def _exchange(address, data, half_close=True):
    with socket.create_connection(address, timeout=10) as sock:
        try:
            sock.sendall(data)
            if half_close:
                sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        chunks = []
        try:
            while chunk := sock.recv(65536):
                chunks.append(chunk)
        except ConnectionResetError:
            pass
    reply = b"".join(chunks)
    return json.loads(reply[4:]) if reply else None


@pytest.mark.parametrize("case", sorted(BAD_REQUESTS))
def test_server_answers_bad_requests_and_keeps_serving(family4, case):
    make, expected = BAD_REQUESTS[case]
    token = (family4.registry / "token").read_text().strip()
    qpu = family4.qpus[0]
    reply = _exchange((qpu.host, qpu.port), make(token))
    if expected is None:
        assert reply is None
    else:
        assert reply["ok"] is False and expected in reply["error"], reply
    assert _exchange((qpu.host, qpu.port), _frame({"op": "ping", "token": token}))["index"] == 0
    assert run_family(family4.name, [qasm_circuit(3)], seed=8) == run_local([qasm_circuit(3)], seed=8)


def test_a_stalled_client_does_not_block_the_server(family4):
    token = (family4.registry / "token").read_text().strip()
    qpu = family4.qpus[1]
    with socket.create_connection((qpu.host, qpu.port)) as stalled:
        stalled.sendall(struct.pack(">I", 50) + b"{")
        assert _exchange((qpu.host, qpu.port), _frame({"op": "ping", "token": token}))["index"] == 1
        assert run_family(family4.name, [qasm_circuit(4)] * 2, seed=2)[1] == run_local([qasm_circuit(4)], seed=3)[0]


def test_an_error_reply_raises_naming_the_qpu_and_the_reason(family4):
    qcs = [qasm_circuit(k) for k in range(5)] + ["OPENQASM 2.0;\nqreg q[1];\nfoo q[0];\n"]
    with pytest.raises(QPUError) as caught:
        run_family(family4.name, qcs, seed=1)
    error = caught.value
    assert error.qpu == 1 and error.family == family4.name
    assert "QPU 1" in str(error) and "circuit 5" in str(error) and "foo" in error.reason
    assert run_family(family4.name, qcs[:5], seed=1) == run_local(qcs[:5], seed=1)


def test_non_circuit_entries_are_refused_before_anything_runs(family4):
    with pytest.raises(TypeError, match=r"qcs\[1\]"):
        run_family(family4.name, [qasm_circuit(0), 17], seed=1)


def slow_circuit(n=16, layers=6):
    # The mid-circuit measurement turns off Aer's sampling shortcut: every shot
    # is simulated, so a hundred shots keep a QPU busy for a few seconds.
    qc = QuantumCircuit(n, n)
    for layer in range(layers):
        for q in range(n):
            qc.ry(0.3 + 0.1 * q + layer, q)
        for q in range(n - 1):
            qc.cx(q, q + 1)
        qc.measure(0, 0)
    qc.measure(range(n), range(n))
    return qc


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as handle:
        fields = handle.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_a_server_killed_mid_run_fails_the_run_and_release_still_cleans_up(launcher, registry):
    family = connect(2, unique(f"kill-{launcher}"))
    try:
        victim = family.qpus[1]
        outcome = {}

        def call():
            try:
                outcome["counts"] = run_family(family.name, [object_circuit(0), slow_circuit()],
                                               shots=100, seed=5)
            except QPUError as exc:
                outcome["error"] = exc

        worker = threading.Thread(target=call)
        busy_from = cpu_seconds(victim.pid)
        worker.start()
        # Kill it once it is visibly simulating, however loaded the machine is.
        deadline = time.monotonic() + 60
        while cpu_seconds(victim.pid) - busy_from < 0.3 and time.monotonic() < deadline:
            time.sleep(0.05)
        os.kill(victim.pid, 9)
        worker.join(120)
        assert not worker.is_alive()
        error = outcome.get("error")
        assert error is not None, outcome
        assert error.qpu == 1 and f"pid {victim.pid}" in str(error)
        assert "closed before the reply" in error.reason
    finally:
        morvane_python.disconnect_from_infrastructure("cunqa", family=family)
    assert_gone(family.name, registry)


def _script(tmp_path, body):
    path = tmp_path / "fake-python"
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return str(path)


def test_servers_that_never_come_up_time_out_and_leave_nothing(launcher, registry, tmp_path, monkeypatch):
    marker = unique("sleeper")
    monkeypatch.setenv("MORVANE_CUNQA_PYTHON", _script(
        tmp_path, f"'{sys.executable}' -c 'import time; time.sleep(600)' {marker}"))
    monkeypatch.setenv("MORVANE_CUNQA_WAIT", "3")
    name = unique(f"never-{launcher}")
    start = time.monotonic()
    with pytest.raises(FamilyError, match=r"did not come up within 3s: 0 of 2 QPU\(s\) answered"):
        connect(2, name)
    assert time.monotonic() - start < 60
    assert_gone(name, registry)
    assert pgrep(marker) == []


def test_a_family_that_dies_at_start_fails_at_once(launcher, registry, tmp_path, monkeypatch):
    marker = unique("boom")
    monkeypatch.setenv("MORVANE_CUNQA_PYTHON", _script(tmp_path, f"echo {marker} >&2\nexit 7"))
    monkeypatch.setenv("MORVANE_CUNQA_WAIT", "120")
    name = unique(f"dies-{launcher}")
    start = time.monotonic()
    with pytest.raises(FamilyError) as caught:
        connect(2, name)
    assert time.monotonic() - start < 60  # far below the 120 s wait
    message = str(caught.value)
    assert marker in message
    assert ("exited with status 7" if launcher == "local" else "ended before all QPUs answered") in message
    assert_gone(name, registry)


@pytest.mark.parametrize("t, env, message", [
    ("not-a-time", {}, "Invalid --time"),
    ("10:00:00", {"MORVANE_CUNQA_PARTITION": "no-such-partition"}, "partition"),
    ("10:00:00", {"MORVANE_CUNQA_SBATCH_ARGS": "--comment 'two words' --no-such-option"}, "no-such-option"),
])
def test_sbatch_refusal_leaves_nothing(t, env, message, registry, monkeypatch):
    _select_launcher("slurm", monkeypatch)
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    name = unique("refused")
    with pytest.raises(FamilyError, match=f"sbatch refused(?s:.*){message}"):
        morvane_python.connect_to_infrastructure("cunqa", n=1, t=t, n_nodes=1,
                                                 family_name=name, cores_per_qpu=1)
    assert_gone(name, registry)


@pytest.mark.parametrize("ending", ["exit", "crash"])
def test_local_servers_do_not_outlive_the_process_that_raised_them(ending, registry):
    name = unique(f"orphan-{ending}")
    code = textwrap.dedent(f"""
        import os, morvane_python
        os.environ["MORVANE_CUNQA_LAUNCHER"] = "local"
        family = morvane_python.connect_to_infrastructure(
            "cunqa", n=2, t="10:00:00", n_nodes=1, family_name={name!r}, cores_per_qpu=1)
        print(" ".join(str(q.pid) for q in family.qpus), flush=True)
        if {ending!r} == "crash":
            os._exit(0)  # no interpreter shutdown: nothing gets released
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    pids = [int(p) for p in out.stdout.split()]
    assert len(pids) == 2
    deadline = time.monotonic() + 30
    while pgrep(name) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert pgrep(name) == []
    if ending == "exit":
        assert not (registry / name).exists()


def test_a_taken_family_name_is_refused_without_harm(family4):
    with pytest.raises(FamilyError, match="already"):
        connect(1, family4.name)
    assert run_family(family4.name, [qasm_circuit(2)], seed=4) == run_local([qasm_circuit(2)], seed=4)


@pytest.mark.parametrize("kwargs, error", [
    (dict(n=0), ValueError),
    (dict(n=True), TypeError),
    (dict(n_nodes=3, n=2), ValueError),
    (dict(cores_per_qpu=0), ValueError),
    (dict(t=36000), TypeError),
    (dict(t="10:00:00 --wrap=x"), ValueError),
    (dict(family_name="../escape"), ValueError),
    (dict(family_name=""), ValueError),
])
def test_invalid_connect_arguments_launch_nothing(kwargs, error, registry, monkeypatch):
    monkeypatch.setenv("MORVANE_CUNQA_LAUNCHER", "local")
    call = dict(n=1, t="10:00:00", n_nodes=1, family_name=unique("invalid"), cores_per_qpu=1)
    call.update(kwargs)
    with pytest.raises(error):
        morvane_python.connect_to_infrastructure("cunqa", **call)
    assert not registry.exists() or not any(p.name.startswith("invalid") for p in registry.iterdir())


@pytest.mark.parametrize("variable, value, error", [
    ("MORVANE_CUNQA_LAUNCHER", "kubernetes", ValueError),
    ("MORVANE_CUNQA_WAIT", "soon", ValueError),
    ("MORVANE_CUNQA_WAIT", "-1", ValueError),
])
def test_invalid_environment_settings_launch_nothing(variable, value, error, registry, monkeypatch):
    monkeypatch.setenv(variable, value)
    name = unique("badenv")
    with pytest.raises(error, match=variable):
        connect(1, name)
    assert not (registry / name).exists()


def test_a_registry_open_to_other_users_is_refused(tmp_path, monkeypatch):
    open_root = tmp_path / "open"
    open_root.mkdir()
    open_root.chmod(0o777)
    monkeypatch.setenv("MORVANE_CUNQA_REGISTRY", str(open_root))
    monkeypatch.setenv("MORVANE_CUNQA_LAUNCHER", "local")
    with pytest.raises(FamilyError, match="writable by other users"):
        connect(1, unique("exposed"))
    assert list(open_root.iterdir()) == []


def test_an_unwritable_registry_is_a_family_error_that_names_it(tmp_path, monkeypatch):
    # A path through a regular file cannot be created, by root either.
    blocker = tmp_path / "plain-file"
    blocker.write_text("")
    root = blocker / "cunqa"
    monkeypatch.setenv("MORVANE_CUNQA_REGISTRY", str(root))
    monkeypatch.setenv("MORVANE_CUNQA_LAUNCHER", "local")
    name = unique("unwritable")
    with pytest.raises(FamilyError) as caught:
        connect(1, name)
    assert str(caught.value) == (
        f"cannot use registry directory {root} for QPU families: Not a directory; "
        f"set MORVANE_CUNQA_REGISTRY to a directory this user can create and write")
    assert isinstance(caught.value, morvane.CunqaError)
    assert isinstance(caught.value.__cause__, NotADirectoryError)
    assert pgrep(name) == []
    # Nothing of the failed raise is kept: the same name can be raised once the registry works.
    monkeypatch.setenv("MORVANE_CUNQA_REGISTRY", str(tmp_path / "working"))
    family = connect(1, name)
    morvane_python.disconnect_from_infrastructure("cunqa", family=family)


def test_a_registry_file_that_cannot_be_written_is_a_family_error_that_names_it(tmp_path):
    from morvane_python import _registry

    target = tmp_path / "gone" / "token"
    with pytest.raises(FamilyError) as caught:
        _registry.write_private(target, "secret\n")
    assert str(caught.value) == f"cannot write registry file {target}: No such file or directory"
    assert isinstance(caught.value, morvane.CunqaError)


def test_a_qpu_server_that_cannot_register_says_so_and_exits(tmp_path):
    directory = tmp_path / "family"
    directory.mkdir(mode=0o700)
    directory.chmod(0o700)
    code = textwrap.dedent(f"""
        import sys
        from morvane_python import _registry, qpu

        _registry.write_private({str(directory / "token")!r}, "secret\\n")

        def refuse(path, value):
            raise _registry.FamilyError(f"cannot write registry file {{path}}: Read-only file system")

        _registry.write_json = refuse
        sys.exit(qpu.main(["--family-dir", {str(directory)!r}, "--index", "0",
                           "--bind", "127.0.0.1"]))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 2, out.stderr
    assert f"cannot register: cannot write registry file {directory}/qpu-0.json" in out.stderr
