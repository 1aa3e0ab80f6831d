"""QIR export: the text module, and bitcode through the external llvm-as."""

import inspect
import math
import os
import random
import re
import shutil
import struct
import subprocess
import threading

import pytest

from morvane import Circuit, Param

NOT_FOUND = "QIR bitcode export requires 'llvm-as', but it was not found on PATH"
FAILED = "QIR bitcode export failed while running 'llvm-as': "


def no_child_left():
    try:
        os.waitpid(-1, os.WNOHANG)
    except ChildProcessError:
        return True
    return False


def install_fake(tmp_path, monkeypatch, script):
    tool = tmp_path / "llvm-as"
    tool.write_text("#!/bin/sh\n" + script + "\n")
    tool.chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}:/usr/bin:/bin")


def test_signatures_and_docs():
    for name in ("to_qir", "to_qir_bitcode"):
        method = getattr(Circuit, name)
        assert str(inspect.signature(method)) == "(self, /, params=None)"
        assert method.__text_signature__ == "($self, params=None)"
    assert Circuit.to_qir.__doc__.startswith(
        "Serialize to a QIR Base Profile LLVM IR module (text `.ll`)."
    )
    assert "qir = qc.to_qir()" in Circuit.to_qir.__doc__
    assert Circuit.to_qir_bitcode.__doc__ == (
        "Serialize to QIR LLVM bitcode (`.bc`) as Python `bytes`.\n\n"
        "Requires `llvm-as` to be available on `PATH`."
    )
    names = [n for n in Circuit.__dict__ if n.startswith("to_")]
    assert names == ["to_qasm2", "to_qir", "to_qir_bitcode"]


def test_bell_module_and_parameters():
    text = Circuit(2).h(0).cx(0, 1).measure_all().to_qir()
    assert text.startswith("; ModuleID = 'morvane'\nsource_filename = \"morvane\"\n")
    assert '"required_num_qubits"="2" "required_num_results"="2" }\n' in text
    assert text.endswith('!3 = !{i32 1, !"dynamic_result_management", i1 false}\n')
    qc = Circuit(1).rx(0, Param(0))
    assert "double 0x400921FB54442D18, %Qubit* null" in qc.to_qir([math.pi])
    assert qc.to_qir(params=(0.5,)) == qc.to_qir([0.5])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c: c.to_qir(), ValueError,
         "wrong number of parameter values: circuit declares 1 free parameter(s) but 0 "
         "value(s) were provided"),
        (lambda c: c.to_qir_bitcode([1.0, 2.0]), ValueError,
         "wrong number of parameter values: circuit declares 1 free parameter(s) but 2 "
         "value(s) were provided"),
        (lambda c: c.to_qir([math.nan]), ValueError,
         "gate parameter resolved to a non-finite value (NaN or infinity)"),
        (lambda c: c.to_qir("1"), TypeError, "argument 'params': Can't extract `str` to `Vec`"),
        (lambda c: c.to_qir_bitcode(["x"]), TypeError, "argument 'params': "),
    ],
)
def test_argument_and_circuit_errors(call, error, message):
    with pytest.raises(error) as info:
        call(Circuit(1).rx(0, Param(0)))
    assert str(info.value).startswith(message)


# ---- round trip through the real assembler ---------------------------------

def random_circuit(rng):
    n = rng.randint(1, 6)
    qc = Circuit(n)
    params = 0

    def angle():
        nonlocal params
        if rng.random() < 0.3:
            params += 1
            return Param(params - 1)
        return rng.choice([0.5, -0.0, math.pi, rng.uniform(-10, 10), 1e-300])

    for _ in range(rng.randint(0, 25)):
        kind = rng.randrange(8)
        q = rng.randrange(n)
        if kind == 0:
            getattr(qc, rng.choice("h x y z s t sdg tdg".split()))(q)
        elif kind == 1:
            getattr(qc, rng.choice(["rx", "ry", "rz"]))(q, angle())
        elif kind == 2:
            qc.u(q, angle(), angle(), angle())
        elif kind == 3 and n > 1:
            a, b = rng.sample(range(n), 2)
            getattr(qc, rng.choice(["cx", "cz", "swap"]))(a, b)
        elif kind == 4 and n > 1:
            a, b = rng.sample(range(n), 2)
            getattr(qc, rng.choice(["rzz", "rxx", "cp"]))(a, b, angle())
        elif kind == 5:
            qc.barrier(rng.sample(range(n), rng.randint(0, n)))
    tail = rng.randrange(3)
    if tail == 1:
        qc.measure_all()
    elif tail == 2:
        for q in rng.sample(range(n), rng.randint(1, n)):
            qc.measure(q, rng.randrange(2 * n))
    return qc, [rng.uniform(-4, 4) for _ in range(params)]


def double_bits(token):
    if token.startswith("0x"):
        return int(token, 16)
    return struct.unpack("<Q", struct.pack("<d", float(token)))[0]


def canonical(module):
    """Calls in order, declarations, attribute groups and flags, with every
    double constant reduced to its bit pattern."""
    def doubles(line):
        return re.sub(r"double (\S+?)(?=[,)])", lambda m: f"double {double_bits(m.group(1))}", line)

    lines = module.splitlines()
    calls = [doubles(l.strip()) for l in lines if l.startswith("  call ")]
    declarations = sorted(l for l in lines if l.startswith("declare "))
    rest = [l for l in lines if l.startswith(("attributes", "!"))]
    return calls, declarations, rest


LLVM_AS = shutil.which("llvm-as")


@pytest.mark.skipif(LLVM_AS is None or shutil.which("llvm-dis") is None,
                    reason="LLVM tools are not installed")
def test_bitcode_round_trip_on_random_circuits():
    rng = random.Random(20240611)
    for _ in range(40):
        qc, values = random_circuit(rng)
        text = qc.to_qir(values)
        bitcode = qc.to_qir_bitcode(values)
        assert isinstance(bitcode, bytes) and bitcode[:4] == b"BC\xc0\xde"
        dis = subprocess.run(["llvm-dis", "-o", "-", "-"], input=bitcode, capture_output=True,
                             check=True).stdout.decode()
        assert canonical(dis) == canonical(text), text
        # The same bytes as assembling the text by hand.
        by_hand = subprocess.run([LLVM_AS, "-o", "-", "-"], input=text.encode(),
                                 capture_output=True, check=True).stdout
        assert bitcode == by_hand
    assert no_child_left()


# ---- tool failures -----------------------------------------------------------

def test_missing_tool(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    qc = Circuit(1).h(0).measure_all()
    with pytest.raises(ValueError) as info:
        qc.to_qir_bitcode()
    assert str(info.value) == NOT_FOUND
    assert qc.to_qir().startswith("; ModuleID")
    assert no_child_left()


@pytest.mark.parametrize(
    "script, message",
    [
        ("cat >/dev/null; echo '  boom  ' >&2; exit 3", "non-zero exit status 3: boom"),
        ("head -c 2000000 /dev/zero; echo flooded >&2; exit 3",
         "non-zero exit status 3: flooded"),
    ],
)
def test_failing_tool(tmp_path, monkeypatch, script, message):
    install_fake(tmp_path, monkeypatch, script)
    qc = Circuit(3)
    for i in range(3000):
        qc.rx(i % 3, float(i))
    with pytest.raises(ValueError) as info:
        qc.to_qir_bitcode()
    assert str(info.value) == FAILED + message
    assert no_child_left()


def test_lock_released_and_circuit_borrowed_while_tool_runs(tmp_path, monkeypatch):
    # The fake waits until this thread has answered its start signal; that can
    # only happen if the exporting thread let go of the interpreter lock.
    install_fake(tmp_path, monkeypatch, f"""
touch '{tmp_path}/started'
i=0
while [ ! -e '{tmp_path}/go' ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
[ -e '{tmp_path}/go' ] || exit 1
cat""")
    qc = Circuit(1).h(0)
    result = {}
    worker = threading.Thread(target=lambda: result.setdefault("out", qc.to_qir_bitcode()))
    worker.start()
    for _ in range(400):
        if (tmp_path / "started").exists():
            break
        threading.Event().wait(0.025)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        qc.x(0)
    (tmp_path / "go").touch()
    worker.join()
    assert result["out"] == qc.to_qir().encode()
    assert len(qc) == 1
