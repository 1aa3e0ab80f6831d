"""QPU families: raising them (SLURM job or local processes), finding, using and releasing them.

A family is ``n`` QPU servers (``python -m morvane_python.qpu``) sharing a
secret token and a registry directory (``_registry``). Under SLURM the family
is one job of ``n`` tasks, each task one server; without SLURM the same
servers run as child processes of the caller, each in its own session. The
caller's process runs a native thread pool, so servers are always started by
``subprocess`` (fork + exec), never by forking the interpreter itself.

Environment knobs, read at each connect:

- ``MORVANE_CUNQA_LAUNCHER``  ``slurm``, ``local``, or unset/``auto`` (SLURM when
  ``sbatch`` is on PATH)
- ``MORVANE_CUNQA_WAIT``      seconds to wait for all QPUs to answer (default 180)
- ``MORVANE_CUNQA_PARTITION`` sbatch ``--partition``
- ``MORVANE_CUNQA_SBATCH_ARGS`` extra sbatch arguments, shell-quoted
- ``MORVANE_CUNQA_PYTHON``    interpreter the servers run (default: this one)
- ``MORVANE_CUNQA_REGISTRY``  registry root, on a file system the compute nodes share
"""

import atexit
import os
import shlex
import shutil
import signal
import site
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

from . import _registry, _seed, _wire
from .errors import FamilyError, QPUError

DEFAULT_WAIT_SECONDS = 180.0
# How long SLURM may take to end a cancelled job; real clusters wait KillWait
# (often 30 s) before SIGKILL, our servers leave on the first SIGTERM.
STOP_WAIT_SECONDS = 120.0
LOCAL_STOP_SECONDS = 10.0
PING_TIMEOUT = 2.0
POLL_SECONDS = 0.2
SLURM_COMMAND_TIMEOUT = 60.0

_families = {}
_families_lock = threading.Lock()


@dataclass(frozen=True)
class QPUAddress:
    index: int
    host: str
    port: int
    pid: int

    def __str__(self):
        return f"{self.host}:{self.port}"


def _env_wait():
    text = os.environ.get("MORVANE_CUNQA_WAIT")
    if text is None or text == "":
        return DEFAULT_WAIT_SECONDS
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise ValueError(f"MORVANE_CUNQA_WAIT must be a positive number of seconds, got {text!r}")
    return value


def _choose_launcher():
    choice = os.environ.get("MORVANE_CUNQA_LAUNCHER", "").strip().lower()
    if choice in ("", "auto"):
        return "slurm" if shutil.which("sbatch") else "local"
    if choice in ("slurm", "local"):
        return choice
    raise ValueError(f"MORVANE_CUNQA_LAUNCHER must be 'slurm', 'local' or 'auto', got {choice!r}")


def _server_env():
    env = dict(os.environ)
    env["PYTHONUNBUFFERED"] = "1"
    # Servers must run this very morvane_python. When it is imported from a
    # source tree rather than an installed site directory, hand that tree on;
    # an installed copy is found by the interpreter itself, and putting a
    # whole site-packages in front of another interpreter's would shadow it.
    package_parent = str(Path(__file__).resolve().parent.parent)
    site_dirs = set(site.getsitepackages()) | {site.getusersitepackages()}
    if package_parent not in {str(Path(d).resolve()) for d in site_dirs if d}:
        current = env.get("PYTHONPATH", "")
        parts = [p for p in current.split(os.pathsep) if p]
        if package_parent not in parts:
            env["PYTHONPATH"] = os.pathsep.join([package_parent, *parts])
    return env


def _server_python():
    return os.environ.get("MORVANE_CUNQA_PYTHON") or sys.executable


def _ping(address, token, expected_index=None, expected_pid=None):
    """True when a server of ours answers at ``address`` (as the expected QPU, if given)."""
    try:
        reply = _wire.request(
            (address.host, address.port), {"op": "ping", "token": token},
            connect_timeout=PING_TIMEOUT, reply_timeout=PING_TIMEOUT,
        )
    except (OSError, _wire.FrameError, _wire.RemoteError):
        return False
    if expected_index is not None and reply.get("index") != expected_index:
        return False
    if expected_pid is not None and reply.get("pid") != expected_pid:
        return False
    return True


# --------------------------------------------------------------------------
# Launchers

class _LocalLauncher:
    name = "local"

    def __init__(self, family):
        self.family = family
        self.processes = []

    @property
    def job_id(self):
        return None

    def start(self):
        family = self.family
        env = _server_env()
        python = _server_python()
        for index in range(family.n):
            log_path = family.directory / f"qpu-{index}.log"
            try:
                log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW, 0o600)
            except OSError as exc:
                raise FamilyError(
                    f"cannot create the log of QPU server {index} at {log_path}: {exc.strerror or exc}"
                ) from exc
            try:
                command = [
                    python, "-m", "morvane_python.qpu",
                    "--family-dir", str(family.directory), "--index", str(index),
                    "--cores", str(family.cores_per_qpu),
                    "--bind", "127.0.0.1", "--advertise", "127.0.0.1",
                    "--watch-parent", str(os.getpid()),
                ]
                self.processes.append(subprocess.Popen(
                    command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                    cwd=family.directory, env=env, start_new_session=True, close_fds=True,
                    umask=0o077,
                ))
            except OSError as exc:
                raise FamilyError(f"cannot start QPU server {index} with {python!r}: {exc}") from exc
            finally:
                os.close(log)

    def ended(self):
        """A description of the failure if a server process has exited, else None."""
        for index, process in enumerate(self.processes):
            code = process.poll()
            if code is not None:
                log = _registry.tail(self.family.directory / f"qpu-{index}.log")
                return (f"QPU server {index} (pid {process.pid}) exited with status {code}"
                        + (f"; its log ends with:\n{log}" if log else ""))
        return None

    def describe(self):
        return "local QPU server processes"

    def _exited(self, process):
        # Check without reaping: while the leader is an unreaped zombie its
        # process group id cannot be reused, so signalling the group stays safe.
        if process.returncode is not None:
            return True
        try:
            return os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT | os.WNOHANG) is not None
        except ChildProcessError:
            return True

    def _signal_group(self, process, signum):
        if process.returncode is not None:
            return
        try:
            os.killpg(process.pid, signum)
        except (ProcessLookupError, PermissionError):
            pass

    def stop(self):
        for process in self.processes:
            self._signal_group(process, signal.SIGTERM)
        deadline = time.monotonic() + LOCAL_STOP_SECONDS
        while time.monotonic() < deadline and not all(self._exited(p) for p in self.processes):
            time.sleep(0.05)
        stubborn = [p.pid for p in self.processes if not self._exited(p)]
        # SIGKILL the whole session: the leader may have left children behind
        # (a wrapper script, say) even when it exited itself.
        for process in self.processes:
            self._signal_group(process, signal.SIGKILL)
        failures = []
        for process in self.processes:
            try:
                process.wait(timeout=LOCAL_STOP_SECONDS)
            except subprocess.TimeoutExpired:
                failures.append(process.pid)
        if failures:
            raise FamilyError(f"QPU server process(es) {failures} did not exit after SIGKILL")
        if stubborn:
            # Not a failure: they are gone now. Worth knowing when debugging.
            print(f"morvane_python: QPU server(s) {stubborn} ignored SIGTERM and were killed",
                  file=sys.stderr)


def _run_slurm(command, **kwargs):
    try:
        return subprocess.run(
            command, capture_output=True, text=True, timeout=SLURM_COMMAND_TIMEOUT, **kwargs
        )
    except FileNotFoundError as exc:
        raise FamilyError(f"{command[0]} not found on PATH; is SLURM installed here?") from exc
    except subprocess.TimeoutExpired as exc:
        raise FamilyError(
            f"{command[0]} did not return within {SLURM_COMMAND_TIMEOUT:.0f}s; is slurmctld up?"
        ) from exc


def _slurm_job_state(job_id):
    """("live", "STATE|REASON"), ("gone", None) or ("unknown", error text) for a job."""
    result = _run_slurm(["squeue", "-h", "-j", job_id, "-o", "%T|%r"])
    if result.returncode == 0:
        text = result.stdout.strip()
        return ("live", text) if text else ("gone", None)
    if "Invalid job id" in result.stderr:
        return ("gone", None)
    return ("unknown", result.stderr.strip() or f"squeue exited with status {result.returncode}")


def _slurm_job_details(job_id):
    result = _run_slurm(["scontrol", "show", "job", "-o", job_id])
    fields = {}
    if result.returncode == 0:
        for item in result.stdout.split():
            key, _, value = item.partition("=")
            if key in ("JobState", "Reason", "ExitCode"):
                fields[key] = value
    return fields


class _SlurmLauncher:
    name = "slurm"

    def __init__(self, family, job_id=None):
        self.family = family
        self.job_id = job_id
        self._last_state = None

    def start(self):
        family = self.family
        python = _server_python()
        c = family.cores_per_qpu
        command = [
            "sbatch", "--parsable",
            f"--job-name={family.name}", f"--time={family.time_limit}",
            f"--nodes={family.n_nodes}", f"--ntasks={family.n}", f"--cpus-per-task={c}",
            f"--output={family.directory}/slurm-%j.out", f"--chdir={family.directory}",
        ]
        partition = os.environ.get("MORVANE_CUNQA_PARTITION")
        if partition:
            command.append(f"--partition={partition}")
        command += shlex.split(os.environ.get("MORVANE_CUNQA_SBATCH_ARGS", ""))
        # srun does not inherit --cpus-per-task from the batch allocation
        # (SLURM >= 22.05), so the step asks again.
        script = "\n".join([
            "#!/bin/sh",
            f"# QPU family {family.name}: one QPU server per task.",
            f"exec srun --ntasks={family.n} --cpus-per-task={c} "
            + shlex.join([python, "-m", "morvane_python.qpu",
                          "--family-dir", str(family.directory), "--cores", str(c)]),
            "",
        ])
        # The job's output file is created with the submitter's umask: keep it private.
        result = _run_slurm(command, input=script, env=_server_env(), umask=0o077)
        if result.returncode != 0:
            raise FamilyError(
                f"sbatch refused QPU family '{family.name}' (status {result.returncode}): "
                f"{result.stderr.strip() or result.stdout.strip()}"
            )
        job_id = result.stdout.strip().split(";")[0]
        if not job_id.isdigit():
            raise FamilyError(f"sbatch printed no job id for QPU family '{family.name}': {result.stdout!r}")
        self.job_id = job_id

    def ended(self):
        kind, state = _slurm_job_state(self.job_id)
        if kind == "live":
            self._last_state = state
            return None
        if kind == "unknown":
            return None
        details = _slurm_job_details(self.job_id)
        text = ", ".join(f"{k} {v}" for k, v in details.items()) or "no details left in SLURM"
        log = _registry.tail(self.family.directory / f"slurm-{self.job_id}.out")
        return (f"SLURM job {self.job_id} ended before all QPUs answered ({text})"
                + (f"; its output ends with:\n{log}" if log else ""))

    def describe(self):
        state = self._last_state or "state unknown"
        return f"SLURM job {self.job_id} ({state.replace('|', ', reason ')})"

    def stop(self):
        if self.job_id is None:
            return  # sbatch never accepted the job
        result = _run_slurm(["scancel", self.job_id])
        if result.returncode != 0:
            kind, _ = _slurm_job_state(self.job_id)
            if kind != "gone":
                raise FamilyError(f"scancel {self.job_id} failed: {result.stderr.strip()}")
        deadline = time.monotonic() + STOP_WAIT_SECONDS
        while True:
            kind, state = _slurm_job_state(self.job_id)
            if kind == "gone":
                return
            if time.monotonic() >= deadline:
                raise FamilyError(
                    f"SLURM job {self.job_id} still listed ({state}) {STOP_WAIT_SECONDS:.0f}s after scancel"
                )
            time.sleep(0.25)


# --------------------------------------------------------------------------
# The family handle

class Family:
    """A raised QPU family: what ``connect_to_infrastructure("cunqa", ...)`` returns."""

    def __init__(self, *, name, directory, token, launcher, n, n_nodes, cores_per_qpu,
                 time_limit, job_id=None, qpus=(), owned=True):
        self.name = name
        self.directory = Path(directory)
        self.n = n
        self.n_nodes = n_nodes
        self.cores_per_qpu = cores_per_qpu
        self.time_limit = time_limit
        self.qpus = tuple(qpus)
        self.state = "raising"
        self._token = token
        self._owned = owned
        self._lock = threading.Lock()
        if launcher == "slurm":
            self._launcher = _SlurmLauncher(self, job_id)
        else:
            self._launcher = _LocalLauncher(self)

    @property
    def launcher(self):
        return self._launcher.name

    @property
    def job_id(self):
        return self._launcher.job_id

    @property
    def registry(self):
        return self.directory

    def __repr__(self):
        job = f", job_id={self.job_id!r}" if self.job_id is not None else ""
        qpus = ", ".join(str(q) for q in self.qpus)
        return (f"<QPU family {self.name!r}: {self.n} QPU(s) x {self.cores_per_qpu} core(s), "
                f"launcher={self.launcher!r}{job}, state={self.state!r}, qpus=[{qpus}]>")

    def _record(self):
        _registry.write_json(self.directory / _registry.FAMILY_FILE, {
            "name": self.name, "launcher": self.launcher, "job_id": self.job_id,
            "n": self.n, "n_nodes": self.n_nodes, "cores_per_qpu": self.cores_per_qpu,
            "time_limit": self.time_limit, "client_pid": os.getpid(),
        })

    def _wait_until_up(self, wait_seconds):
        deadline = time.monotonic() + wait_seconds
        confirmed = {}
        while True:
            entries = _registry.read_qpu_entries(self.directory)
            for index in range(self.n):
                entry = entries.get(index)
                if index in confirmed or entry is None:
                    continue
                address = QPUAddress(index, entry["host"], entry["port"], entry["pid"])
                if _ping(address, self._token, index, address.pid):
                    confirmed[index] = address
            if len(confirmed) == self.n:
                self.qpus = tuple(confirmed[i] for i in range(self.n))
                return
            failure = self._launcher.ended()
            if failure is not None:
                raise FamilyError(f"raising QPU family '{self.name}' failed: {failure}")
            if time.monotonic() >= deadline:
                raise FamilyError(
                    f"QPU family '{self.name}' did not come up within {wait_seconds:g}s: "
                    f"{len(confirmed)} of {self.n} QPU(s) answered "
                    f"({len(entries)} registered); {self._launcher.describe()}"
                )
            time.sleep(POLL_SECONDS)

    def _servers_silent(self):
        deadline = time.monotonic() + LOCAL_STOP_SECONDS
        while True:
            alive = [q for q in self.qpus if _ping(q, self._token)]
            if not alive:
                return
            if time.monotonic() >= deadline:
                raise FamilyError(
                    "QPU server(s) still answering after the family was stopped: "
                    + ", ".join(f"QPU {q.index} at {q}" for q in alive)
                )
            time.sleep(0.1)

    def _release(self):
        """Stop the servers, check they are gone, drop the registry entry. FamilyError on failure."""
        problems = []
        try:
            self._launcher.stop()
        except FamilyError as exc:
            problems.append(str(exc))
        if not problems:
            try:
                self._servers_silent()
            except FamilyError as exc:
                problems.append(str(exc))
        if not problems:
            try:
                _registry.remove_family_dir(self.directory)
            except FileNotFoundError:
                pass
            except OSError as exc:
                problems.append(f"cannot remove registry entry {self.directory}: {exc}")
        if problems:
            raise FamilyError(f"releasing QPU family '{self.name}' failed: " + "; ".join(problems))


# --------------------------------------------------------------------------
# connect / find / disconnect

def _positive_int(name, value):
    if type(value) is not int:
        raise TypeError(f"{name} must be int, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be >= 1, got {value}")
    return value


def connect(*, n, t, n_nodes, family_name, cores_per_qpu):
    _positive_int("n", n)
    _positive_int("n_nodes", n_nodes)
    _positive_int("cores_per_qpu", cores_per_qpu)
    if n_nodes > n:
        raise ValueError(f"n_nodes must not exceed n (every node hosts a QPU), got n_nodes={n_nodes}, n={n}")
    if not isinstance(t, str):
        raise TypeError(f"t must be str (a SLURM time limit such as '10:00:00'), got {type(t).__name__}")
    if not t.strip() or any(ch.isspace() for ch in t):
        raise ValueError(f"t must be a SLURM time limit such as '10:00:00', got {t!r}")
    _registry.check_family_name(family_name)
    launcher = _choose_launcher()
    wait_seconds = _env_wait()
    if launcher == "slurm" and shutil.which("sbatch") is None:
        raise FamilyError("MORVANE_CUNQA_LAUNCHER=slurm but sbatch is not on PATH")

    with _families_lock:
        if family_name in _families:
            raise FamilyError(f"a QPU family named '{family_name}' is already raised by this process")
        directory = _registry.create_family_dir(family_name)
        token = _registry.new_token()
        family = Family(name=family_name, directory=directory, token=token, launcher=launcher,
                        n=n, n_nodes=n_nodes, cores_per_qpu=cores_per_qpu, time_limit=t)
        _families[family_name] = family

    try:
        _registry.write_private(directory / _registry.TOKEN_FILE, token + "\n")
        family._launcher.start()
        family._record()
        family._wait_until_up(wait_seconds)
    except BaseException as exc:
        # Nothing may be left behind by a failed raise: no job, no process, no entry.
        cleanup = ""
        try:
            family._release()
        except FamilyError as release_error:
            cleanup = f" (and cleaning up failed too: {release_error})"
        except BaseException:
            with _families_lock:
                _families.pop(family_name, None)
            raise
        family.state = "released"
        with _families_lock:
            _families.pop(family_name, None)
        if isinstance(exc, FamilyError) and cleanup:
            raise FamilyError(f"{exc}{cleanup}") from exc
        raise
    family.state = "raised"
    return family


def disconnect(family):
    if not isinstance(family, Family):
        raise TypeError(f"family must be a QPU family handle, got {type(family).__name__}")
    with family._lock:
        if family.state == "released":
            return None
        if not family._owned and family.launcher == "local":
            raise FamilyError(
                f"QPU family '{family.name}' runs as local processes of another process; "
                f"only that process can release it"
            )
        family._release()
        family.state = "released"
    with _families_lock:
        if _families.get(family.name) is family:
            del _families[family.name]
    return None


def find(name):
    """The family raised in this process under ``name``, else the one in the registry."""
    _registry.check_family_name(name)
    with _families_lock:
        family = _families.get(name)
    if family is not None:
        if family.state != "raised":
            raise FamilyError(f"QPU family '{name}' is {family.state}, not ready to run circuits")
        return family
    directory = _registry.family_dir(name)
    if not directory.exists():
        raise FamilyError(
            f"no QPU family named '{name}': it was not raised in this process and is not "
            f"registered in {_registry.registry_root()}"
        )
    try:
        _registry.check_family_dir(directory)
        record = _registry.read_json(directory / _registry.FAMILY_FILE)
        token = _registry.read_token(directory)
        entries = _registry.read_qpu_entries(directory)
        n = record["n"]
        qpus = [QPUAddress(i, entries[i]["host"], entries[i]["port"], entries[i]["pid"]) for i in range(n)]
    except (OSError, ValueError, KeyError, TypeError) as exc:
        raise FamilyError(f"registry entry of QPU family '{name}' in {directory} is unusable: {exc!r}") from exc
    family = Family(
        name=name, directory=directory, token=token, launcher=record["launcher"], n=n,
        n_nodes=record["n_nodes"], cores_per_qpu=record["cores_per_qpu"],
        time_limit=record["time_limit"], job_id=record.get("job_id"), qpus=qpus, owned=False,
    )
    family.state = "raised"
    return family


# --------------------------------------------------------------------------
# Running circuits on a family

def _payload(entry, position):
    if isinstance(entry, str):
        return {"qasm": entry}
    qiskit = sys.modules.get("qiskit")  # a QuantumCircuit implies qiskit is imported
    if qiskit is not None and isinstance(entry, qiskit.QuantumCircuit):
        from . import _aer

        return {"qpy": _aer.to_qpy_text(entry)}
    raise TypeError(
        f"qcs[{position}] must be OpenQASM 2.0 text (str) or a qiskit QuantumCircuit, "
        f"got {type(entry).__name__}"
    )


def _valid_counts(counts):
    return isinstance(counts, dict) and all(
        isinstance(k, str) and type(v) is int and v >= 0 for k, v in counts.items()
    )


def _run_one(family, qpu, position, payload, shots, sim_method, seed):
    message = {
        "op": "run", "token": family._token, "circuit": payload,
        "shots": shots, "sim_method": sim_method, "seed": seed,
    }
    try:
        reply = _wire.request((qpu.host, qpu.port), message)
        reason = None
    except _wire.RemoteError as exc:
        reason = f"the QPU answered with an error: {exc}"
    except _wire.ConnectionLost as exc:
        reason = f"the connection closed before the reply arrived (the QPU server died?): {exc}"
    except _wire.FrameError as exc:
        reason = f"unreadable reply: {exc}"
    except OSError as exc:
        reason = f"cannot reach the QPU server: {type(exc).__name__}: {exc}"
    if reason is None:
        counts = reply.get("counts")
        if _valid_counts(counts):
            return counts
        reason = f"malformed counts in the reply: {counts!r}"[:500]
    raise QPUError(
        f"QPU {qpu.index} of family '{family.name}' at {qpu} (pid {qpu.pid}) failed on "
        f"circuit {position}: {reason}",
        family=family.name, qpu=qpu.index, address=(qpu.host, qpu.port), reason=reason,
    )


def run_on_family(family, qcs, *, shots, sim_method, seed):
    """Counts of every circuit, in order, run wave by wave: circuit j on QPU j mod n."""
    payloads = [_payload(entry, position) for position, entry in enumerate(qcs)]
    if not payloads:
        return []
    qpus = family.qpus
    results = [None] * len(payloads)
    with ThreadPoolExecutor(max_workers=min(len(qpus), len(payloads)),
                            thread_name_prefix=f"qpu-{family.name}") as pool:
        for start in range(0, len(payloads), len(qpus)):
            wave = range(start, min(start + len(qpus), len(payloads)))
            futures = [
                pool.submit(_run_one, family, qpus[j - start], j, payloads[j], shots, sim_method,
                            None if seed is None else _seed.circuit_seed(seed, j))
                for j in wave
            ]
            # The whole wave finishes before anything is reported, so no QPU is
            # still busy with this call when the caller sees the outcome.
            errors = []
            for j, future in zip(wave, futures):
                try:
                    results[j] = future.result()
                except QPUError as exc:
                    errors.append(exc)
            if errors:
                raise errors[0]
    return results


def _release_all_at_exit():
    with _families_lock:
        families = [f for f in _families.values() if f._owned]
    for family in families:
        try:
            disconnect(family)
        except Exception as exc:
            print(f"morvane_python: could not release QPU family '{family.name}' at exit: {exc}",
                  file=sys.stderr)


atexit.register(_release_all_at_exit)
