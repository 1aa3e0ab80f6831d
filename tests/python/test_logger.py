"""init_logger: argument validation, log file naming and placement, record formats.

The logger is process-wide and can be installed once, so every test that gets
past validation runs in a child interpreter. Records are produced by a forced
calibration in a process without a cache location, which logs one info record
("calibrated gate-parallel threshold ...") and two warn records (no cache
directory; no cached calibration on first resolution).
"""

import datetime
import inspect
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

import morvane

PRODUCE_RECORDS = "morvane.calibrate_parallel_threshold(force=True)"

CALIBRATED = re.compile(
    r"calibrated gate-parallel threshold = \d+ qubit\(s\) for 2 thread\(s\) over 3 session\(s\) "
    r"in \S+s; single precision: \d+ qubit\(s\)")
NO_CACHE_DIR = ("no cache directory (set XDG_CACHE_HOME or HOME) to persist gate-parallel "
                "calibration; this process is calibrated but the result was not saved")
NO_CACHE = ("no gate-parallel calibration cached; using the default threshold 12. Run install.sh "
            "or morvane.calibrate_parallel_threshold() to tune it for this machine (requires "
            "morvane.init_logger() to be visible).")
ALREADY = ("a Morvane logger is already installed; ignoring this init_logger call. The logger can "
           "be configured only once per process \u2014 restart the interpreter/kernel to change "
           "its level, format, or target.")


def run_child(code, tmp_path, env=None, cache=False):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    child_env = dict(os.environ)
    for name in ("MORVANE_LOG_DIR", "XDG_CACHE_HOME", "HOME"):
        child_env.pop(name, None)
    if cache:
        child_env["XDG_CACHE_HOME"] = str(tmp_path / "cache")
    child_env["RAYON_NUM_THREADS"] = "2"
    child_env.update(env or {})
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env,
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result


def lines(path):
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def test_signature():
    params = inspect.signature(morvane.init_logger).parameters
    assert [(p.name, p.default) for p in params.values()] == [
        ("level", "info"), ("format", "text"), ("file", None), ("run_name", None),
        ("console", False), ("timestamp", True), ("thread_id", False), ("module_path", False)]


# Every case fails validation before anything is installed, so they can run in
# this process without leaving a logger behind.
REFUSED = [
    ({"level": "verbose"}, ValueError,
     "unknown log level 'verbose'; expected one of off/error/warn/info/debug/trace"),
    ({"level": "VERBOSE"}, ValueError,
     "unknown log level 'verbose'; expected one of off/error/warn/info/debug/trace"),
    ({"level": ""}, ValueError,
     "unknown log level ''; expected one of off/error/warn/info/debug/trace"),
    ({"format": "xml"}, ValueError, "unknown log format 'xml'; expected \"text\" or \"json\""),
    ({"format": "XML"}, ValueError, "unknown log format 'xml'; expected \"text\" or \"json\""),
    ({"level": "nope", "format": "xml"}, ValueError,
     "unknown log level 'nope'; expected one of off/error/warn/info/debug/trace"),
    ({"file": "x.log", "console": True, "run_name": "r"}, ValueError,
     "cannot log to both an explicit file and the console; pass either `file` or `console`, "
     "not both"),
    ({"file": "x.log", "run_name": "r"}, ValueError,
     "a base name for the auto-generated log file was given together with an explicit `file`; "
     "the base name only names the default per-run file. Pass either the base name (to "
     "auto-name the file) or `file`, not both"),
    ({"console": True, "run_name": "r"}, ValueError,
     "a base name for the auto-generated log file was given together with `console` output; "
     "the base name only names the default per-run file. Pass either the base name (to "
     "auto-name the file) or `console`, not both"),
    ({"level": 3}, TypeError, "argument 'level': "),
    ({"format": None}, TypeError, "argument 'format': "),
    ({"file": 3}, TypeError, "argument 'file': "),
    ({"file": b"x.log"}, TypeError, "argument 'file': "),
    ({"run_name": 7}, TypeError, "argument 'run_name': "),
    ({"console": 1}, TypeError, "argument 'console': "),
    ({"timestamp": "yes"}, TypeError, "argument 'timestamp': "),
    ({"thread_id": 0}, TypeError, "argument 'thread_id': "),
    ({"module_path": None}, TypeError, "argument 'module_path': "),
    ({"verbose": True}, TypeError, "unexpected keyword argument 'verbose'"),
]


@pytest.mark.parametrize("kwargs, error, text", REFUSED)
def test_refused_arguments(kwargs, error, text):
    with pytest.raises(error) as info:
        morvane.init_logger(**kwargs)
    # Value errors carry the full message; type errors only the argument name.
    if error is ValueError:
        assert str(info.value) == text
    else:
        assert text in str(info.value)


def test_every_level_and_format_spelling_is_accepted(tmp_path):
    # The first call installs; each later one gets past validation (no
    # ValueError) and is then turned away as a re-initialisation.
    result = run_child("""
        import warnings, morvane
        assert morvane.init_logger(level="INFO", format="JSON", console=True) is None
        for level, fmt in [("off", "text"), ("Error", "Text"), ("WARN", "json"),
                           ("Warning", "jSoN"), ("info", "text"), ("DEBUG", "text"),
                           ("trace", "text")]:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                assert morvane.init_logger(level=level, format=fmt, console=True) is None
            assert [w.category for w in caught] == [UserWarning], (level, caught)
        print("ok")
    """, tmp_path)
    assert result.stdout.strip() == "ok"


def stamp_is_now(stamp, fmt, before, after):
    when = datetime.datetime.strptime(stamp, fmt)
    slack = datetime.timedelta(seconds=2)
    return before - slack <= when <= after + slack


def test_auto_named_file_after_refused_calls(tmp_path):
    # Refused calls change nothing: the counter is still 0 for the first file.
    log_dir = tmp_path / "logdir"
    before = datetime.datetime.now()
    result = run_child("""
        import os, morvane
        for bad in [dict(console=True, run_name="x"), dict(level="loud"), dict(format="yaml")]:
            try:
                morvane.init_logger(**bad)
            except ValueError:
                pass
            else:
                raise AssertionError(bad)
        print(os.getpid())
        print(morvane.init_logger())
    """, tmp_path, env={"MORVANE_LOG_DIR": str(log_dir)})
    after = datetime.datetime.now()
    pid, path = result.stdout.split()
    match = re.fullmatch(re.escape(str(log_dir)) + r"/morvane_(\d{8}_\d{6})_" + pid + r"_0\.log",
                         path)
    assert match, path
    assert stamp_is_now(match.group(1), "%Y%m%d_%H%M%S", before, after)
    assert os.path.isfile(path)


def test_default_directory_is_logs_under_the_working_directory(tmp_path):
    result = run_child("""
        import morvane
        print(morvane.init_logger(run_name="nightly"))
    """, tmp_path, env={"MORVANE_LOG_DIR": ""})
    path = result.stdout.strip()
    assert re.fullmatch(r"logs/nightly_\d{8}_\d{6}_\d+_0\.log", path), path
    assert (tmp_path / path).is_file()


def test_directory_failure_is_refused_and_a_later_call_may_install(tmp_path):
    blocker = tmp_path / "blocker"
    blocker.write_text("a file where a directory should be")
    good = tmp_path / "good"
    result = run_child(f"""
        import os, morvane
        try:
            morvane.init_logger()
        except ValueError as error:
            print(error)
        else:
            raise AssertionError("directory creation should have failed")
        os.environ["MORVANE_LOG_DIR"] = {str(good)!r}
        print(morvane.init_logger(run_name="job"))
        print(os.getpid())
    """, tmp_path, env={"MORVANE_LOG_DIR": str(blocker / "sub")})
    message, path, pid = result.stdout.strip().split("\n")
    assert re.fullmatch(
        "failed to create log directory for " + re.escape(str(blocker / "sub")) +
        r"/morvane_\d{8}_\d{6}_" + pid + r"_0\.log: Not a directory", message), message
    # The failed call used counter value 0; the corrected call gets 1.
    assert re.fullmatch(re.escape(str(good)) + r"/job_\d{8}_\d{6}_" + pid + r"_1\.log", path)
    assert os.path.isfile(path)


def test_json_records_second_call_and_append_across_runs(tmp_path):
    log_file = tmp_path / "new" / "nested" / "run.log"
    other = tmp_path / "other.log"
    first = run_child(f"""
        import pathlib, warnings, morvane
        path = morvane.init_logger(file=pathlib.Path({str(log_file)!r}), format="json",
                                   timestamp=False, module_path=True)
        assert path == {str(log_file)!r}, path
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert morvane.init_logger(file={str(other)!r}, console=False) is None
        assert len(caught) == 1 and caught[0].category is UserWarning
        print(caught[0].message)
        {PRODUCE_RECORDS}
    """, tmp_path)
    assert first.stdout.strip() == ALREADY
    assert not other.exists(), "the second call must not open its target"

    records = [json.loads(line) for line in lines(log_file)]
    assert [list(r) for r in records] == [["level", "message", "module"]] * len(records)
    assert [r["level"] for r in records] == ["INFO", "WARN", "WARN"]
    assert CALIBRATED.fullmatch(records[0]["message"])
    assert records[1:] == [
        {"level": "WARN", "message": NO_CACHE_DIR, "module": "morvane_sim::calibration"},
        {"level": "WARN", "message": NO_CACHE, "module": "morvane_sim::calibration"}]

    # A second run with the same explicit file appends text lines after them.
    before = datetime.datetime.now()
    run_child(f"""
        import morvane
        morvane.init_logger(file={str(log_file)!r}, thread_id=True, module_path=True)
        {PRODUCE_RECORDS}
    """, tmp_path)
    after = datetime.datetime.now()
    all_lines = lines(log_file)
    assert len(all_lines) == 6
    assert [json.loads(line) for line in all_lines[:3]] == records
    pattern = re.compile(r"\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] \[ThreadId\((\d+)\)\] "
                         r"\[(INFO|WARN)\] \[morvane_sim::calibration\]  (.*)")
    parsed = [pattern.fullmatch(line) for line in all_lines[3:]]
    assert all(parsed), all_lines[3:]
    assert [m.group(3) for m in parsed] == ["INFO", "WARN", "WARN"]
    assert CALIBRATED.fullmatch(parsed[0].group(4))
    assert [m.group(4) for m in parsed[1:]] == [NO_CACHE_DIR, NO_CACHE]
    assert all(stamp_is_now(m.group(1), "%Y-%m-%d %H:%M:%S", before, after) for m in parsed)
    # All three come from the calling thread.
    assert len({m.group(2) for m in parsed}) == 1 and int(parsed[0].group(2)) > 0


def test_console_output_is_filtered_by_level(tmp_path):
    result = run_child(f"""
        import sys, morvane
        assert morvane.init_logger(level="Warning", console=True, timestamp=False) is None
        {PRODUCE_RECORDS}
    """, tmp_path)
    assert result.stdout.splitlines() == [f"[WARN]  {NO_CACHE_DIR}", f"[WARN]  {NO_CACHE}"]
    assert result.stderr == ""


def test_level_off_writes_nothing(tmp_path):
    log_file = tmp_path / "off.log"
    result = run_child(f"""
        import morvane
        morvane.init_logger(level="off", file={str(log_file)!r})
        {PRODUCE_RECORDS}
    """, tmp_path)
    assert log_file.exists() and log_file.read_text() == ""
    assert result.stdout == "" and result.stderr == ""


def test_write_failures_are_reported_once(tmp_path):
    result = run_child(f"""
        import morvane
        print(morvane.init_logger(file="/dev/full"))
        {PRODUCE_RECORDS}
    """, tmp_path)
    assert result.stdout.strip() == "/dev/full"
    assert result.stderr.splitlines() == [
        "morvane-logger: failed to write to log file /dev/full: No space left on device; "
        "suppressing further write-error reports"]


def test_unopenable_file_falls_back_to_standard_error(tmp_path):
    directory = tmp_path / "a_directory"
    directory.mkdir()
    result = run_child(f"""
        import morvane
        print(morvane.init_logger(file={str(directory)!r}, timestamp=False))
        {PRODUCE_RECORDS}
    """, tmp_path)
    assert result.stdout.strip() == str(directory)
    err = result.stderr.splitlines()
    assert err[0] == f"Failed to open log file {directory}: Is a directory"
    assert len(err) == 4
    assert CALIBRATED.fullmatch(err[1].removeprefix("[INFO]  "))
    assert err[2:] == [f"[WARN]  {NO_CACHE_DIR}", f"[WARN]  {NO_CACHE}"]
