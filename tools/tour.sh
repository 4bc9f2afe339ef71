#!/usr/bin/env bash
# Builds and installs kalvo into .venv (with NumPy, for the tour's NumPy part), then runs the
# tour of its capabilities. The first build compiles the extension: its progress is shown.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
echo "== preparing $KALVO_VENV (build tools and NumPy)"
kalvo_venv
"$VPY" -m pip install -q numpy
echo "== building and installing kalvo (a few minutes the first time; later builds are incremental)"
# pip -v shows CMake's and Ninja's output; keep the lines that show progress.
"$VPY" -m pip install -v --no-build-isolation "$KALVO_ROOT" 2>&1 |
  { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\]|^ *-- Build files|Successfully installed|[Ee]rror' || true; }
cd "$KALVO_ROOT/examples"
"$VPY" tour.py
