"""Compares the C++ random source (through its draw tool) with random_reference.

Usage: check_random_source.py <path to optim_random_draws>
"""

import pathlib
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import random_reference as ref  # noqa: E402


def hexbits(value):
    return "%016x" % ref.float_to_bits(value)


def requests():
    """(request line, function of a Reference giving the expected answer)."""
    out = []

    def add(line, expect):
        out.append((line, expect))

    for seed in (0, 1, 42, 0xFFFFFFFFFFFFFFFF, 0x0123456789ABCDEF):
        add("seed %d" % seed, None)
        # More than three refills of plain words: counters 0..15.
        for _ in range(300):
            add("u32", lambda r: str(r.u32()))
        # 300 words consumed leaves 20 in the buffer: 64-bit draws drain it
        # evenly, then one odd word sets up a draw across the refill.
        for _ in range(10):
            add("u64", lambda r: str(r.u64()))
        add("u32", lambda r: str(r.u32()))
        for _ in range(40):
            add("u64", lambda r: str(r.u64()))
        for _ in range(50):
            add("unit", lambda r: hexbits(r.unit()))
        for low, high in ((0.0, 6.283185307179586), (-3.141592653589793, 3.141592653589793),
                          (-0.6283185307179586, 0.6283185307179586),
                          # One ulp wide: about half the draws round up to
                          # `high` and must be drawn again.
                          (1.0, 1.0000000000000002), (-5.0, -4.999999999999999)):
            for _ in range(20):
                add("uniform %s %s" % (hexbits(low), hexbits(high)),
                    lambda r, lo=low, hi=high: hexbits(r.uniform(lo, hi)))
        for p in (0.0, 1.0, 0.7, 0.5, 1e-300):
            for _ in range(20):
                add("bernoulli %s" % hexbits(p), lambda r, p=p: "1" if r.bernoulli(p) else "0")
        # A range just above 2^31 rejects about half of its draws.
        for low, high in ((0, 0), (0, 2), (5, 9), (0, 2**31), (7, 2**31 + 7), (0, 2**32 - 1),
                          (1, 2**32 - 1)):
            for _ in range(20):
                add("int %d %d" % (low, high),
                    lambda r, lo=low, hi=high: str(r.integer(lo, hi)))
        for n, k in ((3, 3), (4, 3), (49, 3), (10, 10), (5, 0), (2**32 - 1, 3), (2, 3)):
            for _ in range(10):
                add("sample %d %d" % (n, k), lambda r, n=n, k=k: sample_text(r, n, k))
    return out


def sample_text(r, n, k):
    try:
        return "sample" + "".join(" %d" % i for i in r.sample(n, k))
    except ValueError as error:
        return "error %s" % error


def main():
    tool = sys.argv[1]
    plan = requests()
    stdin = "".join(line + "\n" for line, _ in plan)
    run = subprocess.run([tool], input=stdin, capture_output=True, text=True, check=True)
    answers = run.stdout.splitlines()
    if len(answers) != len(plan):
        print("tool answered %d of %d requests" % (len(answers), len(plan)))
        return 1

    failures = 0
    totals = {"straddles": 0, "redraws": 0, "rejections": 0, "inserts": 0}
    reference = None
    for (line, expect), got in zip(plan, answers):
        if expect is None:
            if reference is not None:
                for name in totals:
                    totals[name] += getattr(reference, name)
            seed = int(line.split()[1])
            reference = ref.Reference(seed)
            wanted = "key " + " ".join("%08x" % w for w in ref.expand_seed(seed))
        else:
            wanted = expect(reference)
        if got != wanted:
            failures += 1
            if failures <= 10:
                print("request %r: tool %r, reference %r" % (line, got, wanted))
    for name in totals:
        totals[name] += getattr(reference, name)

    # The comparison only means something if the rare paths actually ran.
    missing = [name for name, count in totals.items() if count == 0]
    if missing:
        print("rare paths never exercised: %s" % ", ".join(missing))
        failures += 1
    print("%d requests compared, %d mismatches; %s" % (len(plan), failures, totals))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
