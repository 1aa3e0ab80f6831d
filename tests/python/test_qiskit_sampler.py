"""morvane.qiskit.SamplerV2 beyond Qiskit's reference tests: exact
distributions, register layouts bit for bit against StatevectorSampler,
seeding, refusals, jobs off the caller's thread, and the lazy Qiskit import."""

import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import morvane

qiskit = pytest.importorskip("qiskit")
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Clbit, Parameter, ParameterVector  # noqa: E402
from qiskit.exceptions import QiskitError  # noqa: E402
from qiskit.primitives import StatevectorSampler  # noqa: E402
from qiskit.primitives.primitive_job import PrimitiveJob  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402
from scipy.stats import chi2  # noqa: E402

from morvane.qiskit import SamplerV2  # noqa: E402


def random_ansatz(num_qubits, layers, rng):
    """A random layered circuit of free RY/RZ angles and CX/CZ entanglers, unmeasured."""
    theta = ParameterVector("t", 2 * num_qubits * layers)
    qc = QuantumCircuit(num_qubits)
    k = 0
    for _ in range(layers):
        for q in range(num_qubits):
            qc.ry(theta[k], q)
            qc.rz(theta[k + 1], q)
            k += 2
        for q in rng.permutation(num_qubits - 1):
            (qc.cx if rng.random() < 0.5 else qc.cz)(int(q), int(q) + 1)
    return qc


def register_distribution(state_probabilities, sources, num_bits):
    """Exact probabilities of each register value, bit b read from qubit sources[b]."""
    out = np.zeros(1 << num_bits)
    for index, p in enumerate(state_probabilities):
        value = sum(((index >> q) & 1) << b for b, q in enumerate(sources) if q is not None)
        out[value] += p
    return out


def chi_square_p(counts, probabilities, shots):
    """p-value of observed counts under exact probabilities, bins of small
    expectation pooled so the statistic's distribution holds."""
    expected = probabilities * shots
    observed = np.array([counts.get(v, 0) for v in range(len(probabilities))], dtype=float)
    assert observed[expected == 0].sum() == 0, "an impossible outcome was drawn"
    big = expected >= 5
    obs = list(observed[big]) + [observed[~big].sum()]
    exp = list(expected[big]) + [expected[~big].sum()]
    obs, exp = np.array(obs), np.array(exp)
    keep = exp > 0
    obs, exp = obs[keep], exp[keep]
    statistic = ((obs - exp) ** 2 / exp).sum()
    return chi2.sf(statistic, max(len(obs) - 1, 1))


@pytest.mark.parametrize("shape", [(6,), (2, 3)], ids=["1d", "2d"])
@pytest.mark.parametrize("seed", [1, 2])
def test_counts_follow_exact_probabilities(shape, seed):
    rng = np.random.default_rng(seed)
    ansatz = random_ansatz(5, 2, rng)
    # Two registers read from a subset of the qubits in scrambled order.
    alpha, beta = ClassicalRegister(3, "alpha"), ClassicalRegister(2, "beta")
    qc = QuantumCircuit(ansatz.qubits, alpha, beta)
    qc.compose(ansatz, inplace=True)
    qc.measure([4, 0, 2], alpha)
    qc.measure([1, 4], beta)
    layouts = {"alpha": [4, 0, 2], "beta": [1, 4]}

    values = rng.uniform(-np.pi, np.pi, shape + (ansatz.num_parameters,))
    shots = 4000
    result = SamplerV2(seed=seed).run([(qc, values)], shots=shots).result()[0]
    p_values = []
    for index in np.ndindex(shape):
        bound = ansatz.assign_parameters(dict(zip(ansatz.parameters, values[index])))
        probabilities = Statevector(bound).probabilities()
        for name, sources in layouts.items():
            bits = getattr(result.data, name)
            assert bits.shape == shape and bits.num_shots == shots
            exact = register_distribution(probabilities, sources, len(sources))
            p_values.append(chi_square_p(bits.get_int_counts(index), exact, shots))
    # Many tests at once: a bound that a right sampler fails once in ~10^4 runs.
    assert min(p_values) > 1e-4 / len(p_values), p_values


def deterministic_layout_circuit():
    """Basis state with qubits 1, 2, 5, 9, 10 set, read into registers of 1 to 70
    bits, a loose bit in no register, bits left unmeasured, and overwrites."""
    q = QuantumRegister(12)
    regs = [ClassicalRegister(n, f"r{n}") for n in (1, 7, 8, 9, 16, 17, 64, 65, 70)]
    loose = Clbit()
    qc = QuantumCircuit(q, *regs[:4], [loose], *regs[4:])
    qc.x([1, 2, 5, 9, 10])
    pattern = [0, 1, 2, 5, 9, 10, 11, 3]
    for reg in regs:
        for b in range(len(reg)):
            if b % 5 != 3:  # every fifth bit from 3 on left unmeasured
                qc.measure(pattern[(b * 3 + len(reg)) % len(pattern)], reg[b])
    qc.measure(5, loose)
    qc.measure(2, regs[2][0])  # overwrites what was measured into r8[0]
    return qc, regs


def test_register_bytes_equal_statevector_samplers_bit_for_bit():
    qc, regs = deterministic_layout_circuit()
    ours = SamplerV2(seed=3).run([qc], shots=5).result()[0]
    reference = StatevectorSampler(seed=3).run([qc], shots=5).result()[0]
    assert sorted(ours.data.keys()) == sorted(reference.data.keys())
    for reg in regs:
        got, want = getattr(ours.data, reg.name), getattr(reference.data, reg.name)
        assert got.num_bits == want.num_bits == len(reg)
        assert got.array.dtype == np.uint8
        np.testing.assert_array_equal(got.array, want.array, err_msg=reg.name)


def test_one_qubit_into_several_registers_reads_the_same_shot():
    # Per-shot samples: a qubit measured into two registers agrees shot by shot.
    qc = QuantumCircuit(QuantumRegister(3), ClassicalRegister(2, "a"), ClassicalRegister(1, "b"))
    qc.h([0, 1, 2])
    qc.measure([0, 1], [0, 1])
    qc.measure(1, 2)
    data = SamplerV2(seed=9).run([qc], shots=2000).result()[0].data
    a, b = data.a.array[:, 0], data.b.array[:, 0]
    np.testing.assert_array_equal((a >> 1) & 1, b)
    # Uniform superposition: shots in draw order, not sorted by value.
    assert not np.all(np.diff(a.astype(int)) >= 0)


def test_same_seed_same_bits_other_seed_other_bits():
    x = Parameter("x")
    qc = QuantumCircuit(4)
    qc.ry(x, range(4))
    qc.measure_all()
    pubs = [(qc, np.linspace(0.5, 2.5, 10)), (qc, [[1.0], [2.0]], 33)]

    def arrays(sampler):
        return [r.data.meas.array for r in sampler.run(pubs, shots=100).result()]

    first = arrays(SamplerV2(seed=42))
    for again in (arrays(SamplerV2(seed=42)), arrays(SamplerV2(seed=42))):
        for a, b in zip(first, again):
            np.testing.assert_array_equal(a, b)
    reused = SamplerV2(seed=42)
    for a, b in zip(arrays(reused), arrays(reused)):
        np.testing.assert_array_equal(a, b)
    assert not np.array_equal(arrays(SamplerV2(seed=43))[0], first[0])
    unseeded = SamplerV2()
    assert not np.array_equal(arrays(unseeded)[0], arrays(unseeded)[0])
    generator = [arrays(SamplerV2(seed=np.random.default_rng(5))) for _ in range(2)]
    np.testing.assert_array_equal(generator[0][0], generator[1][0])


@pytest.mark.parametrize(
    "seed, error",
    [(-1, ValueError), (1.5, TypeError), ("7", TypeError), (True, TypeError)],
)
def test_bad_seeds_are_refused(seed, error):
    with pytest.raises(error, match="seed"):
        SamplerV2(seed=seed)


def mid_circuit_measurement():
    qc = QuantumCircuit(1, 1)
    qc.measure(0, 0)
    qc.x(0)
    qc.measure(0, 0)
    return qc


def with_reset():
    qc = QuantumCircuit(2, 2)
    qc.h(0)
    qc.reset(1)
    qc.measure([0, 1], [0, 1])
    return qc


def with_control_flow():
    qc = QuantumCircuit(1, 1)
    with qc.for_loop(range(2)):
        qc.h(0)
    qc.measure(0, 0)
    return qc


@pytest.mark.parametrize(
    "make, named",
    [(mid_circuit_measurement, "mid-circuit measurement"), (with_reset, "reset"),
     (with_control_flow, "for_loop")],
)
def test_circuits_the_native_engine_cannot_run_are_refused_by_name(make, named):
    with pytest.raises(QiskitError, match=named) as raised:
        SamplerV2().run([make()]).result()
    assert isinstance(raised.value.__cause__, ValueError)


def test_a_row_that_cannot_be_bound_names_its_row():
    x = Parameter("x")
    qc = QuantumCircuit(1)
    qc.rx(x, 0)
    qc.measure_all()
    with pytest.raises(ValueError, match="row 2"):
        SamplerV2().run([(qc, [[0.1], [0.2], [np.nan]])]).result()


def test_runs_off_the_callers_thread_as_a_qiskit_job(monkeypatch):
    from morvane_python import _primitives

    threads = []
    original = _primitives.value_rows

    def recording(pub):
        threads.append(threading.get_ident())
        return original(pub)

    monkeypatch.setattr(_primitives, "value_rows", recording)
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.measure_all()
    job = SamplerV2().run([qc, qc])
    assert isinstance(job, PrimitiveJob)
    assert sum(job.result()[1].data.meas.get_counts().values()) == 1024
    assert len(threads) == 2 and threading.get_ident() not in threads


def test_private_runner_refuses_mismatched_values():
    native = morvane.Circuit.from_qiskit(QuantumCircuit(1))
    with pytest.raises(ValueError, match="0 parameter"):
        morvane.qiskit._sample_bindings(native, np.zeros((2, 1)), 4, 0, [[0]])
    with pytest.raises(TypeError, match="float64"):
        morvane.qiskit._sample_bindings(native, np.zeros((2, 0), dtype=np.float32), 4, 0, [])
    with pytest.raises(ValueError, match="shots"):
        morvane.qiskit._sample_bindings(native, np.zeros((2, 0)), 0, 0, [])


BLOCKER = """
import sys
class _Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == "qiskit" or name.startswith("qiskit."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None
sys.meta_path.insert(0, _Blocker())
"""


def run_script(script):
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_without_qiskit_the_first_use_names_the_package():
    script = BLOCKER + textwrap.dedent(
        """
        import morvane
        import morvane.qiskit
        from morvane import qiskit as primitives
        assert "qiskit" not in sys.modules
        assert "SamplerV2" in dir(primitives)
        for attempt in range(2):
            try:
                primitives.SamplerV2
            except ImportError as error:
                assert error.name == "qiskit", error.name
                assert "'qiskit' package" in str(error) and "pip install" in str(error), error
            else:
                raise AssertionError("no ImportError")
        try:
            from morvane.qiskit import SamplerV2
        except ImportError as error:
            assert "'qiskit' package" in str(error)
        else:
            raise AssertionError("no ImportError")
        try:
            primitives.NoSuchThing
        except AttributeError as error:
            assert "NoSuchThing" in str(error)
        print("ok")
        """
    )
    assert run_script(script) == "ok"


def test_importing_morvane_does_not_import_qiskit():
    script = "import sys, morvane, morvane.qiskit; print('qiskit' in sys.modules)"
    assert run_script(script) == "False"
