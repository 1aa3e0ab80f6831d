"""MaxCut with Qiskit's own `qaoa_ansatz` (p = 2), trained on the built-in simulator.

The ansatz is a Qiskit circuit built from the cost operator sum over edges of Z_i Z_j. The
built-in simulator converts it once (its PauliEvolutionGates through their definitions), checks
`dimensions` against its four parameters, and from then on binds and runs every candidate
natively: with a Qubo cost no Python runs inside the training loop at all. The parameters come
in `qc.parameters` order (Qiskit sorts them by name: beta[0], beta[1], gamma[0], gamma[1]), which
is also the order `params=` takes them in to run the trained circuit. Run it with
`.venv/bin/python examples/qiskit_qaoa.py`.
"""

import itertools
import time

from qiskit import QuantumCircuit
from qiskit.circuit.library import qaoa_ansatz
from qiskit.quantum_info import SparsePauliOp

import morvane
# The graph, its cut and the cost are those of the hand-built example beside this one.
from maxcut_qaoa import EDGES, NODES, SHOTS, cut_value, negated_cut


def maxcut_ansatz(reps: int = 2) -> QuantumCircuit:
    cost_operator = SparsePauliOp.from_sparse_list(
        [("ZZ", [i, j], 1.0) for i, j in EDGES], num_qubits=NODES)
    qc: QuantumCircuit = qaoa_ansatz(cost_operator, reps=reps)
    qc.measure_all()
    return qc


def main() -> None:
    best_cut = max(cut_value(bits) for bits in itertools.product((0, 1), repeat=NODES))
    qc = maxcut_ansatz()
    names = [parameter.name for parameter in qc.parameters]
    print(f"graph: {NODES} nodes, {len(EDGES)} edges; brute-force maximum cut = {best_cut}")
    print(f"ansatz: {qc.num_qubits} qubits, parameters {names}")

    started = time.perf_counter()
    result = morvane.train(qc, morvane.DE(generations=40, population_size=16), SHOTS, 1,
                           qc.num_parameters, negated_cut(), "local", 1, 1, "qiskit-qaoa",
                           backend="morvane", seed=2026)
    elapsed = time.perf_counter() - started
    ratio = result.best_fitness / best_cut
    print(f"trained in {elapsed:.1f} s: {result.iterations_run} generations, seed={result.seed}")
    print(f"expected cut {result.best_fitness:.3f} = {ratio:.3f} of the optimum; parameters "
          f"{dict(zip(names, (round(p, 3) for p in result.best_params), strict=True))}")

    run = morvane.run_quantum_circuit(qc, 1000, "local", backend="morvane", seed=result.seed,
                                      params=result.best_params)
    assert isinstance(run.counts, list)  # one QPU: one counts dict per circuit
    counts = run.counts[0]
    # Keys read with classical bit 0 (qubit 0, by measure_all) rightmost.
    cuts = {key: cut_value([int(b) for b in reversed(key)]) for key in counts}
    hits = sum(n for key, n in counts.items() if cuts[key] == best_cut)
    print(f"final samples: {hits} of 1000 shots are optimal cuts "
          f"(best sampled cut {max(cuts.values())})")
    assert ratio >= 0.7, "QAOA fell short of 0.7 of the optimum"
    assert hits > 0, "no optimal cut among the final samples"


if __name__ == "__main__":
    main()
