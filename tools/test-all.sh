#!/usr/bin/env bash
# Builds everything and runs every test: the Python suite against the installed package, the
# GoogleTest suites through ctest, and the Python suite again under the sanitizers.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$KALVO_ROOT"
kalvo_venv test
kalvo_install

echo "== pytest (installed package)"
(cd "$KALVO_ROOT/tests/python" && "$VPY" -m pytest -q -p no:cacheprovider .)

echo "== ctest (runtime, client classes and embedded-interpreter suites)"
build="$KALVO_ROOT/build/ctest"
cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$KALVO_VENV/bin/ninja" \
  -DKALVO_BUILD_TESTS=ON -DPython3_EXECUTABLE="$KALVO_PYTHON" >/dev/null
cmake --build "$build" -j2
# The installed-package test reuses .venv rather than making a virtual environment of its own.
KALVO_VENV="$KALVO_VENV" ctest --test-dir "$build" --output-on-failure -j2

echo "== sanitizer run"
bash "$KALVO_ROOT/tools/sanitize.sh"
echo "== all tests passed"
