"""run_quantum_circuit on "cunqa": QPU families raised for real (SLURM jobs, or local
processes), run, and released by the call, also when something fails."""

import os
import signal
import subprocess

import pytest

pytest.importorskip("qiskit_aer")

import morvane  # noqa: E402
import morvane_python  # noqa: E402
from cunqa_checks import assert_nothing_left  # noqa: E402
from morvane_python.errors import FamilyError, QPUError  # noqa: E402

SLURM_WANTED = os.environ.get("MORVANE_TEST_SLURM") == "1"


@pytest.fixture(autouse=True)
def private_registry(tmp_path, monkeypatch):
    monkeypatch.setenv("MORVANE_CUNQA_REGISTRY", str(tmp_path / "cunqa"))
    for name in ("MORVANE_CUNQA_WAIT", "MORVANE_CUNQA_PYTHON", "MORVANE_CUNQA_SBATCH_ARGS"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture(params=["local", "slurm"])
def launcher(request, monkeypatch):
    if request.param == "slurm" and not SLURM_WANTED:
        pytest.skip("needs the test cluster: bash scripts/slurm-cluster.sh start and "
                    "MORVANE_TEST_SLURM=1")
    monkeypatch.setenv("MORVANE_CUNQA_LAUNCHER", request.param)
    return request.param


class Spy:
    """Wraps the real seam functions, keeping what they were given and returned."""

    def __init__(self, monkeypatch):
        self.families = []
        self.runs = []
        self.released = []
        real_connect = morvane_python.connect_to_infrastructure
        real_run = morvane_python.run_qcs
        real_disconnect = morvane_python.disconnect_from_infrastructure

        def connect(*args, **kwargs):
            family = real_connect(*args, **kwargs)
            if args[0] == "cunqa":
                self.families.append(family)
            return family

        def run_qcs(**kwargs):
            self.runs.append(len(kwargs["qcs"]))
            if self.before_run:
                self.before_run(self)
            return real_run(**kwargs)

        def disconnect(*args, **kwargs):
            self.released.append(kwargs["family"])
            return real_disconnect(*args, **kwargs)

        self.before_run = None
        monkeypatch.setattr(morvane_python, "connect_to_infrastructure", connect)
        monkeypatch.setattr(morvane_python, "run_qcs", run_qcs)
        monkeypatch.setattr(morvane_python, "disconnect_from_infrastructure", disconnect)


@pytest.fixture
def spy(monkeypatch):
    return Spy(monkeypatch)


def bell():
    return morvane.Circuit(2).h(0).cx(0, 1).measure_all()


def test_four_qpus_share_the_shots_in_one_family(launcher, spy):
    result = morvane.run_quantum_circuit(bell(), 10, "cunqa", n_qpus=4, cores_per_qpu=1, seed=3)
    assert isinstance(result.counts, dict)
    assert sum(result.counts.values()) == 10
    assert set(result.counts) <= {"00", "11"}
    assert result.id.startswith("run_4_cunqa_")
    [family] = spy.families
    assert (family.name, family.n, family.launcher) == (result.id, 4, launcher)
    assert len(family.qpus) == 4
    # 10 shots over 4 replicas is 3, 3, 2, 2: two groups of two circuits.
    assert spy.runs == [2, 2]
    assert spy.released == [family]
    assert_nothing_left(family)


def test_same_seed_same_counts_and_equal_to_local_aer(launcher, spy):
    qc = morvane.Circuit(3).h(0).rx(1, 0.7).cx(0, 2).ry(2, 1.1).measure_all()
    first = morvane.run_quantum_circuit(qc, 300, "cunqa", cores_per_qpu=1, seed=99)
    again = morvane.run_quantum_circuit(qc, 300, "cunqa", cores_per_qpu=1, seed=99)
    local = morvane.run_quantum_circuit(qc, 300, "local", seed=99)
    assert first.counts == again.counts == local.counts
    assert first.seed == 99
    # Two independent families were raised and both are gone.
    assert len(spy.families) == 2 and spy.released == spy.families
    for family in spy.families:
        assert_nothing_left(family)


def test_params_are_bound_for_the_family_as_for_local_aer(launcher, spy):
    from qiskit import QuantumCircuit
    from qiskit.circuit import Parameter

    b, a = Parameter("b"), Parameter("a")  # qc.parameters sorts them (a, b)
    qiskit_qc = QuantumCircuit(2)
    qiskit_qc.rx(b, 0)
    qiskit_qc.ry(a, 1)
    qiskit_qc.measure_all()
    native = morvane.Circuit(2).rx(0, morvane.Param(1)).ry(1, morvane.Param(0)).measure_all()
    by_hand = morvane.Circuit(2).rx(0, 2.2).ry(1, 0.6).measure_all()
    local = morvane.run_quantum_circuit(by_hand, 300, "local", seed=7).counts
    assert len(local[0]) == 4
    for qc in (native, qiskit_qc):
        assert morvane.run_quantum_circuit(qc, 300, "cunqa", cores_per_qpu=1, seed=7,
                                           params=[0.6, 2.2]).counts == local
    assert len(spy.families) == 2 and spy.released == spy.families


def test_a_qpu_killed_mid_run_raises_and_the_family_is_still_released(launcher, spy):
    def kill_one(s):
        os.kill(s.families[0].qpus[1].pid, signal.SIGKILL)

    spy.before_run = kill_one
    before = morvane.backend_cleanup_failures()
    with pytest.raises(morvane.CunqaError) as info:
        morvane.run_quantum_circuit(bell(), 8, "cunqa", n_qpus=2, cores_per_qpu=1, seed=1)
    assert type(info.value) is QPUError, "a seam exception passes unchanged"
    [family] = spy.families
    assert spy.released == [family]
    assert morvane.backend_cleanup_failures() == before
    assert_nothing_left(family)


def test_a_failing_release_is_counted_and_the_result_kept(launcher, spy, monkeypatch):
    real_disconnect = morvane_python.disconnect_from_infrastructure

    def release_then_fail(*args, **kwargs):
        real_disconnect(*args, **kwargs)
        raise RuntimeError("the scheduler did not confirm the release")

    monkeypatch.setattr(morvane_python, "disconnect_from_infrastructure", release_then_fail)
    before = morvane.backend_cleanup_failures()
    result = morvane.run_quantum_circuit(bell(), 6, "cunqa", cores_per_qpu=1, seed=2)
    assert sum(result.counts[0].values()) == 6
    assert morvane.backend_cleanup_failures() == before + 1
    assert_nothing_left(spy.families[0])


def serve_with(tmp_path, monkeypatch, name, script, wait):
    """QPU servers started by a shell script standing in for the interpreter."""
    interpreter = tmp_path / name
    interpreter.write_text(f"#!/bin/sh\n{script}\n")
    interpreter.chmod(0o755)
    monkeypatch.setenv("MORVANE_CUNQA_PYTHON", str(interpreter))
    monkeypatch.setenv("MORVANE_CUNQA_WAIT", str(wait))


def test_servers_that_never_answer_fail_the_raise_within_the_wait(launcher, spy, tmp_path,
                                                                   monkeypatch):
    serve_with(tmp_path, monkeypatch, "silent-python", "exec sleep 600", wait=5)
    captured = {}
    real_connect = morvane_python.connect_to_infrastructure

    def connect(*args, **kwargs):
        captured["name"] = kwargs["family_name"]
        return real_connect(*args, **kwargs)

    monkeypatch.setattr(morvane_python, "connect_to_infrastructure", connect)
    with pytest.raises(morvane.CunqaError) as info:
        morvane.run_quantum_circuit(bell(), 4, "cunqa", cores_per_qpu=1, seed=1)
    assert type(info.value) is FamilyError
    assert "did not come up within 5s" in str(info.value)
    name = captured["name"]
    if launcher == "slurm":
        queue = subprocess.run(["squeue", "-h", "-n", name, "-o", "%i"], capture_output=True,
                               text=True, timeout=30)
        assert queue.stdout.strip() == ""
    pgrep = subprocess.run(["pgrep", "-f", "sleep 600"], capture_output=True, text=True)
    assert pgrep.stdout.strip() == "", "the silent servers were not stopped"


def test_a_family_that_fails_to_come_up_is_caught_as_a_morvane_error(launcher, tmp_path,
                                                                      monkeypatch):
    serve_with(tmp_path, monkeypatch, "failing-python", "echo no interpreter here >&2\nexit 7",
               wait=120)
    caught = None
    try:
        morvane.run_quantum_circuit(bell(), 4, "cunqa", cores_per_qpu=1, seed=1)
    except morvane.MorvaneError as error:
        caught = error
    assert caught is not None
    assert isinstance(caught, morvane.CunqaError) and isinstance(caught, morvane.BackendError)
    assert type(caught) is FamilyError  # the seam's own exception, not a copy
    assert "no interpreter here" in str(caught)
    assert not any((tmp_path / "cunqa").iterdir()), "the failed family left a registry entry"


@pytest.mark.parametrize("layout", ["under a regular file", "a regular file"])
def test_an_unwritable_registry_is_a_cunqa_error_that_names_the_directory(layout, tmp_path,
                                                                          monkeypatch):
    # Permission bits do not stop root; a path through a regular file stops everyone.
    blocker = tmp_path / "not-a-directory"
    blocker.write_text("")
    registry = blocker / "cunqa" if layout == "under a regular file" else blocker
    monkeypatch.setenv("MORVANE_CUNQA_REGISTRY", str(registry))
    monkeypatch.setenv("MORVANE_CUNQA_LAUNCHER", "local")
    with pytest.raises(morvane.MorvaneError) as info:
        morvane.run_quantum_circuit(bell(), 4, "cunqa", cores_per_qpu=1, seed=1)
    assert isinstance(info.value, morvane.CunqaError)
    assert type(info.value) is FamilyError
    assert str(info.value).startswith(f"cannot use registry directory {registry} for QPU families: ")
    assert isinstance(info.value.__cause__, OSError)
    assert blocker.is_file() and blocker.read_text() == ""
