"""Checks shared by the tests that raise QPU families."""

import os
import subprocess

import pytest


def assert_nothing_left(family):
    """No SLURM job of the family and no QPU server process survive the call."""
    if family.launcher == "slurm":
        queue = subprocess.run(["squeue", "-h", "-n", family.name, "-o", "%i"],
                               capture_output=True, text=True, timeout=30)
        assert queue.returncode == 0 and queue.stdout.strip() == "", queue.stdout
    # Every test family runs on this machine, so its pids are ours to check.
    for qpu in family.qpus:
        with pytest.raises(ProcessLookupError):
            os.kill(qpu.pid, 0)
    pgrep = subprocess.run(["pgrep", "-f", f"morvane_python.qpu.*{family.name}"],
                           capture_output=True, text=True)
    assert pgrep.stdout.strip() == "", pgrep.stdout
