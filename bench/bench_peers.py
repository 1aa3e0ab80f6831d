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
             memory (no copy). Double precision; always run, as the reference.
  morvane-single
             morvane.statevector(qc, fusion=True, precision="single"): the
             same in single precision, returning a complex64 array. Run only
             when named in --peers; an installed module that does not take the
             keyword, or that answers with anything but complex64, stops the
             script with a sentence saying so before anything is timed.
  aer        AerSimulator(method="statevector", max_parallel_threads=T), fusion
             at its defaults, circuit ending in save_statevector() and
             transpiled beforehand with optimization_level=0 (no gate
             rewriting). Timed: run(...).result(), i.e. conversion of the
             circuit to Aer's native form, state allocation, simulation and the
             construction of the Result with the statevector in it. The
             "aer core" column is Aer's own time_taken of the experiment (its
             C++ simulation alone), for reference.
  aer-single AerSimulator(..., precision="single"), Aer's own single-precision
             option, otherwise as aer. Run only when named in --peers.
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
is worthless. Double-precision simulators must agree with morvane to 1e-9 in
every amplitude. Single-precision ones (qsim, aer-single, morvane-single) must
stay within 4 eps sqrt(G) of it in 2-norm (each sampled amplitude likewise),
with eps = 1.2e-7 float32's machine epsilon and G the gate count (the comment
at SINGLE_HEADROOM says why), yet differ by more than 1e-10: a state closer than
float32 rounding allows was not computed in single precision.

Bit order: qulacs and Aer number qubits like morvane (qubit 0 is the least
significant bit of the amplitude index); cirq/qsim and PennyLane put the first
qubit of their order in the most significant bit, so morvane's qubit q is
handed to them as qubit n-1-q, which keeps the same memory layout in all
simulators and makes their state vectors directly comparable.

Output: one row per circuit, size and thread count with the 1-minute load
average when the row started, our time in seconds and each peer's time divided
by ours (above 1: we are faster). A second header line gives each column's
precision, f64 or f32; "aer" and "aer core" appear once for each precision of
Aer asked for. When morvane-single runs, the row goes on after a bar with our
single-precision time in seconds and, divided by it: our double-precision time
("morvane", f64: above 1, single precision is faster), Aer single's and qsim
best's, all from the same interleaved runs as the left part. Then the sweeps
over the full state that morvane makes per circuit (morvane._sweep_count, where
the module has it), and the CPU time / wall time of each run (a check that the
thread count took effect). Peers that are not installed are skipped with a
note. The figures are only as quiet as the machine: on a shared machine, run
several times and look at the load column.

Install the peers into the project's venv by hand (they are only for this
benchmark) and run, for example:

    .venv/bin/pip install qiskit qiskit-aer qulacs qsimcirq pennylane-lightning
    .venv/bin/python bench/bench_peers.py --qubits 20 22 --threads 1 2

--peers chooses what runs beside morvane's double-precision run (default: aer
qulacs qsim2 qsim4 lightning; "qsim" names both qsim2 and qsim4). Our single
precision against the single-precision peers:

    .venv/bin/python bench/bench_peers.py --qubits 20 22 --peers morvane-single aer-single qsim

and everything at once, both precisions of ours and of Aer:

    .venv/bin/python bench/bench_peers.py \
        --peers morvane-single aer aer-single qulacs qsim lightning
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
# Everything that can be timed beside morvane's double-precision run, which is
# always timed: it is the reference of every state check and of the ratios.
PEERS = ("morvane-single", "aer", "aer-single", "qulacs", "qsim2", "qsim4", "lightning")
DEFAULT_PEERS = ("aer", "qulacs", "qsim2", "qsim4", "lightning")
PEER_GROUPS = {"qsim": ("qsim2", "qsim4")}
SIMULATORS = ("morvane",) + PEERS
# The precision each simulator computes in (qsim has no double-precision CPU build).
PRECISION = {"morvane": "f64", "morvane-single": "f32", "aer": "f64", "aer-single": "f32",
             "qulacs": "f64", "qsim2": "f32", "qsim4": "f32", "qsim best": "f32",
             "lightning": "f64"}
DOUBLE_TOLERANCE = 1e-9  # max |diff| of any amplitude
# A single-precision simulator rounds each amplitude it writes to float32: a
# relative error of about eps/2 per gate (eps = 2**-23 = 1.2e-7), somewhat more
# for the multiply-adds of one gate and for its matrix rounded to float32. The
# gates are unitary, so the error made at one gate keeps its 2-norm through the
# rest of the circuit, and the errors of different gates are close to
# independent: the 2-norm of the accumulated error grows like eps * sqrt(G) for
# G gates (like G * eps only if every rounding went the same way). No single
# amplitude's error exceeds that 2-norm, so SINGLE_HEADROOM * eps * sqrt(G)
# bounds both the 2-norm of a full state's difference from morvane's double
# state and each sampled amplitude's. The largest ratio 2-norm / (eps sqrt(G))
# measured at 10 and 16 qubits was 0.37 (qsim4 on qft; Aer single 0.26, on
# qcbm), so 4 leaves a factor of 10. A wrong gate moves the state by about half
# its angle error, or by O(1), against a limit of 1.4e-5 for qcbm at 20 qubits.
FLOAT32_EPSILON = float(np.finfo(np.float32).eps)
SINGLE_HEADROOM = 4.0
# Casting a double-precision state to float32 alone leaves a 2-norm difference
# of about 3e-8; a "single-precision" state closer than this to morvane's
# double one was computed in double precision, and its column would be mislabelled.
SINGLE_FLOOR = 1e-10
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

class Unsupported(Exception):
    """The installed module cannot run this simulator kind; the message says why."""


def _morvane_circuit(gates, n):
    import morvane

    qc = morvane.Circuit(n)
    for name, qubits, angle in gates:
        if angle is None:
            getattr(qc, name)(*qubits)
        else:
            getattr(qc, name)(*qubits, angle)
    return morvane, qc, {"version": getattr(morvane, "__version__", "built here")}


def prepare_morvane(gates, n, threads):
    morvane, qc, info = _morvane_circuit(gates, n)
    info["sweeps"] = str(morvane._sweep_count(qc)) if hasattr(morvane, "_sweep_count") else "n/a"
    return (lambda: morvane.statevector(qc, fusion=True)), np.asarray, info


def prepare_morvane_single(gates, n, threads):
    morvane, qc, info = _morvane_circuit(gates, n)
    try:
        # A one-qubit probe: a module without the keyword is reported in a
        # sentence before anything is timed, not as a traceback from the run.
        morvane.statevector(morvane.Circuit(1), fusion=True, precision="single")
    except (TypeError, ValueError) as error:
        raise Unsupported(
            f"the installed morvane ({morvane.__file__}) does not take precision=\"single\" "
            f"({type(error).__name__}: {error}); install a build that has it, or leave "
            "morvane-single out of --peers") from None

    def to_state(state):
        # A complex128 answer would be timed and labelled f32 for the wrong work.
        if state.dtype != np.complex64:
            raise Unsupported(f"morvane.statevector(..., precision=\"single\") returned "
                              f"{state.dtype} amplitudes, not complex64")
        return state

    return (lambda: morvane.statevector(qc, fusion=True, precision="single")), to_state, info


def _prepare_aer(gates, n, threads, precision):
    import qiskit
    import qiskit_aer

    qc = qiskit.QuantumCircuit(n)
    for name, qubits, angle in gates:
        if angle is None:
            getattr(qc, name)(*qubits)
        else:
            getattr(qc, name)(angle, *qubits)  # Qiskit takes the angle first
    qc.save_statevector()
    simulator = qiskit_aer.AerSimulator(method="statevector", precision=precision,
                                        max_parallel_threads=threads,
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


def prepare_aer(gates, n, threads):
    return _prepare_aer(gates, n, threads, "double")


def prepare_aer_single(gates, n, threads):
    return _prepare_aer(gates, n, threads, "single")


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


PREPARE = {name: globals()[f"prepare_{name.replace('-', '_')}"] for name in SIMULATORS}


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
    try:
        serve(spec)
    except Unsupported as error:
        reply({"error": str(error)})


def serve(spec):
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

class Stop(Exception):
    """A failure that ends the script with a non-zero exit: a timing of the wrong
    circuit, or of a simulator that did not run, is worthless."""


def tolerance(simulator, gates):
    if PRECISION[simulator] == "f64":
        return DOUBLE_TOLERANCE
    return SINGLE_HEADROOM * FLOAT32_EPSILON * math.sqrt(gates)


def state_difference(simulator, state, reference):
    """What the tolerance bounds: max |diff| in double precision, the 2-norm in single."""
    if PRECISION[simulator] == "f64":
        return "max |diff|", float(np.max(np.abs(state - reference)))
    return "  ||diff||", float(np.linalg.norm(state - reference))


def verify(circuits, sizes, threads, seed, simulators):
    """Compares every simulator's state with morvane's; returns the ones present."""
    print(f"checking states against morvane f64 ({threads} thread(s), random rx/rz layer first):")
    present, notes, versions = set(simulators), {}, {}
    with tempfile.TemporaryDirectory() as folder:
        for circuit in circuits:
            for n in sizes:
                states = {}
                for simulator in [s for s in SIMULATORS if s in present]:
                    path = os.path.join(folder, f"{simulator}.npy")
                    reply = run_once(dict(simulator=simulator, circuit=circuit, n=n,
                                          threads=threads, seed=seed, mode="state", path=path))
                    if "error" in reply or (simulator == "morvane" and "skip" in reply):
                        raise Stop(f"{simulator} failed on {circuit} with {n} qubits: "
                                   f"{reply.get('error') or reply.get('skip')}")
                    if "skip" in reply:
                        notes[simulator] = reply["skip"]
                        present.discard(simulator)
                        continue
                    versions[simulator] = reply["version"] + (
                        f" ({reply['simd']})" if "simd" in reply else "")
                    states[simulator] = np.load(path)
                    gates = reply["gates"]
                reference = states.pop("morvane")
                for simulator, state in sorted(states.items()):
                    if state.shape != reference.shape:
                        raise Stop(f"{simulator}: {state.shape} amplitudes, morvane "
                                   f"{reference.shape} ({circuit}, {n} qubits)")
                    measure, diff = state_difference(simulator, state, reference)
                    limit = tolerance(simulator, gates)
                    fidelity = float(abs(np.vdot(reference, state)) ** 2)
                    ok = diff <= limit
                    print(f"  {circuit:<8}{n:>3} qubits  {simulator:<15}{PRECISION[simulator]}  "
                          f"{measure} {diff:.1e} (limit {limit:.1e})  fidelity {fidelity:.9f}"
                          f"  {'ok' if ok else 'MISMATCH'}")
                    if not ok:
                        raise Stop(f"{simulator} computes a different state from morvane on "
                                   f"{circuit} with {n} qubits ({measure.strip()} {diff:.3e} > "
                                   f"{limit:.1e})")
                    if PRECISION[simulator] == "f32" and diff < SINGLE_FLOOR:
                        raise Stop(f"{simulator} matches morvane's double-precision state on "
                                   f"{circuit} with {n} qubits to {diff:.1e}, closer than "
                                   "float32 rounding allows: it did not compute in single "
                                   "precision")
    return present, notes, versions


def check_samples(simulator, reply, reference, n, circuit):
    got = np.array([complex(*z) for z in reply["samples"]])
    want = np.array([complex(*z) for z in reference["samples"]])
    diff = float(np.max(np.abs(got - want)))
    limit = tolerance(simulator, reply["gates"])
    if diff > limit:
        raise Stop(f"{simulator}: sampled amplitudes differ from morvane's on {circuit} with "
                   f"{n} qubits (max |diff| {diff:.3e} > {limit:.1e})")


# ---- the timed runs and the tables ------------------------------------------

def ratio_text(value):
    return f"{value:.2f}" if value is not None else "-"


# Ratio columns as (label, key into a row's times); a key "x core" is Aer's own
# time_taken of simulator x. The first block divides by morvane f64's time, the
# second (shown when morvane-single runs) by morvane f32's.
DOUBLE_BLOCK = (("aer", "aer"), ("aer core", "aer core"), ("aer", "aer-single"),
                ("aer core", "aer-single core"), ("qulacs", "qulacs"), ("qsim2", "qsim2"),
                ("qsim4", "qsim4"), ("qsim best", "qsim best"), ("lightning", "lightning"))
SINGLE_BLOCK = (("morvane", "morvane"), ("aer", "aer-single"), ("qsim best", "qsim best"))


def simulator_of(key):
    if key == "qsim best":
        return ("qsim2", "qsim4")
    return (key.removesuffix(" core"),)


def table_columns(peers):
    """The ratio columns of the peers asked for, as (double block, single block)."""
    def wanted(block):
        return [(label, key) for label, key in block
                if key == "morvane" or set(simulator_of(key)) & set(peers)]

    single = wanted(SINGLE_BLOCK) if "morvane-single" in peers else []
    return wanted(DOUBLE_BLOCK), single


def table_header(columns):
    double, single = columns
    names = f"{'circuit':<9}{'n':>3}{'thr':>4}{'load':>6}{'morvane s':>11}"
    precisions = f"{'precision':<22}{'f64':>11}"
    names += "".join(f"{label:>10}" for label, _ in double)
    precisions += "".join(f"{PRECISION[simulator_of(key)[0]]:>10}" for _, key in double)
    if single:
        names += f"  |{'morvane s':>11}" + "".join(f"{label:>10}" for label, _ in single)
        precisions += f"  |{'f32':>11}" + "".join(
            f"{PRECISION[simulator_of(key)[0]]:>10}" for _, key in single)
    return names + "\n" + precisions


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
    # Our single-precision block needs its own run as the denominator.
    columns = table_columns([peer for peer in args.peers
                             if peer != "morvane-single" or peer in present])
    header = table_header(columns)
    print("\ntime / morvane's time (above 1: morvane is faster); median of "
          f"{args.repeats} runs after one warm-up, the simulators' runs interleaved")
    print("left of the bar: / morvane f64's time; right of it: / morvane f32's time "
          "(its 'morvane' column: f64 time / f32 time)" if columns[1] else
          "all ratios: / morvane f64's time")
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
                # Our own runs are the denominators: without them the row means nothing.
                for own in ("morvane", "morvane-single"):
                    if own in figures and "wall" not in figures[own]:
                        raise Stop(f"{own} failed on {circuit}, {n} qubits, {threads} "
                                   f"thread(s): {figures[own].get('error')}")
                times = {}
                for simulator in simulators:
                    figure = figures[simulator]
                    if "wall" not in figure:
                        print(f"  {simulator} failed on {circuit}, {n} qubits, {threads} "
                              f"thread(s): {figure.get('error') or figure.get('skip')}")
                        continue
                    if simulator != "morvane":
                        check_samples(simulator, figure, ours, n, circuit)
                    times[simulator] = statistics.median(figure["wall"])
                    if "core" in figure:
                        times[simulator + " core"] = figure["core"]
                qsims = [times[s] for s in ("qsim2", "qsim4") if s in times]
                if qsims:
                    times["qsim best"] = min(qsims)

                def ratios(block, base):
                    return "".join(f"{ratio_text(times[key] / base if key in times else None):>10}"
                                   for _, key in block)

                base = times["morvane"]
                line = f"{circuit:<9}{n:>3}{threads:>4}{load:>6.1f}{base:>11.4f}"
                line += ratios(columns[0], base)
                if columns[1]:
                    single = times["morvane-single"]
                    line += f"  |{single:>11.4f}" + ratios(columns[1], single)
                print(line, flush=True)
                rows.append((circuit, n, threads, line, figures))
    return header, rows


def report(header, rows, notes, versions, peers):
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
    simulators = ["morvane"] + [peer for peer in PEERS if peer in peers]
    widths = {simulator: max(10, len(simulator) + 1) for simulator in simulators}
    print(f"{'circuit':<9}{'n':>3}{'thr':>4}" + "".join(f"{s:>{widths[s]}}" for s in simulators))
    suspicious = []
    for circuit, n, threads, _, replies in rows:
        cells = []
        for simulator in simulators:
            reply = replies.get(simulator, {})
            if "wall" in reply:
                busy = sum(reply["cpu"]) / sum(reply["wall"])
                cells.append(f"{busy:>{widths[simulator]}.2f}")
                if busy > threads + 0.3:
                    suspicious.append(f"{simulator} ({circuit}, {n} qubits, {threads} thread(s))")
            else:
                cells.append(f"{'-':>{widths[simulator]}}")
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
    parser.add_argument("--peers", nargs="+", choices=PEERS + tuple(PEER_GROUPS),
                        default=list(DEFAULT_PEERS),
                        help="simulators to time beside morvane f64: the peers, the "
                             "single-precision kinds morvane-single and aer-single, and qsim for "
                             "qsim2 and qsim4 (default: " + " ".join(DEFAULT_PEERS) + "; those "
                             "not installed are skipped)")
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
    args.peers = [peer for peer in PEERS if any(
        peer in PEER_GROUPS.get(name, (name,)) for name in args.peers)]

    print(f"{os.cpu_count()} logical CPUs, load average {os.getloadavg()[0]:.1f}; "
          "other work on this machine makes the figures noisy")
    try:
        present, notes, versions = verify(args.circuits, args.verify_qubits, max(args.threads),
                                          args.seed, ["morvane"] + args.peers)
        for simulator, note in sorted(notes.items()):
            print(f"  skipping {simulator}: {note}")
        header, rows = measure(args, present)
    except Stop as error:
        print(f"\nFAILED: {error}", file=sys.stderr)
        return 1
    report(header, rows, notes, versions, args.peers)
    return 0


if __name__ == "__main__":
    sys.exit(main())
