"""Does statevector() let two Python threads simulate at the same time?

Times one statevector() call on one thread, then two threads each making the
same call at once, and prints the ratio of the two-thread wall time to twice
the one-thread time. A ratio well below 1 means the calls overlapped, i.e. the
interpreter lock is released during the simulation; a ratio near 1 means they
ran one after the other.

Run by hand against an installed or built module, for example:

    RAYON_NUM_THREADS=1 PYTHONPATH=build/py/src/python python bench/bench_statevector_threads.py

RAYON_NUM_THREADS=1 is recommended: with a one-worker pool each call is
single-threaded, so the pool's own parallelism cannot hide (or fake) the
effect. The machine needs at least two free cores for a ratio near 0.5.
"""

import argparse
import statistics
import threading
import time

import morvane


def build_circuit(num_qubits, layers):
    qc = morvane.Circuit(num_qubits)
    for layer in range(layers):
        for q in range(num_qubits):
            qc.ry(q, 0.1 * (q + 1) + layer)
        for q in range(num_qubits - 1):
            qc.cx(q, q + 1)
    return qc


def time_one_thread(qc):
    start = time.perf_counter()
    morvane.statevector(qc)
    return time.perf_counter() - start


def time_two_threads(qc):
    barrier = threading.Barrier(3)

    def work():
        barrier.wait()
        morvane.statevector(qc)

    threads = [threading.Thread(target=work) for _ in range(2)]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=21)
    parser.add_argument("--layers", type=int, default=4)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    qc = build_circuit(args.qubits, args.layers)
    morvane.statevector(qc)  # warm-up: calibration lookup, pool start, page faults
    one = [time_one_thread(qc) for _ in range(args.repeats)]
    two = [time_two_threads(qc) for _ in range(args.repeats)]
    t1, t2 = statistics.median(one), statistics.median(two)
    print(f"circuit: {args.qubits} qubits, {len(qc)} gates, median of {args.repeats} runs")
    print(f"one thread, one call:        {t1 * 1e3:9.1f} ms")
    print(f"two threads, one call each:  {t2 * 1e3:9.1f} ms")
    print(f"ratio two-thread / (2 x one-thread): {t2 / (2 * t1):.3f} "
          "(1.0 = serialised, 0.5 = fully overlapped)")


if __name__ == "__main__":
    main()
