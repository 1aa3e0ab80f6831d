"""A QPU of a family: an Aer simulator behind a small threaded TCP server.

    python -m morvane_python.qpu --family-dir DIR [--index I] [--cores C]
                                 [--bind HOST] [--advertise HOST] [--watch-parent PID]

The server reads the family token from ``DIR/token``, listens on a free port
and registers ``DIR/qpu-<I>.json`` (host, port, pid, index). Under SLURM the
index defaults to the task's ``SLURM_PROCID``. Requests (see ``_wire``) are
``{"op": "ping" | "run", "token": ..., ...}``; ``run`` carries ``circuit``
(``{"qasm": text}`` or ``{"qpy": base64}``), ``shots``, ``sim_method`` and
``seed`` (null for an unseeded run). One circuit runs at a time, on at most
``--cores`` threads; pings are answered while it runs.

Anything a client sends, however broken, costs at most its own connection:
errors are answered with ``{"ok": false, "error": ...}`` or the connection is
closed, and the server keeps serving the family. SIGTERM (or SIGINT) ends it
cleanly: it stops listening, removes its registry entry and exits 0.

The server imports the ``morvane`` extension (the seam's exceptions derive from
its classes, see ``errors``), so the interpreter it runs needs morvane as well
as Qiskit and Aer.
"""

import argparse
import hmac
import os
import signal
import socket
import socketserver
import sys
import threading
import time
from pathlib import Path

from . import _registry, _wire

# A client gets this long to deliver its request once it has connected.
REQUEST_READ_TIMEOUT = 30.0
_MAX_SHOTS = 1 << 40
_DRAIN_BYTES = 16 << 20


class _RequestError(Exception):
    """A request that is understood to be wrong; its text goes back to the client."""


def _log(message):
    print(f"morvane_python.qpu[{os.getpid()}]: {message}", file=sys.stderr, flush=True)


class QPUServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    block_on_close = False

    def __init__(self, address, *, token, index, cores, family):
        super().__init__(address, _Handler)
        self.token = token.encode()
        self.index = index
        self.cores = cores
        self.family = family
        self.run_lock = threading.Lock()
        self.advertised = None

    def handle_error(self, request, client_address):
        # The handler answers everything it can; what still escapes is logged
        # in one line rather than as a traceback per connection.
        _log(f"request from {client_address} failed: {sys.exc_info()[1]!r}")


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.settimeout(REQUEST_READ_TIMEOUT)
        try:
            message = _wire.recv_frame(sock, _wire.MAX_REQUEST_BYTES)
        except _wire.FrameTooLarge as exc:
            self._reply({"ok": False, "error": f"request refused: {exc}"})
            self._drain()
            return
        except _wire.FrameMalformed as exc:
            self._reply({"ok": False, "error": f"malformed request: {exc}"})
            return
        except (_wire.FrameTruncated, OSError):
            return  # the client hung up or stalled: nobody is waiting for an answer
        try:
            reply = self._dispatch(message)
        except _RequestError as exc:
            reply = {"ok": False, "error": str(exc)}
        except Exception as exc:  # a failing circuit must not take the QPU down
            reply = {"ok": False, "error": f"{type(exc).__name__}: {exc}"}
        self._reply(reply)

    def _drain(self):
        # Closing a socket with unread input makes the kernel reset the
        # connection, which can discard the reply before the client reads it.
        # Drop what the client is still sending, within limits, then close.
        try:
            self.request.shutdown(socket.SHUT_WR)
            self.request.settimeout(1.0)
            deadline = time.monotonic() + 2.0
            dropped = 0
            while dropped < _DRAIN_BYTES and time.monotonic() < deadline:
                chunk = self.request.recv(1 << 16)
                if not chunk:
                    break
                dropped += len(chunk)
        except OSError:
            pass

    def _reply(self, reply):
        try:
            self.request.settimeout(REQUEST_READ_TIMEOUT)
            _wire.send_frame(self.request, reply, _wire.MAX_REPLY_BYTES)
        except _wire.FrameTooLarge as exc:
            try:
                _wire.send_frame(self.request, {"ok": False, "error": str(exc)}, _wire.MAX_REPLY_BYTES)
            except OSError:
                pass
        except OSError:
            pass  # the client went away; nothing to tell it

    def _dispatch(self, message):
        server = self.server
        token = message.get("token")
        if not isinstance(token, str) or not hmac.compare_digest(token.encode(), server.token):
            raise _RequestError("request refused: missing or wrong family token")
        op = message.get("op")
        if op == "ping":
            host, port = server.advertised
            return {
                "ok": True, "family": server.family, "index": server.index,
                "pid": os.getpid(), "host": host, "port": port,
            }
        if op == "run":
            return {"ok": True, "counts": self._run(message)}
        raise _RequestError(f"unknown op {op!r}; expected 'ping' or 'run'")

    def _run(self, message):
        from . import _aer

        shots = message.get("shots")
        if type(shots) is not int or not 1 <= shots <= _MAX_SHOTS:
            raise _RequestError(f"shots must be an int in [1, {_MAX_SHOTS}], got {shots!r}")
        sim_method = message.get("sim_method")
        if not isinstance(sim_method, str):
            raise _RequestError(f"sim_method must be a string, got {sim_method!r}")
        seed = message.get("seed")
        if seed is not None and (type(seed) is not int or not 0 <= seed < 1 << 64):
            raise _RequestError(f"seed must be null or an unsigned 64-bit int, got {seed!r}")
        circuit = message.get("circuit")
        if not isinstance(circuit, dict) or len(circuit) != 1:
            raise _RequestError("circuit must be {\"qasm\": text} or {\"qpy\": base64 text}")
        (kind, payload), = circuit.items()
        if not isinstance(payload, str):
            raise _RequestError(f"circuit {kind!r} payload must be a string")
        if kind == "qasm":
            loaded = _aer.load_qasm(payload)
        elif kind == "qpy":
            loaded = _aer.from_qpy_text(payload)
        else:
            raise _RequestError(f"unknown circuit format {kind!r}; expected 'qasm' or 'qpy'")
        with self.server.run_lock:
            (counts,) = _aer.run_counts(
                [loaded], shots=shots, sim_method=sim_method, seed=seed,
                max_parallel_threads=self.server.cores,
            )
        return counts


def _parse_args(argv):
    parser = argparse.ArgumentParser(prog="python -m morvane_python.qpu")
    parser.add_argument("--family-dir", required=True, type=Path)
    parser.add_argument("--index", type=int, default=None)
    parser.add_argument("--cores", type=int, default=1)
    parser.add_argument("--bind", default="0.0.0.0")
    parser.add_argument("--advertise", default=None)
    parser.add_argument("--watch-parent", type=int, default=None)
    args = parser.parse_args(argv)
    if args.index is None:
        procid = os.environ.get("SLURM_PROCID")
        if procid is None or not procid.isdigit():
            parser.error("--index is required outside a SLURM task")
        args.index = int(procid)
    if args.cores < 1:
        parser.error("--cores must be >= 1")
    return args


def main(argv=None):
    args = _parse_args(argv)
    # Aer's thread count is set per run; this keeps OpenMP/BLAS pools in the
    # libraries it loads within the QPU's share of the node too.
    os.environ["OMP_NUM_THREADS"] = str(args.cores)
    family = args.family_dir.name
    try:
        _registry.check_family_dir(args.family_dir)
        token = _registry.read_token(args.family_dir)
    except (OSError, _registry.FamilyError) as exc:
        _log(f"cannot read the family token: {exc}")
        return 2
    try:
        from . import _aer

        _aer.require("qiskit")
        _aer.require("qiskit_aer")
        _aer.load_qasm('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[1];\n')
    except ImportError as exc:
        _log(str(exc))
        return 3

    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    server = QPUServer((args.bind, 0), token=token, index=args.index, cores=args.cores, family=family)
    port = server.server_address[1]
    host = args.advertise or (args.bind if args.bind not in ("0.0.0.0", "::", "") else socket.gethostname())
    server.advertised = (host, port)
    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    serving.start()

    entry_path = _registry.qpu_file(args.family_dir, args.index)
    entry = {"index": args.index, "host": host, "port": port, "pid": os.getpid()}
    try:
        _registry.write_json(entry_path, entry)
    except _registry.FamilyError as exc:
        _log(f"cannot register: {exc}")
        server.shutdown()
        server.server_close()
        return 2
    _log(f"QPU {args.index} of family '{family}' listening on {host}:{port} with {args.cores} core(s)")

    while not stop.wait(1.0):
        # Started by a local launcher: do not outlive the process that raised us.
        if args.watch_parent is not None and os.getppid() != args.watch_parent:
            _log("the launching process is gone; stopping")
            break

    server.shutdown()
    server.server_close()
    try:
        if _registry.read_json(entry_path).get("pid") == os.getpid():
            os.unlink(entry_path)
    except (OSError, ValueError, _registry.FamilyError):
        pass
    _log("stopped")
    sys.stdout.flush()
    sys.stderr.flush()
    # A run may still be inside Aer on a worker thread; leave without waiting
    # for it or for interpreter teardown around native code.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
