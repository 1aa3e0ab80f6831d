"""Every standard gate and random circuits across the OpenQASM 2 boundary, in
both directions, against Qiskit's own statevector."""

from __future__ import annotations

import numpy as np
import pytest
from qiskit import QuantumCircuit, qasm2
from qiskit.circuit.library import get_standard_gate_name_mapping
from qiskit.circuit.random import random_circuit
from qiskit.quantum_info import Statevector

import morvane

LEGACY = qasm2.LEGACY_CUSTOM_INSTRUCTIONS
GATES = {
    name: gate
    for name, gate in get_standard_gate_name_mapping().items()
    if name not in ("measure", "reset", "delay", "global_phase")
}


def assert_equal_up_to_phase(
    ours: np.ndarray, reference: np.ndarray, atol: float = 1e-12
) -> None:
    top = int(np.argmax(np.abs(reference)))
    phase = ours[top] / reference[top]
    assert abs(abs(phase) - 1) < atol
    np.testing.assert_allclose(ours, phase * reference, atol=atol, rtol=0)


def prepared(rng: np.random.Generator, n: int) -> QuantumCircuit:
    """A fixed entangling preparation, so no gate acts on a basis state."""
    qc = QuantumCircuit(n)
    for q in range(n):
        qc.ry(float(rng.uniform(0, np.pi)), q)
        qc.rz(float(rng.uniform(-np.pi, np.pi)), q)
    for q in range(n - 1):
        qc.cx(q, q + 1)
    return qc


@pytest.mark.parametrize("name", sorted(GATES))
def test_each_gate_through_qiskits_qasm_matches_its_statevector(name: str) -> None:
    rng = np.random.default_rng(sorted(GATES).index(name))
    for _ in range(3):
        gate = GATES[name]
        params = [float(v) for v in rng.uniform(-2 * np.pi, 2 * np.pi, len(gate.params))]
        gate = type(gate)(*params) if params else gate
        qc = prepared(rng, 5)
        qc.append(gate, [int(q) for q in rng.permutation(5)[: gate.num_qubits]])
        ours = morvane.statevector(morvane.Circuit.from_qasm2(qasm2.dumps(qc)))
        assert_equal_up_to_phase(ours, Statevector(qc).data)


@pytest.mark.parametrize("seed", range(200))
def test_random_circuits_cross_the_qasm_boundary_both_ways(seed: int) -> None:
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 11))
    qc = random_circuit(n, int(rng.integers(1, 13)), max_operands=min(4, n), seed=seed)
    reference = Statevector(qc).data
    ours = morvane.Circuit.from_qasm2(qasm2.dumps(qc))
    assert_equal_up_to_phase(morvane.statevector(ours), reference)
    # Our own text, read by Qiskit as it reads its own.
    back = qasm2.loads(ours.to_qasm2(), custom_instructions=LEGACY)
    # Our text writes angles to 12 decimals, so the state agrees to about that.
    assert_equal_up_to_phase(Statevector(back).data, reference, atol=1e-9)


def every_gate_circuit(rng: np.random.Generator) -> morvane.Circuit:
    """Every builder once, on random distinct qubits of five, with random angles."""
    circuit = morvane.Circuit(5)
    for name in sorted(GATES):
        gate = GATES[name]
        qubits = [int(q) for q in rng.permutation(5)[: gate.num_qubits]]
        angles = [float(v) for v in rng.uniform(-np.pi, np.pi, len(gate.params))]
        getattr(circuit, name)(*qubits, *angles)
    return circuit


@pytest.mark.parametrize("backend", ["morvane", "aer"])
def test_every_gate_runs_on_both_local_backends_with_the_exact_distribution(backend: str) -> None:
    """Aer reads our text, definitions included, and samples what we compute."""
    circuit = every_gate_circuit(np.random.default_rng(7))
    exact = np.abs(morvane.statevector(circuit)) ** 2
    shots = 8000
    counts = morvane.run_quantum_circuit(
        circuit.measure_all(), shots, "local", backend=backend, seed=11
    ).counts
    if isinstance(counts, list):
        (counts,) = counts
    assert sum(counts.values()) == shots
    sampled = np.zeros(32)
    for key, count in counts.items():
        assert len(key) == 5
        sampled[int(key, 2)] = count / shots
    # Total variation against the exact distribution; about 0.02 is typical
    # at this many shots, so 0.05 only fails for a real difference.
    assert 0.5 * np.abs(sampled - exact).sum() < 0.05
