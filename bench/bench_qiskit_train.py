"""Training a Qiskit `qaoa_ansatz` on the built-in simulator, in candidate evaluations per second,
against two peers timed in the same run:

(a) the same ansatz built by hand with `morvane.Circuit`, on the built-in simulator: what a Qiskit
    circuit costs once converted (target: at least 0.8 of its rate);
(b) the same Qiskit circuit on `backend="aer"`, each candidate bound by Qiskit and run by Aer
    (target: at least 20 times its rate).

MaxCut QAOA (p = 2 by default) on the 10-node graph of examples/maxcut_qaoa.py, a Qubo cost (so
no Python runs per candidate on the built-in simulator), differential evolution with early
stopping disabled; a candidate evaluation is one circuit bound, run for `--shots` shots and
reduced. Each figure is the best of `--repeat` trainings. Run by hand:
`.venv/bin/python bench/bench_qiskit_train.py [--reps 2] [--generations 20] [--population 16]`.

With the defaults on the 2-core development machine (an AVX2 EPYC without AVX-512; Qiskit 2.x,
Aer 0.18; load average about 1), two runs: the Qiskit circuit natively 5457 and 5385
candidates/s, 0.95x and 0.94x the hand-built circuit's rate, 33.7x and 32.4x Aer's. A candidate
costs about 0.2 ms natively here, most of it the 10-qubit simulation itself, so the ratio to Aer
is bound by the simulator, not by the conversion or binding.
"""

import argparse
import pathlib
import sys
import time

from qiskit.circuit.library import qaoa_ansatz
from qiskit.quantum_info import SparsePauliOp

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "examples"))
import maxcut_qaoa as example  # noqa: E402

import morvane  # noqa: E402


def qiskit_ansatz(reps):
    operator = SparsePauliOp.from_sparse_list(
        [("ZZ", [i, j], 1.0) for i, j in example.EDGES], num_qubits=example.NODES)
    qc = qaoa_ansatz(operator, reps=reps)
    qc.measure_all()
    return qc


def morvane_ansatz(reps):
    """qaoa_ansatz's circuit by hand, its parameters in Qiskit's order: beta[0..reps-1] then
    gamma[0..reps-1]; exp(-i gamma ZZ) is rzz(2 gamma), exp(-i beta X) is rx(2 beta)."""
    qc = morvane.Circuit(example.NODES)
    for q in range(example.NODES):
        qc.h(q)
    for layer in range(reps):
        beta, gamma = morvane.Param(layer), morvane.Param(reps + layer)
        for i, j in example.EDGES:
            qc.rzz(i, j, 2 * gamma)
        for q in range(example.NODES):
            qc.rx(q, 2 * beta)
    return qc.measure_all()


def rate(qc, backend, args, generations):
    """Best candidate evaluations per second over args.repeat trainings."""
    best = 0.0
    for attempt in range(args.repeat):
        method = morvane.DE(generations=generations, population_size=args.population,
                            patience=10**6)
        start = time.perf_counter()
        result = morvane.train(qc, method, args.shots, 1, 2 * args.reps, example.negated_cut(),
                               "local", 1, 1, "bench", backend=backend, seed=attempt + 1)
        elapsed = time.perf_counter() - start
        # The initial population, then one trial population per generation.
        evaluations = args.population * (result.iterations_run + 1)
        best = max(best, evaluations / elapsed)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=2)
    parser.add_argument("--population", type=int, default=16)
    parser.add_argument("--generations", type=int, default=20)
    parser.add_argument("--aer-generations", type=int, default=3)
    parser.add_argument("--shots", type=int, default=512)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    qiskit_qc = qiskit_ansatz(args.reps)
    converted = rate(qiskit_qc, "morvane", args, args.generations)
    by_hand = rate(morvane_ansatz(args.reps), "morvane", args, args.generations)
    aer = rate(qiskit_qc, "aer", args, args.aer_generations)
    print(f"qaoa_ansatz MaxCut, {example.NODES} qubits, reps={args.reps}, "
          f"population {args.population}, {args.shots} shots per candidate")
    print(f"  Qiskit circuit, built-in simulator: {converted:10.1f} candidates/s")
    print(f"  morvane.Circuit, built-in simulator: {by_hand:9.1f} candidates/s  "
          f"(Qiskit/hand-built {converted / by_hand:.2f}x, target >= 0.8x)")
    print(f"  Qiskit circuit, backend=\"aer\":       {aer:9.1f} candidates/s  "
          f"(built-in/Aer {converted / aer:.1f}x, target >= 20x)")


if __name__ == "__main__":
    main()
