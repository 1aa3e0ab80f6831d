"""Exact expectation values against their peers, timed side by side in one run:

(a) `morvane.expectation_values` against Qiskit's `Statevector(bound).expectation_value(H)` for
    a 30-term Pauli Hamiltonian on `efficient_su2(n, reps=3)`, n = 12 to 16: per parameter set,
    once for a single vector and once for a batch of `--rows` rows (Qiskit binds and simulates
    each row in turn);
(b) exact training (`shots=None`) against the same training with 1,000 shots, on a 12-qubit
    MaxCut QAOA (p = 2, a ring plus chords) with a Qubo cost, in candidate evaluations per
    second (target: exact at least 2x).

Each figure is the best of `--repeat` timings. Run by hand:
`.venv/bin/python bench/bench_expectation.py [--rows 64] [--repeat 3]`.
"""

import argparse
import time

import numpy as np
from qiskit.circuit.library import efficient_su2
from qiskit.quantum_info import SparsePauliOp, Statevector

import morvane


def best_of(repeat, run):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def hamiltonian(n, rng, terms=30):
    labels = set()
    while len(labels) < terms:
        labels.add("".join(rng.choice(list("IXYZ"), n, p=[0.7, 0.1, 0.1, 0.1])))
    return SparsePauliOp(sorted(labels), rng.uniform(-1, 1, terms))


def expectation_figures(args):
    print("(a) 30-term Hamiltonian on efficient_su2(n, reps=3): seconds per parameter set")
    print(f"{'n':>3} {'passes':>6} {'qiskit':>10} {'morvane 1':>10} {'ratio':>7} "
          f"{'morvane batch':>13} {'ratio':>7}")
    for n in range(12, 17):
        rng = np.random.default_rng(n)
        qc = efficient_su2(n, reps=3)
        op = hamiltonian(n, rng)
        rows = rng.uniform(-np.pi, np.pi, (args.rows, qc.num_parameters))
        reference = [Statevector(qc.assign_parameters(r)).expectation_value(op).real
                     for r in rows[:2]]
        got = morvane.expectation_values(qc, op, rows[:2])[:, 0]
        assert np.allclose(got, reference, atol=1e-10), (got, reference)
        qiskit = best_of(args.repeat, lambda: Statevector(
            qc.assign_parameters(rows[0])).expectation_value(op))
        single = best_of(args.repeat, lambda: morvane.expectation_values(qc, op, rows[0]))
        batch = best_of(args.repeat, lambda: morvane.expectation_values(qc, op, rows)) / len(rows)
        passes = morvane._expectation_sweeps(qc, op)
        print(f"{n:>3} {passes:>6} {qiskit:>10.5f} {single:>10.5f} {qiskit / single:>6.1f}x "
              f"{batch:>13.5f} {qiskit / batch:>6.1f}x")


def qaoa(n, reps):
    edges = [(i, (i + 1) % n) for i in range(n)] + [(i, i + n // 2) for i in range(n // 2)]
    qc = morvane.Circuit(n)
    for q in range(n):
        qc.h(q)
    for layer in range(reps):
        for i, j in edges:
            qc.rzz(i, j, morvane.Param(2 * layer))
        for q in range(n):
            qc.rx(q, morvane.Param(2 * layer + 1))
    # Cut size: x_i + x_j - 2 x_i x_j per edge, maximised.
    cost = morvane.Qubo(n, [(q, float(sum(q in e for e in edges))) for q in range(n)],
                        [(i, j, -2.0) for i, j in edges])
    return qc, cost


def training_figures(args):
    n, reps = 12, 2
    qc, cost = qaoa(n, reps)
    method = morvane.DE(generations=args.generations, population_size=args.population,
                        patience=args.generations + 1)

    def rate(shots):
        def run():
            result = morvane.train(qc, method, shots, 1, 2 * reps,
                                   cost, "local", 1, 1, "bench", backend="morvane", seed=5)
            run.candidates = args.population * (result.iterations_run + 1)
        seconds = best_of(args.repeat, run)
        return run.candidates / seconds

    exact, sampled = rate(None), rate(1000)
    print(f"(b) 12-qubit QAOA (p={reps}), Qubo cost, DE {args.population}x{args.generations}: "
          f"exact {exact:.0f} candidates/s, 1000 shots {sampled:.0f} candidates/s, "
          f"ratio {exact / sampled:.2f}x (target 2x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--generations", type=int, default=20)
    parser.add_argument("--population", type=int, default=16)
    args = parser.parse_args()
    expectation_figures(args)
    training_figures(args)


if __name__ == "__main__":
    main()
