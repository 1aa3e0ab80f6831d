"""Every code block of docs/guide.md runs: section by section, in order, each section in a
fresh interpreter (the logger can be installed only once per process) with one namespace."""

import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

GUIDE = pathlib.Path(__file__).parents[2] / "docs" / "guide.md"
SLURM_WANTED = os.environ.get("MORVANE_TEST_SLURM") == "1"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)

# Runs the blocks given on stdin; a failing block is reported with its line in the guide.
RUNNER = """
import json, sys
namespace = {"__name__": "__guide__"}
for line, code in json.load(sys.stdin):
    exec(compile("\\n" * (line - 1) + code, "docs/guide.md", "exec"), namespace)
"""


def sections():
    """(title, [(first line, code)]) for every level-2 section that has code."""
    text = GUIDE.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        assert match.group(1) == "python", "every code block of the guide must be Python"
        start = text.count("\n", 0, match.start(2)) + 1
        heading = re.findall(r"^## (.+)$", text[:match.start()], re.MULTILINE)
        title = heading[-1] if heading else "(top)"
        if not found or found[-1][0] != title:
            found.append((title, []))
        found[-1][1].append((start, match.group(2)))
    return found


SECTIONS = sections()


@pytest.mark.parametrize("title, blocks", SECTIONS, ids=[title for title, _ in SECTIONS])
def test_guide_section_runs(title, blocks, tmp_path):
    if any("qiskit" in code for _, code in blocks) or title == "QPU families on SLURM":
        pytest.importorskip("qiskit_aer")
    for client in ("qiskit_machine_learning", "qiskit_algorithms"):
        if any(client in code for _, code in blocks):
            pytest.importorskip(client)
    env = dict(os.environ)
    env.update({"MORVANE_CUNQA_REGISTRY": str(tmp_path / "cunqa"),
                "MORVANE_LOG_DIR": str(tmp_path / "logs"),
                "XDG_CACHE_HOME": str(tmp_path / "cache")})
    if not SLURM_WANTED:
        env["MORVANE_CUNQA_LAUNCHER"] = "local"
    done = subprocess.run([sys.executable, "-c", RUNNER], input=json.dumps(blocks), env=env,
                          cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr

