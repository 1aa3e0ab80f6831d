"""Morvane's statevector simulator against peer simulators, measured in one run.

Circuits (the same gate list is handed to every simulator):

  qcbm     the qulacs benchmark circuit (the "QCBM" circuit of the qulacs
           benchmark suite): rx, rz on every qubit; then 9 layers of a cx ring
           followed by rz, rx, rz on every qubit; then a last cx ring and rz, rx
           on every qubit. The ring is cx(i, i+1) for i = 0..n-2, then
           cx(n-1, 0); angles are uniform in [0, 1) as in that suite.
           31 n rotations and 10 n cx in all.
  qft      quantum Fourier transform: h, controlled-phase cascade, final swaps
           (the Qiskit QFT convention, as morvane.circuits.templates.qft).
  layered  (not run by default) 9 layers of rx, rz with random angles on every
           qubit, each followed by the cx ring: the simplified form of qcbm.

Simulators, each in its own process with its thread count fixed in the
environment before anything is imported (OMP_NUM_THREADS, RAYON_NUM_THREADS,
QULACS_NUM_THREADS, OPENBLAS_NUM_THREADS, MKL_NUM_THREADS all set to the count),
the circuit built and converted before the clock starts, one warm-up run, then
the median of --repeats runs. The simulators of one row stay up side by side
and take turns run by run, so that a burst of load from elsewhere on the
machine hits all of them alike. What each timed run includes:

  morvane    morvane.statevector(qc, fusion=True): state allocation, fusion
             planning, simulation; the returned array shares the simulator's
             memory (no copy).
  aer        AerSimulator(method="statevector", max_parallel_threads=T), fusion
             at its defaults, circuit ending in save_statevector() and
             transpiled beforehand with optimization_level=0 (no gate
             rewriting). Timed: run(...).result(), i.e. conversion of the
             circuit to Aer's native form, state allocation, simulation and the
             construction of the Result with the statevector in it. The
             "aer core" column is Aer's own time_taken of the experiment (its
             C++ simulation alone), for reference.
  qulacs     QuantumState(n) then QuantumCircuit.update_quantum_state: state
             allocation and simulation, no circuit optimiser (the unoptimised
             variant of the qulacs suite). Threads: OpenMP (OMP_NUM_THREADS).
  qsim2/4    qsimcirq with QSimOptions(max_fused_gate_size=2 or 4,
             cpu_threads=T), single precision (qsim's only CPU precision).
             The cirq circuit is translated to qsim's native circuit once,
             beforehand; timed is qsim's full-state call (fusion, state
             allocation, simulation) that QSimSimulator.simulate makes after
             its own Python-side translation and parameter resolution.
             "qsim best" is the faster of the two fusion sizes.
  lightning  PennyLane lightning.qubit, a tape with qml.state(), preprocessed
             beforehand; timed is device.execute(tapes): resetting the
             device's state (lightning reuses its buffer between executions,
             so there is no fresh allocation), applying the gates one by one
             from Python into its C++ kernels, and copying the state out.
             Threads: OMP_NUM_THREADS, which its documentation names for its
             OpenMP gate kernels; with the 0.45.0 wheel the gates still ran on
             one core at 2 threads (CPU/wall 1.0 in the last table), so its
             2-thread rows are in effect single-threaded.

Before any timing, every simulator's state is compared with morvane's on small
registers (--verify-qubits) with a random rx/rz layer in front of each circuit,
so that QFT's output is not the trivial uniform state; every timed run also
returns a few amplitudes, checked against morvane's at the timed size. Any
mismatch stops the script with a non-zero exit: a timing of the wrong circuit
is worthless. Bit order: qulacs and Aer number qubits like morvane (qubit 0 is
the least significant bit of the amplitude index); cirq/qsim and PennyLane put
the first qubit of their order in the most significant bit, so morvane's qubit
q is handed to them as qubit n-1-q, which keeps the same memory layout in all
simulators and makes their state vectors directly comparable.

Output: one row per circuit, size and thread count with our time in seconds
and each peer's time divided by ours (above 1: we are faster), the sweeps over
the full state that morvane makes per circuit (morvane._sweep_count, where
the module has it), and the CPU time / wall time of each run (a check that the
thread count took effect). Peers that are not installed are skipped with a
note. The figures are only as quiet as the machine: on a shared machine, run
several times and look at the load column.

Install the peers into the project's venv by hand (they are only for this
benchmark) and run, for example:

    .venv/bin/pip install qiskit qiskit-aer qulacs qsimcirq pennylane-lightning
    .venv/bin/python bench/bench_peers.py --qubits 20 22 --threads 1 2
"""

import argparse
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

THREAD_VARIABLES = ("OMP_NUM_THREADS", "RAYON_NUM_THREADS", "QULACS_NUM_THREADS",
                    "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")
PEERS = ("aer", "qulacs", "qsim2", "qsim4", "lightning")
SIMULATORS = ("morvane",) + PEERS
# Single-precision simulators are compared with a looser tolerance.
SINGLE_PRECISION = {"qsim2", "qsim4"}
VERIFY_TOLERANCE = {"double": 1e-9, "single": 2e-5}
SAMPLED_AMPLITUDES = 16


# ---- circuits, as plain gate lists: (name, qubits, angle or None) -----------

def cx_ring(n):
    return [("cx", (q, q + 1), None) for q in range(n - 1)] + [("cx", (n - 1, 0), None)]


def rotations(n, names, rng):
    return [(name, (q,), rng.random()) for q in range(n) for name in names]


def qcbm(n, rng):
    gates = rotations(n, ("rx", "rz"), rng) + cx_ring(n)
    for _ in range(9):
        gates += rotations(n, ("rz", "rx", "rz"), rng) + cx_ring(n)
    return gates + rotations(n, ("rz", "rx"), rng)


def qft(n, rng):
    gates = []
    for j in reversed(range(n)):
        gates.append(("h", (j,), None))
        for k in reversed(range(j)):
            gates.append(("cp", (j, k), math.pi / 2 ** (j - k)))
    gates += [("swap", (q, n - 1 - q), None) for q in range(n // 2)]
    return gates


def layered(n, rng):
    gates = []
    for _ in range(9):
        gates += [(name, (q,), rng.uniform(0, 2 * math.pi)) for q in range(n)
                  for name in ("rx", "rz")]
        gates += cx_ring(n)
    return gates


CIRCUITS = {"qcbm": qcbm, "qft": qft, "layered": layered}


def gate_list(circuit, n, seed, prepare):
    # A string seed is hashed deterministically, so every worker process
    # rebuilds exactly the same angles.
    rng = random.Random(f"{circuit}/{n}/{seed}")
    prefix = rotations(n, ("rx", "rz"), random.Random(f"prep/{n}/{seed}")) if prepare else []
    return prefix + CIRCUITS[circuit](n, rng)


def sample_indices(n, seed):
    rng = random.Random(f"samples/{n}/{seed}")
    return sorted(rng.randrange(2 ** n) for _ in range(SAMPLED_AMPLITUDES))


# ---- one function per simulator ---------------------------------------------
# Each returns (run, to_state, info): run() is the timed simulation, to_state
# turns its result into a complex vector in morvane's amplitude order (untimed),
# info names the version and may add extra per-run figures.

def prepare_morvane(gates, n, threads):
    import morvane

    qc = morvane.Circuit(n)
    for name, qubits, angle in gates:
        if angle is None:
            getattr(qc, name)(*qubits)
        else:
            getattr(qc, name)(*qubits, angle)
    sweeps = str(morvane._sweep_count(qc)) if hasattr(morvane, "_sweep_count") else "n/a"
    info = {"version": getattr(morvane, "__version__", "built here"), "sweeps": sweeps}
    return (lambda: morvane.statevector(qc, fusion=True)), np.asarray, info


def prepare_aer(gates, n, threads):
    import qiskit
    import qiskit_aer

    qc = qiskit.QuantumCircuit(n)
    for name, qubits, angle in gates:
        if angle is None:
            getattr(qc, name)(*qubits)
        else:
            getattr(qc, name)(angle, *qubits)  # Qiskit takes the angle first
    qc.save_statevector()
    simulator = qiskit_aer.AerSimulator(method="statevector", max_parallel_threads=threads,
                                        max_parallel_experiments=1, max_parallel_shots=1)
    compiled = qiskit.transpile(qc, simulator, optimization_level=0)
    ops = compiled.count_ops()
    ops.pop("save_statevector", None)
    if sum(ops.values()) != len(gates):
        raise RuntimeError(f"transpiling changed the gate count: {dict(ops)} vs {len(gates)}")

    def to_state(result):
        return np.asarray(result.get_statevector(compiled).data)

    info = {"version": qiskit_aer.__version__,
            "extra": lambda result: {"core": result.results[0].time_taken}}
    return (lambda: simulator.run(compiled).result()), to_state, info


def prepare_qulacs(gates, n, threads):
    import qulacs
    from qulacs.gate import DenseMatrix

    circuit = qulacs.QuantumCircuit(n)
    for name, qubits, angle in gates:
        # qulacs' RX and RZ are exp(+i angle P / 2); morvane's, Qiskit's and
        # cirq's are exp(-i angle P / 2). Same kernel, negated angle.
        if name == "rx":
            circuit.add_RX_gate(qubits[0], -angle)
        elif name == "rz":
            circuit.add_RZ_gate(qubits[0], -angle)
        elif name == "cx":
            circuit.add_CNOT_gate(*qubits)
        elif name == "h":
            circuit.add_H_gate(qubits[0])
        elif name == "swap":
            circuit.add_SWAP_gate(*qubits)
        elif name == "cp":
            phase = DenseMatrix(qubits[1], [[1, 0], [0, complex(math.cos(angle), math.sin(angle))]])
            phase.add_control_qubit(qubits[0], 1)
            circuit.add_gate(phase)
        else:
            raise ValueError(f"no qulacs form for {name}")

    def run():
        state = qulacs.QuantumState(n)
        circuit.update_quantum_state(state)
        return state

    version = getattr(qulacs, "__version__", None) or _distribution_version("qulacs")
    return run, (lambda state: state.get_vector()), {"version": version}


def _prepare_qsim(gates, n, threads, fused):
    import cirq
    import qsimcirq

    # Morvane's qubit q becomes LineQubit(n-1-q): qsim puts the last qubit of
    # the order in the lowest index bit, so its memory layout is morvane's.
    line = cirq.LineQubit.range(n)

    def qubit(q):
        return line[n - 1 - q]

    def op(name, qubits, angle):
        targets = [qubit(q) for q in qubits]
        if name == "rx":
            return cirq.rx(angle).on(*targets)
        if name == "rz":
            return cirq.rz(angle).on(*targets)
        if name == "cx":
            return cirq.CNOT.on(*targets)
        if name == "h":
            return cirq.H.on(*targets)
        if name == "swap":
            return cirq.SWAP.on(*targets)
        if name == "cp":
            return cirq.CZPowGate(exponent=angle / math.pi).on(*targets)
        raise ValueError(f"no cirq form for {name}")

    circuit = cirq.Circuit(op(*gate) for gate in gates)
    options = qsimcirq.QSimOptions(max_fused_gate_size=fused, cpu_threads=threads).as_dict()
    order = cirq.QubitOrder.as_qubit_order(cirq.QubitOrder.DEFAULT).order_for(line)
    options["c"], _ = qsimcirq.QSimCircuit(circuit).translate_cirq_to_qsim(order)
    options["s"] = 1
    backend = qsimcirq.qsim  # the SIMD build qsimcirq picked for this CPU

    def to_state(raw):
        return raw.view(np.complex64)

    info = {"version": qsimcirq.__version__, "simd": backend.__name__.rsplit(".", 1)[-1]}
    return (lambda: backend.qsim_simulate_fullstate(options, 0)), to_state, info


def prepare_qsim2(gates, n, threads):
    return _prepare_qsim(gates, n, threads, 2)


def prepare_qsim4(gates, n, threads):
    return _prepare_qsim(gates, n, threads, 4)


def prepare_lightning(gates, n, threads):
    import pennylane as qml

    # PennyLane's wire 0 is the most significant bit: morvane's qubit q is
    # wire n-1-q, which keeps morvane's layout (see _prepare_qsim).
    def wires(qubits):
        return [n - 1 - q for q in qubits]

    forms = {"rx": qml.RX, "rz": qml.RZ, "cp": qml.ControlledPhaseShift,
             "cx": qml.CNOT, "h": qml.Hadamard, "swap": qml.SWAP}
    ops = [forms[name](angle, wires=wires(qubits)) if angle is not None
           else forms[name](wires=wires(qubits)) for name, qubits, angle in gates]
    device = qml.device("lightning.qubit", wires=n)
    config = device.setup_execution_config()
    tapes, _ = device.preprocess_transforms(config)([qml.tape.QuantumScript(ops, [qml.state()])])
    if sum(len(tape.operations) for tape in tapes) != len(gates):
        raise RuntimeError("preprocessing changed the gate count")

    info = {"version": _distribution_version("pennylane-lightning")}
    return (lambda: device.execute(tapes, config)), (lambda result: result[0]), info


PREPARE = {name: globals()[f"prepare_{name}"] for name in SIMULATORS}


def _distribution_version(name):
    from importlib.metadata import version

    return version(name)


# ---- the worker: one simulator, one circuit, one size, one thread count -----
# A timing worker prepares its circuit, makes the warm-up run and then waits
# for commands on stdin, one timed run per "run" line, so that the parent can
# interleave the simulators run by run: a burst of load from elsewhere on the
# machine then hits all of them alike instead of one simulator's whole series.

REPLY = "@bench@ "  # marks the worker's replies among anything a library prints


def reply(message):
    print(REPLY + json.dumps(message), flush=True)


def worker(spec):
    gates = gate_list(spec["circuit"], spec["n"], spec["seed"], spec["mode"] == "state")
    try:
        run, to_state, info = PREPARE[spec["simulator"]](gates, spec["n"], spec["threads"])
    except ImportError as error:
        reply({"skip": f"not installed ({error})"})
        return
    extra = info.pop("extra", None)
    if spec["mode"] == "state":
        np.save(spec["path"], np.ascontiguousarray(to_state(run()), dtype=np.complex128))
        reply(dict(info, gates=len(gates)))
        return

    run()  # warm-up: page faults, thread start, lazy initialisation
    reply(dict(info, gates=len(gates)))
    for command in sys.stdin:
        start_cpu, start = time.process_time(), time.perf_counter()
        result = run()
        out = {"wall": time.perf_counter() - start, "cpu": time.process_time() - start_cpu}
        if extra is not None:
            out.update(extra(result))
        if command.strip() == "last":
            samples = to_state(result)[sample_indices(spec["n"], spec["seed"])]
            out["samples"] = [[z.real, z.imag] for z in samples.tolist()]
        result = None  # free the state before the next run allocates one
        reply(out)


class Worker:
    """A worker process with its thread count fixed in its environment."""

    def __init__(self, spec):
        env = dict(os.environ, **{name: str(spec["threads"]) for name in THREAD_VARIABLES})
        self.errors = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--worker", json.dumps(spec)],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors,
            text=True)

    def request(self, command=None):
        """Sends a command (none: waits for the first reply) and returns the reply."""
        try:
            if command is not None:
                self.proc.stdin.write(command + "\n")
                self.proc.stdin.flush()
            for line in self.proc.stdout:
                if line.startswith(REPLY):
                    return json.loads(line[len(REPLY):])
        except BrokenPipeError:
            pass
        self.proc.wait()
        self.errors.seek(0)
        tail = "\n".join(self.errors.read().strip().splitlines()[-15:])
        return {"error": f"exit {self.proc.returncode}\n{tail}"}

    def close(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        self.proc.wait()
        self.errors.close()


def run_once(spec):
    worker_process = Worker(spec)
    try:
        return worker_process.request()
    finally:
        worker_process.close()


# ---- checks -----------------------------------------------------------------

class Mismatch(Exception):
    pass


def tolerance(simulator):
    return VERIFY_TOLERANCE["single" if simulator in SINGLE_PRECISION else "double"]


def verify(circuits, sizes, threads, seed, simulators):
    """Compares every simulator's state with morvane's; returns the ones present."""
    print(f"checking states against morvane ({threads} thread(s), random rx/rz layer first):")
    present, notes, versions = set(simulators), {}, {}
    with tempfile.TemporaryDirectory() as folder:
        for circuit in circuits:
            for n in sizes:
                states = {}
                for simulator in ["morvane"] + sorted(present - {"morvane"}):
                    path = os.path.join(folder, f"{simulator}.npy")
                    reply = run_once(dict(simulator=simulator, circuit=circuit, n=n,
                                          threads=threads, seed=seed, mode="state", path=path))
                    if "error" in reply or (simulator == "morvane" and "skip" in reply):
                        raise Mismatch(f"{simulator} failed on {circuit} with {n} qubits: "
                                       f"{reply.get('error') or reply.get('skip')}")
                    if "skip" in reply:
                        notes[simulator] = reply["skip"]
                        present.discard(simulator)
                        continue
                    versions[simulator] = reply["version"] + (
                        f" ({reply['simd']})" if "simd" in reply else "")
                    states[simulator] = np.load(path)
                reference = states.pop("morvane")
                for simulator, state in sorted(states.items()):
                    if state.shape != reference.shape:
                        raise Mismatch(f"{simulator}: {state.shape} amplitudes, morvane "
                                       f"{reference.shape} ({circuit}, {n} qubits)")
                    diff = float(np.max(np.abs(state - reference)))
                    fidelity = float(abs(np.vdot(reference, state)) ** 2)
                    ok = diff <= tolerance(simulator)
                    print(f"  {circuit:<8}{n:>3} qubits  {simulator:<10} max |diff| {diff:.1e}"
                          f"  fidelity {fidelity:.9f}  {'ok' if ok else 'MISMATCH'}")
                    if not ok:
                        raise Mismatch(f"{simulator} computes a different state from morvane on "
                                       f"{circuit} with {n} qubits (max |diff| {diff:.3e} > "
                                       f"{tolerance(simulator):.0e})")
    return present, notes, versions


def check_samples(simulator, reply, reference, n, circuit):
    got = np.array([complex(*z) for z in reply["samples"]])
    want = np.array([complex(*z) for z in reference["samples"]])
    diff = float(np.max(np.abs(got - want)))
    if diff > tolerance(simulator):
        raise Mismatch(f"{simulator}: sampled amplitudes differ from morvane's on {circuit} with "
                       f"{n} qubits (max |diff| {diff:.3e})")


# ---- the timed runs and the tables ------------------------------------------

def ratio_text(value):
    return f"{value:.2f}" if value is not None else "-"


COLUMNS = ("aer", "aer core", "qulacs", "qsim2", "qsim4", "qsim best", "lightning")


def time_row(spec, simulators, repeats):
    """Times one row with all simulators' runs interleaved; returns their figures."""
    workers, figures = {}, {}
    try:
        for simulator in simulators:
            # One at a time, so that warm-ups do not compete for the cores.
            workers[simulator] = Worker(dict(spec, simulator=simulator))
            figures[simulator] = workers[simulator].request()
            if "error" in figures[simulator] or "skip" in figures[simulator]:
                workers.pop(simulator).close()
        for round_ in range(repeats):
            names = list(workers)
            # Rotate who goes first, so no simulator always runs right after another.
            for simulator in names[round_ % len(names):] + names[:round_ % len(names)]:
                out = workers[simulator].request("last" if round_ == repeats - 1 else "run")
                if "error" in out:
                    figures[simulator] = out
                    workers.pop(simulator).close()
                    continue
                for key, value in out.items():
                    figures[simulator].setdefault(key, []).append(value)
    finally:
        for worker_process in workers.values():
            worker_process.close()
    for figure in figures.values():
        if "samples" in figure:
            figure["samples"] = figure["samples"][-1]
        if "core" in figure:
            figure["core"] = statistics.median(figure["core"])
    return figures


def measure(args, present):
    header = (f"{'circuit':<9}{'n':>3}{'thr':>4}{'load':>6}{'morvane s':>11}"
              + "".join(f"{name:>10}" for name in COLUMNS))
    print("\ntime / morvane's time (above 1: morvane is faster); median of "
          f"{args.repeats} runs after one warm-up, the simulators' runs interleaved")
    print(header)
    rows = []
    simulators = ["morvane"] + [peer for peer in PEERS if peer in present]
    for circuit in args.circuits:
        for n in args.qubits:
            for threads in args.threads:
                load = os.getloadavg()[0]
                spec = dict(circuit=circuit, n=n, threads=threads, seed=args.seed, mode="time")
                figures = time_row(spec, simulators, args.repeats)
                ours = figures["morvane"]
                if "wall" not in ours:
                    raise Mismatch(f"morvane failed on {circuit}, {n} qubits: {ours}")
                base = statistics.median(ours["wall"])
                ratios = {}
                for simulator in PEERS:
                    figure = figures.get(simulator)
                    if figure is None:
                        continue
                    if "wall" not in figure:
                        print(f"  {simulator} failed on {circuit}, {n} qubits, {threads} "
                              f"thread(s): {figure.get('error') or figure.get('skip')}")
                        continue
                    check_samples(simulator, figure, ours, n, circuit)
                    ratios[simulator] = statistics.median(figure["wall"]) / base
                    if "core" in figure:
                        ratios[simulator + " core"] = figure["core"] / base
                qsims = [ratios[s] for s in ("qsim2", "qsim4") if s in ratios]
                ratios["qsim best"] = min(qsims) if qsims else None
                line = (f"{circuit:<9}{n:>3}{threads:>4}{load:>6.1f}{base:>11.4f}"
                        + "".join(f"{ratio_text(ratios.get(name)):>10}" for name in COLUMNS))
                print(line, flush=True)
                rows.append((circuit, n, threads, line, figures))
    return header, rows


def report(header, rows, notes, versions):
    print("\nsummary (same figures):")
    print(header)
    for *_, line, _ in rows:
        print(line)

    print("\nmorvane's sweeps over the full state per circuit:")
    print(f"{'circuit':<9}{'n':>3}{'gates':>7}{'sweeps':>8}")
    seen = set()
    for circuit, n, _, _, replies in rows:
        if (circuit, n) not in seen:
            seen.add((circuit, n))
            ours = replies["morvane"]
            print(f"{circuit:<9}{n:>3}{ours['gates']:>7}{ours['sweeps']:>8}")

    print("\nCPU time / wall time of the timed runs (about 1 with one thread; up to 2 with two):")
    print(f"{'circuit':<9}{'n':>3}{'thr':>4}" + "".join(f"{s:>10}" for s in SIMULATORS))
    suspicious = []
    for circuit, n, threads, _, replies in rows:
        cells = []
        for simulator in SIMULATORS:
            reply = replies.get(simulator, {})
            if "wall" in reply:
                busy = sum(reply["cpu"]) / sum(reply["wall"])
                cells.append(f"{busy:>10.2f}")
                if busy > threads + 0.3:
                    suspicious.append(f"{simulator} ({circuit}, {n} qubits, {threads} thread(s))")
            else:
                cells.append(f"{'-':>10}")
        print(f"{circuit:<9}{n:>3}{threads:>4}" + "".join(cells))
    if suspicious:
        print("warning: more CPU than threads allowed for " + ", ".join(suspicious))

    print("\nversions: " + ", ".join(f"{k} {v}" for k, v in sorted(versions.items())))
    for simulator, note in sorted(notes.items()):
        print(f"skipped {simulator}: {note}")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__,
        epilog="Peers are optional: install them into .venv by hand (see the module docstring "
               "or README). The machine's load shows in the 'load' column; compare ratios, "
               "not seconds, and repeat on a busy machine.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--qubits", type=int, nargs="+", default=[20, 22, 24, 26],
                        help="register sizes to time (default: 20 22 24 26; 26 qubits is 1 GiB "
                             "of state per simulator)")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2],
                        help="thread counts (default: 1 2)")
    parser.add_argument("--repeats", type=int, default=5,
                        help="timed runs after the warm-up; the median is reported (default: 5)")
    parser.add_argument("--circuits", nargs="+", choices=sorted(CIRCUITS), default=["qcbm", "qft"],
                        help="circuits to time (default: qcbm qft)")
    parser.add_argument("--peers", nargs="+", choices=PEERS, default=list(PEERS),
                        help="peers to compare with (default: all that are installed)")
    parser.add_argument("--verify-qubits", type=int, nargs="+", default=[10, 16],
                        help="register sizes of the state check before timing (default: 10 16)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the random angles")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker is not None:
        print(json.dumps(worker(json.loads(args.worker))))
        return 0
    if min(args.qubits + args.verify_qubits) < 2 or min(args.threads) < 1 or args.repeats < 1:
        parser.error("need at least 2 qubits, 1 thread and 1 repeat")

    print(f"{os.cpu_count()} logical CPUs, load average {os.getloadavg()[0]:.1f}; "
          "other work on this machine makes the figures noisy")
    try:
        present, notes, versions = verify(args.circuits, args.verify_qubits, max(args.threads),
                                          args.seed, ["morvane"] + args.peers)
        for simulator, note in sorted(notes.items()):
            print(f"  skipping {simulator}: {note}")
        header, rows = measure(args, present)
    except Mismatch as error:
        print(f"\nFAILED: {error}", file=sys.stderr)
        return 1
    report(header, rows, notes, versions)
    return 0


if __name__ == "__main__":
    sys.exit(main())
