#!/usr/bin/env bash
# Builds everything and runs every test: the Python suite against the installed package (and a
# part of it again in leak-hunting mode), the type stubs, the GoogleTest suites through ctest, the
# Python suite again under the sanitizers and under valgrind, a short fuzzing session
# (KALVO_FUZZ_SECONDS, default 60), and the other supported Pythons: the whole suite on 3.10 to 3.13.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$KALVO_ROOT"
kalvo_venv test
kalvo_install

echo "== pytest (installed package)"
(cd "$KALVO_ROOT/tests/python" && "$VPY" -m pytest -q -p no:cacheprovider .)

# Leak hunting: the suites of construction, reading, assignment, export, methods, storage (finalizers
# reshaping mid-call) and limits, success and error paths, run four more times after a warm-up; the C
# heap is read without glibc's per-thread cache, which would otherwise hide small leaks for a while.
echo "== pytest leak mode (--leaks=4)"
(cd "$KALVO_ROOT/tests/python" && GLIBC_TUNABLES=glibc.malloc.tcache_count=0 "$VPY" -m pytest -q \
  -p no:cacheprovider --leaks=4 -k "not many_threads and not huge_extents" test_construct.py \
  test_reading.py test_assignment.py test_buffer_export.py test_methods.py test_storage.py test_limits.py)

echo "== type stubs (stubtest against the built module, mypy --strict over examples/)"
bash "$KALVO_ROOT/tools/typecheck.sh"

# The layout of the C++ sources is clang-format's (.clang-format); other major versions of it lay
# out a few constructs differently, so only the version the style was settled with is asked.
echo "== clang-format"
if clang-format --version 2>/dev/null | grep -q "version 14\."; then
  clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.hpp')
else
  echo "clang-format 14 not found: layout not checked" >&2
fi

echo "== ctest (runtime, client classes and embedded-interpreter suites)"
build="$KALVO_ROOT/build/ctest"
cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$KALVO_VENV/bin/ninja" \
  -DKALVO_BUILD_TESTS=ON -DPython3_EXECUTABLE="$KALVO_PYTHON" >/dev/null
cmake --build "$build" -j2
# The installed-package test reuses .venv rather than making a virtual environment of its own.
# The suites labelled valgrind run in the valgrind step below.
KALVO_VENV="$KALVO_VENV" ctest --test-dir "$build" --output-on-failure -j2 -LE valgrind

echo "== sanitizer run"
bash "$KALVO_ROOT/tools/sanitize.sh"

echo "== valgrind run (the Python suite, then the C++ suites labelled valgrind)"
KALVO_BUILD="$build" bash "$KALVO_ROOT/tools/valgrind.sh"

echo "== fuzzing session (${KALVO_FUZZ_SECONDS:-60} s)"
status=0
bash "$KALVO_ROOT/tools/fuzz.sh" "${KALVO_FUZZ_SECONDS:-60}" || status=$?
if [ "$status" -eq 77 ]; then
  echo "fuzzing skipped: clang or atheris is not available (see above)"
elif [ "$status" -ne 0 ]; then
  exit "$status"
fi
echo "== other Pythons, each in its own virtual environment"
# The whole suite (the tour and the documentation examples included) and the stubs, on every
# supported version after 3.9: about 3 to 4 minutes per version on two busy cores, mostly
# the build.
bash "$KALVO_ROOT/tools/pythons.sh" full 3.10 3.11 3.12 3.13
echo "== all tests passed"
