"""A first tour of morvane: build circuits, read their statevector, sample them
with the built-in native backend, and replay a run from its seed.

Run it with `make demo` (which installs everything first) or
`.venv/bin/python examples/quickstart.py`.
"""

import math

import numpy as np

import morvane


def ghz(n: int) -> morvane.Circuit:
    """|0...0> + |1...1>, the n-qubit GHZ state."""
    qc = morvane.Circuit(n).h(0)
    for q in range(n - 1):
        qc.cx(q, q + 1)
    return qc


def append_qft(qc: morvane.Circuit, n: int) -> morvane.Circuit:
    """Appends the quantum Fourier transform on qubits 0..n-1 (Qiskit's convention)."""
    for j in reversed(range(n)):
        qc.h(j)
        for k in reversed(range(j)):
            qc.cp(k, j, math.pi / 2 ** (j - k))
    for i in range(n // 2):
        qc.swap(i, n - 1 - i)
    return qc


def show_state(label: str, amplitudes: np.ndarray) -> None:
    print(f"{label}: {len(amplitudes)} amplitudes, dtype {amplitudes.dtype}")
    for index, amplitude in enumerate(amplitudes):
        if abs(amplitude) > 1e-12:
            bits = format(index, f"0{int(math.log2(len(amplitudes)))}b")
            print(f"  |{bits}>  {amplitude.real:+.6f}{amplitude.imag:+.6f}j")


def main() -> None:
    # 1. The GHZ state, exactly.
    show_state("GHZ(3) statevector", morvane.statevector(ghz(3)))

    # 2. A QFT-based circuit: prepare the basis state |5> = |101>, then
    #    transform it; every amplitude has magnitude 1/sqrt(8) and a phase
    #    that winds with the input.
    circuit = append_qft(morvane.Circuit(3).x(0).x(2), 3)
    state = morvane.statevector(circuit)
    show_state("QFT|101> statevector", state)
    print("  all magnitudes equal 1/sqrt(8):", np.allclose(np.abs(state), 1 / math.sqrt(8)))

    # 3. Counts from the native backend. Bitstrings put qubit 0 rightmost.
    measured = ghz(3).measure_all()
    result = morvane.run_quantum_circuit(measured, shots=1000, infrastructure="local",
                                         backend="morvane")
    # With one QPU, counts is a list holding one dict per circuit.
    assert isinstance(result.counts, list)
    print(f"\nGHZ(3) counts: {result.counts[0]}")
    print(f"  {result!r}")

    # 4. The seed replays the run exactly.
    replay = morvane.run_quantum_circuit(measured, shots=1000, infrastructure="local",
                                         backend="morvane", seed=result.seed)
    print(f"replayed with seed {result.seed}: identical counts = {replay.counts == result.counts}")

    # 5. OpenQASM export of the measured circuit.
    print("\nOpenQASM 2.0 of the measured GHZ circuit:")
    print(measured.to_qasm2(), end="")


if __name__ == "__main__":
    main()
