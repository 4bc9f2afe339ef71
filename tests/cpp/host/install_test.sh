#!/usr/bin/env bash
# Installs kalvo with pip into a virtual environment, then builds and runs examples/host
# against that installation: install_test.sh <repository> <work directory>.
# Uses $KALVO_VENV when set, else a fresh environment from $KALVO_PYTHON (Python 3.9).
# Exits 77 (skipped) when the build tools cannot be installed, e.g. offline.
set -euo pipefail
repo="$1"
work="$2"
python39="${KALVO_PYTHON:-/root/.pyenv/versions/3.9.18/bin/python3.9}"
mkdir -p "$work"

if [ -n "${KALVO_VENV:-}" ]; then
  venv="$KALVO_VENV"
  [ -x "$venv/bin/python" ] || "$python39" -m venv "$venv"
else
  venv="$work/venv"
  rm -rf "$venv"
  "$python39" -m venv "$venv"
fi
py="$venv/bin/python"
if ! "$py" -c "import scikit_build_core, ninja, cmake" 2>/dev/null; then
  if ! "$py" -m pip install -q "scikit-build-core>=0.8" ninja cmake; then
    echo "could not install the build tools (offline?): skipping" >&2
    exit 77
  fi
fi

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
"$py" -m pip install -q --no-build-isolation "$repo"

rm -rf "$work/example"
output="$(PATH="$venv/bin:$PATH" bash "$repo/examples/host/run.sh" "$py" "$work/example")"
echo "$output"
# Python's edits come back; the host's own handle keeps the elements it had.
echo "$output" | grep -q "^host got back .*(1-by-3): 40 50 60$"
echo "$output" | grep -q "^host still has .*(2-by-3): 1 2 3 | 4 5 6$"
