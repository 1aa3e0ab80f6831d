#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter: one on PATH, else one that
# pyenv manages (in its usual root or PYENV_ROOT), else fails.
set -euo pipefail

candidates=()
command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
for root in "${PYENV_ROOT:-}" "$HOME/.pyenv" /root/.pyenv /opt/pyenv; do
    [ -n "$root" ] || continue
    for dir in "$root"/versions/3.13*; do
        [ -x "$dir/bin/python3.13" ] && candidates+=("$dir/bin/python3.13")
    done
done
for python in "${candidates[@]}"; do
    # pyenv shims exist for versions that are not installed; ask the interpreter.
    if "$python" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
        echo "$python"
        exit 0
    fi
done
echo "no CPython 3.13 found (looked on PATH and under pyenv); install it with pyenv" >&2
exit 1
