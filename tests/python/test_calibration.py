"""calibrate_parallel_threshold, backend_cleanup_failures and the start-up notice.

Reusing a seeded cache measures nothing and changes no process state, so those
tests run here with the cache location pointed at tmp_path. Anything that
measures (about a second each) or installs the logger runs in a child
interpreter.
"""

import inspect
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import morvane

KEYS = ["threshold", "num_threads", "duration_secs", "reused_cache", "cache_path",
        "cache_written", "single_threshold"]
NOTICE = ("morvane is using the default gate-parallel threshold (not calibrated on this machine, "
          "e.g. a read-only cache dir). Results are unaffected; call "
          "morvane.calibrate_parallel_threshold() to tune performance.")
NO_CACHE = ("no gate-parallel calibration cached; using the default threshold 12. Run install.sh "
            "or morvane.calibrate_parallel_threshold() to tune it for this machine (requires "
            "morvane.init_logger() to be visible).")
NO_CACHE_DIR = ("no cache directory (set XDG_CACHE_HOME or HOME) to persist gate-parallel "
                "calibration; this process is calibrated but the result was not saved")


def calibrated_message(report, duration):
    return (f"calibrated gate-parallel threshold = {report['threshold']} qubit(s) for 2 thread(s) "
            f"over 3 session(s) in {duration}; single precision: {report['single_threshold']} "
            "qubit(s)")


def run_child(code, tmp_path, env):
    child_env = dict(os.environ)
    for name in ("MORVANE_LOG_DIR", "XDG_CACHE_HOME", "HOME"):
        child_env.pop(name, None)
    child_env["RAYON_NUM_THREADS"] = "2"
    child_env.update(env)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env,
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result


def log_messages(path):
    """(level, message) of each text record written with timestamp=False."""
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            level, message = line.split("]  ", 1)
            out.append((level.lstrip("["), message))
    return out


def test_signatures():
    force = inspect.signature(morvane.calibrate_parallel_threshold).parameters
    assert [(p.name, p.default) for p in force.values()] == [("force", False)]
    assert inspect.signature(morvane.backend_cleanup_failures).parameters == {}


@pytest.mark.parametrize("force", [1, 0, 1.0, "yes", None, [True]])
def test_force_must_be_a_bool(force):
    with pytest.raises(TypeError, match="argument 'force'"):
        morvane.calibrate_parallel_threshold(force)
    with pytest.raises(TypeError, match="argument 'force'"):
        morvane.calibrate_parallel_threshold(force=force)


@pytest.mark.parametrize("call", [lambda: morvane.backend_cleanup_failures(1),
                                  lambda: morvane.backend_cleanup_failures(x=1),
                                  lambda: morvane.calibrate_parallel_threshold(True, True),
                                  lambda: morvane.calibrate_parallel_threshold(forced=True)])
def test_extra_arguments_are_refused(call):
    with pytest.raises(TypeError):
        call()


def seeded_threshold(threads):
    return 3 + threads % 17


# The cache lives under XDG_CACHE_HOME when it is non-empty, else under HOME.
LAYOUTS = [
    ({"XDG_CACHE_HOME": "xdg", "HOME": "home"}, "xdg/morvane/parallel_threshold.json"),
    ({"XDG_CACHE_HOME": "", "HOME": "home"}, "home/.cache/morvane/parallel_threshold.json"),
    ({"XDG_CACHE_HOME": "xdg"}, "xdg/morvane/parallel_threshold.json"),
]


@pytest.mark.parametrize("layout, cache_file", LAYOUTS)
@pytest.mark.parametrize("force", [None, False, np.False_])
def test_a_cached_entry_is_reused_without_measuring(tmp_path, monkeypatch, layout, cache_file,
                                                    force):
    monkeypatch.delenv("HOME", raising=False)
    for name, value in layout.items():
        monkeypatch.setenv(name, str(tmp_path / value) if value else "")
    path = tmp_path / cache_file
    path.parent.mkdir(parents=True)
    # One entry per plausible thread count, each with its own thresholds, so
    # the result shows which entry was picked.
    entries = {str(t): {"double": seeded_threshold(t), "single": seeded_threshold(t) + 5}
               for t in range(1, 1025)}
    path.write_text(json.dumps({"schema": 3, "entries": entries}))
    before = path.read_bytes()

    for _ in range(2):
        report = (morvane.calibrate_parallel_threshold() if force is None
                  else morvane.calibrate_parallel_threshold(force))
        assert list(report) == KEYS
        assert report["threshold"] == seeded_threshold(report["num_threads"])
        assert report["single_threshold"] == seeded_threshold(report["num_threads"]) + 5
        assert report["duration_secs"] == 0.0 and type(report["duration_secs"]) is float
        assert report["reused_cache"] is True
        assert report["cache_path"] == str(path)
        assert report["cache_written"] is False
    assert path.read_bytes() == before


def test_cleanup_failures_start_at_zero(tmp_path):
    result = run_child("""
        import morvane
        count = morvane.backend_cleanup_failures()
        print(type(count).__name__, count)
    """, tmp_path, {})
    assert result.stdout.split() == ["int", "0"]


def test_notice_until_calibrated_then_reuse(tmp_path):
    log_file = tmp_path / "calibration.log"
    cache_dir = tmp_path / "cache"
    result = run_child(f"""
        import json, morvane
        morvane.init_logger(file={str(log_file)!r}, timestamp=False)
        qc = morvane.Circuit(2)
        qc.h(0)
        for _ in range(3):
            morvane.statevector(qc)
        first = morvane.calibrate_parallel_threshold()
        morvane.statevector(qc)
        second = morvane.calibrate_parallel_threshold()
        print(json.dumps([first, second]))
    """, tmp_path, {"XDG_CACHE_HOME": str(cache_dir)})
    first, second = json.loads(result.stdout)
    cache_file = cache_dir / "morvane" / "parallel_threshold.json"

    assert list(first) == KEYS
    assert first["num_threads"] == 2
    assert first["reused_cache"] is False and first["cache_written"] is True
    assert first["duration_secs"] > 0.8
    assert first["cache_path"] == str(cache_file)
    assert json.loads(cache_file.read_text()) == {"schema": 3, "entries": {
        "2": {"double": first["threshold"], "single": first["single_threshold"]}}}

    assert second == {**first, "duration_secs": 0.0, "reused_cache": True,
                      "cache_written": False}

    # The first notice resolved the threshold (the warn record); the notice
    # repeats per call until the calibration, and not after it.
    messages = log_messages(log_file)
    assert messages[:4] == [("WARN", NO_CACHE)] + [("INFO", NOTICE)] * 3
    assert len(messages) == 5
    duration = messages[4][1].split(" in ", 1)[1].split(";", 1)[0]
    assert messages[4] == ("INFO", calibrated_message(first, duration))


def test_a_cache_from_before_single_precision_is_completed_once(tmp_path):
    # Schema 2 held one double-precision threshold per thread count. An
    # unforced call measures both precisions for this thread count and keeps
    # the other entry, still double only.
    cache_dir = tmp_path / "cache"
    cache_file = cache_dir / "morvane" / "parallel_threshold.json"
    cache_file.parent.mkdir(parents=True)
    cache_file.write_text(json.dumps({"schema": 2, "entries": {"2": 4, "8": 13}}))
    result = run_child("""
        import json, morvane
        print(json.dumps([morvane.calibrate_parallel_threshold() for _ in range(2)]))
    """, tmp_path, {"XDG_CACHE_HOME": str(cache_dir)})
    first, second = json.loads(result.stdout)
    assert first["reused_cache"] is False and first["cache_written"] is True
    assert first["duration_secs"] > 0.8
    # The measured sizes are 10 to 18, or 31 for none: the seeded 4 is gone.
    for key in ("threshold", "single_threshold"):
        assert first[key] in (10, 12, 14, 16, 18, 31)
    assert json.loads(cache_file.read_text()) == {"schema": 3, "entries": {
        "2": {"double": first["threshold"], "single": first["single_threshold"]},
        "8": {"double": 13}}}
    assert second == {**first, "duration_secs": 0.0, "reused_cache": True,
                      "cache_written": False}


def test_without_a_cache_location_the_result_is_used_but_not_saved(tmp_path):
    log_file = tmp_path / "calibration.log"
    result = run_child(f"""
        import json, morvane
        morvane.init_logger(file={str(log_file)!r}, timestamp=False, level="warn")
        report = morvane.calibrate_parallel_threshold(force=True)
        qc = morvane.Circuit(1)
        morvane.statevector(qc)
        print(json.dumps(report))
    """, tmp_path, {})
    report = json.loads(result.stdout)
    assert report["cache_path"] is None and report["cache_written"] is False
    assert report["reused_cache"] is False and report["duration_secs"] > 0.8
    # The info-level measurement summary is filtered out; the warn record of
    # the first resolution comes from the calibration making its result the
    # process-wide threshold, and nothing is written anywhere.
    assert log_messages(log_file) == [("WARN", NO_CACHE_DIR), ("WARN", NO_CACHE)]
    assert list(tmp_path.iterdir()) == [log_file]
