"""morvane.qiskit.EstimatorV2 against Qiskit's estimators, timed side by side in one run.

One PUB: `efficient_su2(--qubits 12, reps=3)`, a `--rows` x parameters array (1,000 rows by
default) and one Hamiltonian of `--terms` (30) random Pauli strings, at precision 0 (exact
values). Peers:

(a) `qiskit_aer.primitives.EstimatorV2` at precision 0 (target: ours at least 10 times faster);
(b) Qiskit's `StatevectorEstimator`, on `--reference-rows` rows (100 by default) with its time
    scaled to the full array (it binds and simulates row by row, so its time is linear in the
    rows).

Each figure is the best of `--repeat` runs of `estimator.run([pub]).result()`, the circuit, the
Hamiltonian and the values made once beforehand. The values are compared before any timing is
reported. Run by hand:
`.venv/bin/python bench/bench_qiskit_estimator.py [--qubits 12] [--rows 1000] [--terms 30]`.
"""

import argparse
import time

import numpy as np
from qiskit.circuit.library import efficient_su2
from qiskit.primitives import StatevectorEstimator
from qiskit.quantum_info import SparsePauliOp
from qiskit_aer.primitives import EstimatorV2 as AerEstimatorV2

from morvane.qiskit import EstimatorV2


def timed(estimator, pub, repeat):
    best, evs = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        evs = estimator.run([pub]).result()[0].data.evs
        best = min(best, time.perf_counter() - start)
    return best, evs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=12)
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--terms", type=int, default=30)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--reference-rows", type=int, default=100)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    qc = efficient_su2(args.qubits, reps=3)
    values = rng.uniform(-np.pi, np.pi, (args.rows, qc.num_parameters))
    labels = ["".join(rng.choice(list("IXYZ"), args.qubits)) for _ in range(args.terms)]
    hamiltonian = SparsePauliOp(labels, rng.uniform(-1, 1, args.terms))
    pub = (qc, hamiltonian, values)
    print(f"efficient_su2({args.qubits}, reps=3), {qc.num_parameters} parameters, "
          f"{args.rows} rows, {args.terms}-term Hamiltonian, precision 0, best of {args.repeat}")

    ours, our_evs = timed(EstimatorV2(), pub, args.repeat)
    aer, aer_evs = timed(AerEstimatorV2(options={"default_precision": 0.0}), pub, args.repeat)
    rows = min(args.reference_rows, args.rows)
    reference, reference_evs = timed(StatevectorEstimator(), (qc, hamiltonian, values[:rows]),
                                     1 if rows > 100 else args.repeat)
    reference *= args.rows / rows
    np.testing.assert_allclose(our_evs, aer_evs, atol=1e-8)
    np.testing.assert_allclose(our_evs[:rows], reference_evs, atol=1e-10)

    print(f"  morvane.qiskit.EstimatorV2      {ours:9.3f} s")
    print(f"  qiskit_aer EstimatorV2          {aer:9.3f} s   ours {aer / ours:6.1f}x faster "
          f"(target 10x)")
    scaled = "" if rows == args.rows else f" (from {rows} rows)"
    print(f"  StatevectorEstimator            {reference:9.3f} s{scaled}   ours "
          f"{reference / ours:6.1f}x faster")


if __name__ == "__main__":
    main()
