"""morvane.qiskit.SamplerV2 against Qiskit's samplers, timed side by side in one run.

One PUB: `efficient_su2(--qubits 12, reps=3)` with measure_all, a `--rows` x parameters array
(1,000 rows by default) and `--shots` shots (1,024). Peers:

(a) `qiskit_aer.primitives.SamplerV2` (target: ours at least 10 times faster);
(b) Qiskit's `StatevectorSampler` (target: ours at least 50 times faster).

Each figure is the best of `--repeat` runs of `sampler.run([pub]).result()`, the circuit and the
values made once beforehand; every sampler is seeded. StatevectorSampler is slow enough that it
runs on `--reference-rows` rows (100 by default) and its time is scaled to the full array (it
binds and simulates row by row, so its time is linear in the rows); pass `--reference-rows` equal
to `--rows` to time it on the whole array. Run by hand:
`.venv/bin/python bench/bench_qiskit_sampler.py [--qubits 12] [--rows 1000] [--shots 1024]`.

With the defaults on the 2-core development machine (Qiskit 2.6.2, Aer 0.18.2, other builds
running beside it, load average about 3): ours 0.40 s, Aer's SamplerV2 17.4 s (43.6x),
StatevectorSampler 58 s scaled from 100 rows (145x). Of our 0.38 s, the native batch takes all
but a few milliseconds (converting the circuit 1.8 ms): the same batch with one shot per row
takes 0.34 s, so the 1,000 12-qubit simulations dominate and the 1,024,000 shots cost about
0.06 s. Aer and StatevectorSampler bind the parameters and assemble or simulate the circuits row
by row from Python.
"""

import argparse
import time

import numpy as np
from qiskit.circuit.library import efficient_su2
from qiskit.primitives import StatevectorSampler
from qiskit_aer.primitives import SamplerV2 as AerSamplerV2

from morvane.qiskit import SamplerV2


def best_time(sampler, pub, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = sampler.run([pub]).result()
        best = min(best, time.perf_counter() - start)
    assert result[0].data.meas.num_shots == pub[2]
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=12)
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--shots", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--reference-rows", type=int, default=100)
    args = parser.parse_args()

    qc = efficient_su2(args.qubits, reps=3)
    qc.measure_all()
    values = np.random.default_rng(0).uniform(-np.pi, np.pi, (args.rows, qc.num_parameters))
    pub = (qc, values, args.shots)
    print(f"efficient_su2({args.qubits}, reps=3), {qc.num_parameters} parameters, "
          f"{args.rows} rows, {args.shots} shots, best of {args.repeat}")

    ours = best_time(SamplerV2(seed=1), pub, args.repeat)
    print(f"  morvane.qiskit.SamplerV2        {ours:9.3f} s")
    aer = best_time(AerSamplerV2(seed=1), pub, args.repeat)
    print(f"  qiskit_aer SamplerV2            {aer:9.3f} s   ours {aer / ours:6.1f}x faster "
          f"(target 10x)")
    rows = min(args.reference_rows, args.rows)
    reference = best_time(StatevectorSampler(seed=1), (qc, values[:rows], args.shots),
                          1 if rows > 100 else args.repeat) * args.rows / rows
    scaled = "" if rows == args.rows else f" (from {rows} rows)"
    print(f"  StatevectorSampler              {reference:9.3f} s{scaled}   ours "
          f"{reference / ours:6.1f}x faster (target 50x)")


if __name__ == "__main__":
    main()
