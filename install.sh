#!/usr/bin/env bash
# Creates .venv with CPython 3.13, builds and installs morvane into it with its
# runtime dependency (NumPy), then tunes the gate-parallel threshold for this
# machine once (later calls reuse the cached result). Safe to run repeatedly.
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/apt-install.sh cmake ninja-build g++
PYTHON="$(bash scripts/find-python.sh)"
if [ ! -x .venv/bin/python ]; then
    "$PYTHON" -m venv .venv
fi
# The build tools live in the venv so the build never depends on whatever
# cmake happens to be first on PATH.
.venv/bin/pip install -q "numpy>=2.0" "scikit-build-core>=0.10" cmake ninja
.venv/bin/pip install -q --no-build-isolation .
.venv/bin/python -c "import morvane, json; print('calibration:', json.dumps(morvane.calibrate_parallel_threshold()))"
