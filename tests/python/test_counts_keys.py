"""Counts keys are exactly num_clbits characters wide, classical bit 0 rightmost, on every
backend and every road to the counts: run_quantum_circuit, shots split over replicas, and the
bitstrings a Python cost receives in train."""

import random

import pytest

import morvane

pytest.importorskip("qiskit_aer")

SHOTS = 2000


def random_register_circuit(rng, clbits):
    """A random circuit on 1 to 20 qubits whose measurements reach classical bit clbits - 1.

    Basis permutations (X, CX, SWAP) scramble a random start, then H on at most three qubits
    leaves at most eight equally likely outcomes: at SHOTS shots both backends see every one
    of them (a miss has probability below 1e-100), so their key sets must be equal.
    """
    n = rng.randint(1, 20)
    qc = morvane.Circuit(n)
    for q in range(n):
        if rng.random() < 0.5:
            qc.x(q)
    for _ in range(2 * n):
        a, b = rng.randrange(n), rng.randrange(n)
        if a != b:
            (qc.cx if rng.random() < 0.5 else qc.swap)(a, b)
    for q in rng.sample(range(n), min(n, 3)):
        qc.h(q)
    # Distinct bits, the top one among them: a bit measured twice ORs its qubits natively
    # but takes the last one on Aer, a difference this test is not about.
    bits = [clbits - 1] + rng.sample(range(clbits - 1), min(n, clbits) - 1)
    qubits = rng.sample(range(n), len(bits))
    for qubit, bit in zip(qubits, bits, strict=True):
        qc.measure(qubit, bit)
    return qc


def counts(qc, backend, **kwargs):
    result = morvane.run_quantum_circuit(qc, SHOTS, "local", backend=backend, seed=5, **kwargs)
    return result.counts


@pytest.mark.parametrize("clbits", range(1, 35))
def test_native_keys_are_the_register_width_and_equal_aer_keys(clbits):
    qc = random_register_circuit(random.Random(clbits), clbits)
    assert qc.num_clbits == clbits
    [aer] = counts(qc, "aer")
    [native] = counts(qc, "morvane")
    assert {len(key) for key in aer} == {clbits}
    assert sorted(native) == sorted(aer), qc.to_qasm2()
    # Shots split over three replicas come back merged into one map.
    merged = counts(qc, "morvane", n_qpus=3)
    assert set(merged) <= set(aer) and sum(merged.values()) == SHOTS


@pytest.mark.parametrize("backend", ["morvane", "aer"])
@pytest.mark.parametrize("width", [15, 16, 17, 24])
def test_measure_all_keys_from_x_on_qubit_zero(backend, width):
    qc = morvane.Circuit(width).x(0).measure_all()
    expected = "0" * (width - 1) + "1"
    assert morvane.run_quantum_circuit(qc, 4, "local", backend=backend, seed=1).counts == [
        {expected: 4}
    ]


@pytest.mark.parametrize("backend", ["morvane", "aer"])
def test_a_python_cost_receives_register_wide_bitstrings(backend):
    # Qubit 0 measured into bit 17 and rotated by the parameter: the cost reads it from the
    # left, as costs that index a node by position do.
    qc = morvane.Circuit(2).rx(0, morvane.Param(0)).x(1).measure(0, 17).measure(1, 0)
    seen = set()

    def cost(bits):
        seen.add(bits)
        return float(bits[0] == "1")

    result = morvane.train(qc, morvane.DE(generations=2, population_size=4), 50, 1, 1, cost,
                           "local", 1, 1, "keys", backend=backend, seed=2)
    assert seen and {len(bits) for bits in seen} == {18}
    assert {bits[1:] for bits in seen} == {"0" * 16 + "1"}
    assert result.best_fitness > 0
