"""statevector(): amplitudes, zero-copy hand-over, parameters, errors, Ctrl+C, threads, Qiskit."""

import gc
import inspect
import math
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

import morvane

SQRT_HALF = math.sqrt(0.5)


def bell():
    return morvane.Circuit(2).h(0).cx(0, 1)


@pytest.mark.parametrize("fusion", [True, False])
def test_bell_state_amplitudes_and_dtype(fusion):
    sv = morvane.statevector(bell(), fusion=fusion)
    assert sv.dtype == np.complex128
    assert sv.shape == (4,)
    np.testing.assert_allclose(sv, [SQRT_HALF, 0, 0, SQRT_HALF], atol=1e-12)


@pytest.mark.parametrize(
    "build, expected_index",
    [
        (lambda: morvane.Circuit(3).x(0), 0b001),  # qubit 0 is the least significant bit
        (lambda: morvane.Circuit(3).x(2), 0b100),
        (lambda: morvane.Circuit(3).x(0).cx(0, 1), 0b011),
        (lambda: morvane.Circuit(3).x(1).swap(1, 2), 0b100),
        (lambda: morvane.Circuit(1), 0),
        (lambda: morvane.Circuit(0), 0),
    ],
)
def test_basis_states_are_little_endian(build, expected_index):
    sv = morvane.statevector(build())
    expected = np.zeros_like(sv)
    expected[expected_index] = 1
    np.testing.assert_allclose(sv, expected, atol=1e-12)


def test_array_borrows_memory_from_a_slice_container():
    sv = morvane.statevector(bell())
    assert type(sv.base).__name__ == "PySliceContainer"
    assert not sv.flags.owndata
    assert not hasattr(morvane, "PySliceContainer")
    with pytest.raises(TypeError):
        type(sv.base)()
    other = morvane.statevector(bell())
    assert other.base is not sv.base
    assert not np.shares_memory(sv, other)


def test_buffer_outlives_the_circuit_and_the_array_it_came_from():
    qc = morvane.Circuit(4).h(0).cx(0, 3)
    sv = morvane.statevector(qc)
    view = sv[::3]
    del qc, sv
    gc.collect()
    # Fresh allocations of the same size must not reuse the borrowed memory.
    for _ in range(5):
        morvane.statevector(morvane.Circuit(4).x(1))
    np.testing.assert_allclose(view, [SQRT_HALF, 0, 0, SQRT_HALF, 0, 0], atol=1e-12)
    # The array is an ordinary writable NumPy array.
    view[1] = 2.0
    assert view[1] == 2.0


@pytest.mark.parametrize(
    "params", [[math.pi], (math.pi,), np.array([math.pi]), [np.float64(math.pi)]]
)
def test_params_bind_free_parameters(params):
    qc = morvane.Circuit(1).rx(0, morvane.Param(0))
    np.testing.assert_allclose(morvane.statevector(qc, params), [0, -1j], atol=1e-12)
    np.testing.assert_allclose(morvane.statevector(qc, params=params), [0, -1j], atol=1e-12)


def test_params_bind_in_index_order():
    qc = morvane.Circuit(2).ry(0, morvane.Param(1)).ry(1, morvane.Param(0))
    sv = morvane.statevector(qc, [0.0, math.pi])
    np.testing.assert_allclose(sv, [0, 1, 0, 0], atol=1e-12)


@pytest.mark.parametrize("params", [None, [], [0.1, 0.2, 0.3]])
def test_wrong_number_of_params_is_a_value_error(params):
    qc = morvane.Circuit(1).rx(0, morvane.Param(0)).ry(0, morvane.Param(1))
    with pytest.raises(ValueError):
        morvane.statevector(qc, params)


def test_non_finite_parameter_values_are_refused():
    qc = morvane.Circuit(1).rx(0, morvane.Param(0))
    for bad in (math.nan, math.inf, -math.inf):
        with pytest.raises(ValueError):
            morvane.statevector(qc, [bad])


@pytest.mark.parametrize(
    "args, kwargs, needle",
    [
        (("OPENQASM 2.0;",), {}, "argument 'qc'"),
        ((None,), {}, "argument 'qc'"),
        ((42,), {}, "argument 'qc'"),
        ((morvane.Param(0),), {}, "argument 'qc'"),
        ((), {}, "qc"),
        ((bell(), "0.5"), {}, "argument 'params': Can't extract `str` to `Vec`"),
        ((bell(), [None]), {}, "argument 'params'"),
        ((bell(), 3), {}, "argument 'params'"),
        ((bell(),), {"fusion": 1}, "argument 'fusion'"),
        ((bell(),), {"fusion": None}, "argument 'fusion'"),
        ((bell(),), {"fusoin": True}, "fusoin"),
        ((bell(), None, True, "double", 4), {}, "positional"),
    ],
)
def test_bad_arguments_raise_type_error(args, kwargs, needle):
    with pytest.raises(TypeError, match=None) as info:
        morvane.statevector(*args, **kwargs)
    assert needle in str(info.value)


def test_too_many_qubits_is_a_value_error_raised_before_allocating():
    with pytest.raises(ValueError):
        morvane.statevector(morvane.Circuit(64).h(0))
    with pytest.raises(ValueError):
        morvane.statevector(morvane.Circuit(31))


def test_text_signature():
    assert str(inspect.signature(morvane.statevector)) == "(qc, params=None, fusion=True, precision='double')"


def _long_circuit(num_qubits, layers):
    qc = morvane.Circuit(num_qubits)
    for layer in range(layers):
        for q in range(num_qubits):
            qc.rx(q, 0.01 * (q + layer))
        for q in range(num_qubits - 1):
            qc.cx(q, q + 1)
    return qc


@pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")
def test_ctrl_c_interrupts_a_long_simulation_promptly():
    # About 2000 gates on 22 qubits: several seconds of work uninterrupted.
    qc = _long_circuit(22, 48)
    timer = threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            morvane.statevector(qc, fusion=False)
    finally:
        timer.cancel()
    elapsed = time.monotonic() - start
    assert elapsed < 2.0, f"interrupt took {elapsed:.2f}s to arrive"


@pytest.mark.skipif(sys.platform == "win32", reason="needs POSIX signals")
def test_a_handler_exception_surfaces_unchanged():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("from the handler")

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGUSR1))
    timer.start()
    try:
        with pytest.raises(Stop, match="from the handler"):
            morvane.statevector(_long_circuit(22, 48), fusion=False)
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, previous)


def _ry_chain(theta, num_qubits):
    """Ry(theta) on qubit 0 copied down a CX chain: cos(t/2)|0..0> + sin(t/2)|1..1>."""
    qc = morvane.Circuit(num_qubits).ry(0, theta)
    for q in range(num_qubits - 1):
        qc.cx(q, q + 1)
    return qc


def test_concurrent_calls_from_python_threads_give_correct_results():
    num_qubits = 16
    thetas = [0.3 * k for k in range(1, 7)]
    results = {}
    errors = []
    barrier = threading.Barrier(len(thetas))

    def work(theta):
        try:
            barrier.wait()
            for _ in range(3):
                results[theta] = morvane.statevector(_ry_chain(theta, num_qubits))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(theta,)) for theta in thetas]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    for theta in thetas:
        sv = results[theta]
        expected = np.zeros(1 << num_qubits, dtype=complex)
        expected[0] = math.cos(theta / 2)
        expected[-1] = math.sin(theta / 2)
        np.testing.assert_allclose(sv, expected, atol=1e-12)


def test_other_threads_run_while_a_simulation_holds_no_lock():
    qc = _long_circuit(20, 6)
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        while not ticks:
            time.sleep(0.001)
        before = len(ticks)
        morvane.statevector(qc, fusion=False)
        during = len(ticks) - before
    finally:
        done.set()
        thread.join()
    # Holding the lock would freeze the ticker for the whole call.
    assert during > 5


# Qiskit interop ------------------------------------------------------------

qiskit = pytest.importorskip("qiskit")
from qiskit import QuantumCircuit, qasm2  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402

ONE_QUBIT = ["h", "x", "y", "z", "s", "t", "sdg", "tdg"]
ROTATIONS = ["rx", "ry", "rz"]
TWO_QUBIT = ["cx", "cz", "swap"]
TWO_QUBIT_ROTATIONS = ["rzz", "rxx", "cp"]


def random_qiskit_circuit(rng, num_qubits, num_gates):
    qc = QuantumCircuit(num_qubits)
    kinds = ONE_QUBIT + ROTATIONS + ["u"] + TWO_QUBIT + TWO_QUBIT_ROTATIONS
    for _ in range(num_gates):
        kind = kinds[rng.integers(len(kinds))]
        a, b = (int(q) for q in rng.choice(num_qubits, size=2, replace=False))
        angle = float(rng.uniform(-2 * math.pi, 2 * math.pi))
        if kind in ONE_QUBIT:
            getattr(qc, kind)(a)
        elif kind in ROTATIONS:
            getattr(qc, kind)(angle, a)
        elif kind == "u":
            qc.u(angle, float(rng.uniform(-math.pi, math.pi)), float(rng.uniform(-3, 3)), a)
        elif kind in TWO_QUBIT:
            getattr(qc, kind)(a, b)
        else:
            getattr(qc, kind)(angle, a, b)
    return qc


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("fusion", [True, False])
def test_matches_qiskit_on_random_circuits(seed, fusion):
    rng = np.random.default_rng(seed)
    num_qubits = int(rng.integers(2, 7))
    qc = random_qiskit_circuit(rng, num_qubits, int(rng.integers(10, 60)))
    ours = morvane.statevector(morvane.Circuit.from_qasm2(qasm2.dumps(qc)), fusion=fusion)
    theirs = Statevector(qc).data
    assert ours.shape == theirs.shape
    np.testing.assert_allclose(ours, theirs, atol=1e-10, rtol=0)
