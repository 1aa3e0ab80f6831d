"""Native simulator against Aer, and the cost of a CUNQA family, measured in one run.

Three comparisons, each printed as a ratio against a peer timed in the same run
(these machines are shared and noisy, so absolute times mean little):

1. Single runs (QFT and layered random circuits, 16 to 24 qubits, 1000 shots):
   `run_quantum_circuit` on the native backend and on Aer through morvane,
   against Qiskit Aer called directly (`AerSimulator.run`).
2. A batch of 50 bound circuits of 12 qubits: 50 native runs, 50 Aer runs
   through morvane, and one direct Aer call with all 50 circuits.
3. A CUNQA family: raise, run and release per call (`run_quantum_circuit` on
   "cunqa"), and a batch on a family raised once, against the same circuits on
   Aer directly. Uses SLURM when `sbatch` is on PATH, local QPU processes
   otherwise (MORVANE_CUNQA_LAUNCHER overrides).

Run by hand after `make install` (and `bash scripts/slurm-cluster.sh start` for SLURM):

    .venv/bin/python bench/bench_backends.py                 # everything
    .venv/bin/python bench/bench_backends.py --sizes 16 18 --skip-cunqa
"""

import argparse
import math
import random
import time

import qiskit
import qiskit.qasm2
from qiskit_aer import AerSimulator

import morvane
import morvane_python
from morvane.circuits.templates import qft

SHOTS = 1000


def layered(n, depth, rng):
    qc = morvane.Circuit(n)
    for _ in range(depth):
        for q in range(n):
            qc.rx(q, rng.uniform(0, 2 * math.pi))
            qc.rz(q, rng.uniform(0, 2 * math.pi))
        for q in range(n):
            qc.cx(q, (q + 1) % n)
    return qc.measure_all()


def to_qiskit(qc):
    return qiskit.qasm2.loads(qc.to_qasm2(),
                              custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)


def best_of(repeats, work):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def aer_direct(circuits, seed=1):
    simulator = AerSimulator()
    compiled = qiskit.transpile(circuits, simulator)
    # Transpiling is part of what a user of Aer pays; it is timed with the run.
    return simulator.run(compiled, shots=SHOTS, seed_simulator=seed).result()


def single_runs(sizes, repeats):
    print("single runs, 1000 shots: time / Aer direct (lower is better)")
    print(f"{'circuit':<14}{'n':>4}{'aer direct s':>14}{'native':>10}{'aer via morvane':>17}")
    rng = random.Random(7)
    for n in sizes:
        for name, qc in (("qft", qft(n).measure_all()), ("layered x9", layered(n, 9, rng))):
            q = to_qiskit(qc)
            direct = best_of(repeats, lambda: aer_direct(q))
            native = best_of(repeats, lambda: morvane.run_quantum_circuit(
                qc, SHOTS, "local", backend="morvane", seed=1))
            via = best_of(repeats, lambda: morvane.run_quantum_circuit(qc, SHOTS, "local", seed=1))
            print(f"{name:<14}{n:>4}{direct:>14.4f}{native / direct:>10.3f}{via / direct:>17.3f}")


def batch(repeats):
    print("\nbatch of 50 bound circuits (12 qubits, 100 gates): time / one direct Aer call")
    rng = random.Random(11)
    template = morvane.Circuit(12)
    for i in range(100):
        if i % 3 == 2:
            template.cx(i % 12, (i + 5) % 12)
        else:
            template.ry(i % 12, morvane.Param(i % 8))
    template = template.measure_all()
    bound = [morvane.Circuit.from_qasm2(template.to_qasm2([rng.uniform(0, 6.3) for _ in range(8)]))
             for _ in range(50)]
    qiskit_batch = [to_qiskit(qc) for qc in bound]
    direct = best_of(repeats, lambda: aer_direct(qiskit_batch))
    native = best_of(repeats, lambda: [morvane.run_quantum_circuit(
        qc, SHOTS, "local", backend="morvane", seed=1) for qc in bound])
    via = best_of(repeats, lambda: [morvane.run_quantum_circuit(qc, SHOTS, "local", seed=1)
                                    for qc in bound])
    seam = best_of(repeats, lambda: morvane_python.run_qcs(
        id="bench", backend="AerSimulator", qcs=[qc.to_qasm2() for qc in bound], shots=SHOTS,
        sim_method="automatic", max_parallel_experiments=2, seed=1))
    print(f"  aer direct (one call)        {direct:.4f} s")
    print(f"  native, 50 runs              {native / direct:.3f}")
    print(f"  aer via morvane, 50 runs     {via / direct:.3f}")
    print(f"  seam run_qcs, one call       {seam / direct:.3f}")


def cunqa(repeats, n_qpus):
    print(f"\nCUNQA family of {n_qpus} QPU(s): time / Aer direct on the same circuits")
    rng = random.Random(5)
    circuits = [layered(16, 4, rng) for _ in range(8)]
    qiskit_batch = [to_qiskit(qc) for qc in circuits]
    direct_one = best_of(repeats, lambda: aer_direct(qiskit_batch[0]))
    per_call = best_of(repeats, lambda: morvane.run_quantum_circuit(
        circuits[0], SHOTS, "cunqa", n_qpus=n_qpus, cores_per_qpu=1, seed=1))
    print(f"  one circuit, raise+run+release per call: {per_call:.3f} s "
          f"= {per_call / direct_one:.1f} x Aer direct ({direct_one:.4f} s)")

    family = morvane_python.connect_to_infrastructure(
        "cunqa", n=n_qpus, t="00:30:00", n_nodes=1, family_name="bench-family", cores_per_qpu=1)
    try:
        qasm = [qc.to_qasm2() for qc in circuits]
        run = best_of(repeats, lambda: morvane_python.run_qcs(
            family_id="bench-family", backend="AerSimulator", qcs=qasm, shots=SHOTS,
            sim_method="automatic", seed=1))
    finally:
        start = time.perf_counter()
        morvane_python.disconnect_from_infrastructure("cunqa", family=family)
        release = time.perf_counter() - start
    direct = best_of(repeats, lambda: aer_direct(qiskit_batch))
    print(f"  8 circuits on a raised family: {run / direct:.3f} x Aer direct ({direct:.4f} s); "
          f"release took {release:.2f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="*", default=[16, 18, 20, 22, 24])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--n-qpus", type=int, default=2)
    parser.add_argument("--skip-cunqa", action="store_true")
    args = parser.parse_args()
    single_runs(args.sizes, args.repeats)
    batch(args.repeats)
    if not args.skip_cunqa:
        cunqa(args.repeats, args.n_qpus)


if __name__ == "__main__":
    main()
