"""MaxCut with QAOA (p = 2) on a 10-node graph, trained with differential evolution on the
built-in simulator, and checked against the brute-force optimum.

The cost is a Qubo of the negated cut, so `scale=-1.0` turns it into the cut itself, which
the optimiser maximises; a progress callback prints one line per generation. Run it with
`make demo` or `.venv/bin/python examples/maxcut_qaoa.py`.
"""

import itertools
import time
from collections.abc import Callable, Sequence

import morvane

NODES = 10
# A ring with five chords: every node has degree 3, and the triangle 0-1-2 makes the graph
# non-bipartite, so no cut takes every edge.
EDGES = [(i, (i + 1) % NODES) for i in range(NODES)] + [(0, 2), (3, 7), (5, 9), (1, 6), (4, 8)]
LAYERS = 2
SHOTS = 512


def cut_value(bits: Sequence[int]) -> int:
    return sum(1 for i, j in EDGES if bits[i] != bits[j])


def negated_cut() -> morvane.Qubo:
    """cut(x) = sum over edges of x_i + x_j - 2 x_i x_j; this Qubo is its negative."""
    degree = [0] * NODES
    for i, j in EDGES:
        degree[i] += 1
        degree[j] += 1
    linear = [(v, -float(d)) for v, d in enumerate(degree)]
    quadratic = [(i, j, 2.0) for i, j in EDGES]
    return morvane.Qubo(NODES, linear=linear, quadratic=quadratic, scale=-1.0)


def qaoa_circuit() -> morvane.Circuit:
    """Parameters: gamma_1, beta_1, gamma_2, beta_2 (the factors of 2 live in the angles)."""
    qc = morvane.Circuit(NODES)
    for q in range(NODES):
        qc.h(q)
    for layer in range(LAYERS):
        gamma, beta = morvane.Param(2 * layer), morvane.Param(2 * layer + 1)
        for i, j in EDGES:
            qc.rzz(i, j, gamma)
        for q in range(NODES):
            qc.rx(q, beta)
    return qc.measure_all()


def progress_printer(best_cut: int, width: int = 40) -> Callable[[morvane.TrainProgress], None]:
    """One line per generation: the best expected cut so far, as a bar against the optimum."""

    def report(progress: morvane.TrainProgress) -> None:
        bar = "#" * round(max(progress.best_fitness, 0.0) / best_cut * width)
        print(f"  {progress.iteration:3d} {progress.best_fitness:7.3f} {bar:<{width}} "
              f"{progress.elapsed_secs:5.1f} s")

    return report


def main() -> None:
    best_cut = max(cut_value(bits) for bits in itertools.product((0, 1), repeat=NODES))
    print(f"graph: {NODES} nodes, {len(EDGES)} edges; brute-force maximum cut = {best_cut}")

    print("best expected cut per generation:")
    started = time.perf_counter()
    result = morvane.train(qaoa_circuit(), morvane.DE(generations=40, population_size=16),
                           SHOTS, 1, 2 * LAYERS, negated_cut(), "local", 1, 1, "maxcut-qaoa",
                           backend="morvane", seed=2026, callback=progress_printer(best_cut))
    elapsed = time.perf_counter() - started
    ratio = result.best_fitness / best_cut
    print(f"trained in {elapsed:.1f} s: {result.iterations_run} generations, "
          f"converged={result.converged}, seed={result.seed}")
    print(f"expected cut {result.best_fitness:.3f} = {ratio:.3f} of the optimum; "
          f"parameters {[round(p, 3) for p in result.best_params]}")

    bound = morvane.Circuit.from_qasm2(qaoa_circuit().to_qasm2(result.best_params))
    run = morvane.run_quantum_circuit(bound, 1000, "local", backend="morvane", seed=result.seed)
    # One QPU: a list holding one counts dict per circuit.
    assert isinstance(run.counts, list)
    counts = run.counts[0]
    # Keys read with qubit 0 rightmost.
    cuts = {key: cut_value([int(b) for b in reversed(key)]) for key in counts}
    hits = sum(n for key, n in counts.items() if cuts[key] == best_cut)
    print(f"final samples: {hits} of 1000 shots are optimal cuts "
          f"(best sampled cut {max(cuts.values())})")
    assert ratio >= 0.7, "QAOA fell short of 0.7 of the optimum"
    assert hits > 0, "no optimal cut among the final samples"


if __name__ == "__main__":
    main()
