"""Training-batch cost of the VQC example: morvane.qml.train, on Aer and on the built-in
simulator, against the usual hand-written Qiskit + Aer loop (bind every circuit, run, average in
Python), timed in one run. The built-in simulator converts the ansatz and each row once and binds
every candidate natively; its target is at least 10 times the usual loop's speed.

Per batch = one population of candidate weight vectors evaluated over every training row.
Run by hand: `.venv/bin/python bench/bench_vqc.py [--population 12] [--generations 10]`.

Before and after the seam read `AerSimulator.target` once per call instead of once per circuit
(Aer builds a new Target on every read; one batch here is 288 circuits), with the defaults on
the 2-core development machine (Qiskit 2.6.2, Aer 0.18.2, other builds running beside it),
three runs each, alternated; the ratio is morvane over the usual loop, from the same run:

    before: morvane.qml.train 643 / 684 / 729 ms per batch, ratio 0.096 / 0.160 / 0.140
    after:  morvane.qml.train 359 / 426 / 377 ms per batch, ratio 0.054 / 0.096 / 0.067

The usual loop took 4.3 to 6.7 s per batch in those runs, most of it in `qiskit.transpile` and
in Aer splitting each 3-qubit state update over both cores, so it swings with the machine's load;
the time per batch of morvane.qml.train is the steadier figure.

With qml.train on the built-in simulator (the ansatz and each row converted once, candidates
bound natively), one run with the defaults on the same machine under load: usual loop 6221 ms,
qml.train on Aer 357 ms, qml.train built-in 4.0 ms per batch (1547x the usual loop).
"""

import argparse
import pathlib
import random
import sys
import time

import qiskit
from qiskit_aer import AerSimulator

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "examples"))
import vqc_classifier as example  # noqa: E402

import morvane  # noqa: E402


def usual_batch(simulator, composite, rows, population, shots):
    """Bind, run in one Aer call, average each candidate's per-row score in Python."""
    circuits = [composite.assign_parameters(list(row) + list(weights))
                for weights in population for row in rows]
    compiled = qiskit.transpile(circuits, simulator)
    result = simulator.run(compiled, shots=shots, seed_simulator=1).result()
    fitness = []
    for j in range(len(population)):
        total = 0.0
        for s in range(len(rows)):
            counts = result.get_counts(j * len(rows) + s)
            total += sum(n * example.correct(k.replace(" ", "")) for k, n in counts.items()) / shots
        fitness.append(total / len(rows))
    return fitness


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--population", type=int, default=12)
    parser.add_argument("--generations", type=int, default=10)
    parser.add_argument("--shots", type=int, default=128)
    args = parser.parse_args()
    rows = [(x, y, float(label)) for x, y, label in example.make_data(24)]

    composite = example.feature_map().compose(example.ansatz())
    composite.measure_all()
    simulator = AerSimulator()
    rng = random.Random(3)
    batches = args.generations + 1
    start = time.perf_counter()
    for _ in range(batches):
        population = [[rng.uniform(0, 6.28) for _ in range(4)] for _ in range(args.population)]
        usual_batch(simulator, composite, rows, population, args.shots)
    usual = (time.perf_counter() - start) / batches

    def per_batch(backend):
        start = time.perf_counter()
        result = morvane.qml.train(
            example.feature_map(), example.ansatz(), rows,
            morvane.DE(generations=args.generations, population_size=args.population,
                       patience=10**6),
            args.shots, 1, 4, example.correct, "local", 1, 1, "bench", backend=backend, seed=1)
        return (time.perf_counter() - start) / (result.iterations_run + 1)

    ours, native = per_batch("aer"), per_batch("morvane")
    print(f"{args.population} candidates x {len(rows)} rows, {args.shots} shots per circuit")
    print(f"  usual Qiskit + Aer loop:            {usual * 1000:8.1f} ms per batch")
    print(f"  morvane.qml.train, backend=\"aer\":   {ours * 1000:8.1f} ms per batch  "
          f"(ratio {ours / usual:.3f})")
    print(f"  morvane.qml.train, built-in:        {native * 1000:8.1f} ms per batch  "
          f"(ratio {native / usual:.4f}: {usual / native:.0f}x the usual loop, target >= 10x)")


if __name__ == "__main__":
    main()
