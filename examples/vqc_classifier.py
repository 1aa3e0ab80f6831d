"""A variational quantum classifier trained with morvane.qml.train on the built-in simulator.

Two classes of points in the plane (two Gaussian blobs); a two-qubit angle-encoding feature map
and a small ansatz; the class is read from qubit 0. The fitness of a weight vector is the mean
over the training rows of the probability of the right answer. The cost callable only sees
bitstrings, so each training row carries its label as a third feature, which the feature map
writes onto a label qubit (qubit 2, untouched by the ansatz) for the cost to compare with. A
progress callback prints one line per generation. The feature map and ansatz are Qiskit circuits:
the built-in simulator converts the ansatz once and each bound training row once, and binds every
candidate natively, so no Python runs per candidate but the cost. Run with
`.venv/bin/python examples/vqc_classifier.py`.
"""

import math
import random
import time
from collections.abc import Sequence

from qiskit import QuantumCircuit
from qiskit.circuit import ParameterVector

import morvane

random.seed(5)


def make_data(n: int) -> list[tuple[float, float, int]]:
    rows = []
    for k in range(n):
        label = k % 2
        centre = 0.45 if label else -0.45
        rows.append((random.gauss(centre, 0.25), random.gauss(centre, 0.25), label))
    return rows


def feature_map() -> QuantumCircuit:
    f = ParameterVector("f", 3)
    qc = QuantumCircuit(3)
    qc.ry(math.pi * f[0], 0)
    qc.ry(math.pi * f[1], 1)
    qc.rx(math.pi * f[2], 2)  # the label: |0> or |1> exactly
    return qc


def ansatz() -> QuantumCircuit:
    w = ParameterVector("w", 4)
    qc = QuantumCircuit(3)
    qc.ry(w[0], 0)
    qc.ry(w[1], 1)
    qc.cx(1, 0)
    qc.ry(w[2], 0)
    qc.rz(w[3], 0)
    return qc


def correct(bitstring: str) -> float:
    """1.0 when qubit 0 (rightmost) reads the label held by qubit 2 (leftmost)."""
    return 1.0 if bitstring[0] == bitstring[-1] else 0.0


def classify(weights: Sequence[float], rows: Sequence[tuple[float, float, int]],
             shots: int = 256) -> float:
    """Held-out accuracy: the predicted class is qubit 0's majority reading."""
    good = 0
    fm, az = feature_map(), ansatz()
    for x, y, label in rows:
        qc = fm.compose(az)
        qc.measure_all()
        bound = qc.assign_parameters(list((x, y, 0.0)) + list(weights))
        counts = morvane.run_quantum_circuit(bound, shots, "local", backend="morvane",
                                             seed=1).counts
        assert isinstance(counts, list)  # one QPU: one counts dict per circuit
        ones = sum(n for key, n in counts[0].items() if key[-1] == "1")
        good += (ones * 2 > shots) == (label == 1)
    return good / len(rows)


def report(progress: morvane.TrainProgress) -> None:
    print(f"  generation {progress.iteration:2d}: training fitness {progress.best_fitness:.3f} "
          f"after {progress.elapsed_secs:.1f} s")


def main() -> None:
    train_rows, test_rows = make_data(24), make_data(40)
    x_train = [(x, y, float(label)) for x, y, label in train_rows]
    started = time.perf_counter()
    result = morvane.qml.train(
        feature_map(), ansatz(), x_train, morvane.DE(generations=25, population_size=12),
        128, 1, 4, morvane.CachedCost(correct), "local", 1, 1, "vqc", backend="morvane", seed=11,
        callback=report)
    elapsed = time.perf_counter() - started
    print(f"trained in {elapsed:.1f} s over {result.iterations_run} generations "
          f"(seed {result.seed}); training fitness {result.best_fitness:.3f}")
    train_accuracy = classify(result.best_params, train_rows)
    test_accuracy = classify(result.best_params, test_rows)
    print(f"accuracy: training {train_accuracy:.2f}, held-out {test_accuracy:.2f} "
          f"(the classes are balanced: chance is 0.50)")


if __name__ == "__main__":
    main()
