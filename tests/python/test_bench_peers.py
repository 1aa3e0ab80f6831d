"""bench/bench_peers.py's single-precision checks against real Aer and the installed module.

The benchmark stops on a state that differs from morvane's double-precision
one; these tests hold its float32 limit between what an honest float32 run
differs by and what one wrong gate does, and check that the morvane-single
kind runs in single precision and is reported in its own block.
"""

import importlib.util
import pathlib
import subprocess
import sys

import numpy as np
import pytest


SCRIPT = pathlib.Path(__file__).parents[2] / "bench" / "bench_peers.py"
_spec = importlib.util.spec_from_file_location("bench_peers", SCRIPT)
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)


def _state(prepare, gates, n):
    run, to_state, _ = prepare(gates, n, 1)
    return np.asarray(to_state(run()), dtype=np.complex128)


@pytest.mark.parametrize("circuit", ["qcbm", "qft"])
@pytest.mark.parametrize("shift", [0.0, 1e-3])
def test_float32_limit_passes_aer_single_and_catches_one_wrong_angle(circuit, shift):
    n = 10
    gates = bench.gate_list(circuit, n, 7, True)
    reference = _state(bench.prepare_morvane, gates, n)
    # One rotation of the prepared layer turned by `shift`: a wrong circuit.
    name, qubits, angle = gates[3]
    tested = gates[:3] + [(name, qubits, angle + shift)] + gates[4:]
    _, diff = bench.state_difference("aer-single", _state(bench.prepare_aer_single, tested, n),
                                     reference)
    limit = bench.tolerance("aer-single", len(gates))
    if shift:
        assert diff > 10 * limit
    else:
        # Within the limit, yet no closer than float32 rounding: Aer ran in single precision.
        assert bench.SINGLE_FLOOR < diff <= limit / 4


def _run_script(*arguments):
    return subprocess.run(
        [sys.executable, str(SCRIPT), "--circuits", "qft", "--qubits", "6", "--threads", "1",
         "--repeats", "1", "--verify-qubits", "5", *arguments],
        capture_output=True, text=True, timeout=300)


def test_morvane_single_is_complex64_near_double_and_timed_in_its_own_block():
    n = 10
    gates = bench.gate_list("qcbm", n, 7, True)
    run, to_state, _ = bench.prepare_morvane_single(gates, n, 1)
    state = to_state(run())
    assert state.dtype == np.complex64
    _, diff = bench.state_difference("morvane-single", state.astype(np.complex128),
                                     _state(bench.prepare_morvane, gates, n))
    assert bench.SINGLE_FLOOR < diff <= bench.tolerance("morvane-single", len(gates))

    done = _run_script("--peers", "morvane-single", "aer-single")
    assert done.returncode == 0, done.stderr
    header = [line for line in done.stdout.splitlines() if line.startswith("precision")][0]
    assert header.split("|")[1].split() == ["f32", "f64", "f32"]
