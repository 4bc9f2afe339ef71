#!/usr/bin/env bash
# Runs the Python test suite under valgrind's memcheck against a normal (unsanitised) build of
# the extension and the runtime, then the C++ suites labelled "valgrind" through ctest. Fails on
# any invalid access, use of uninitialised memory or definite leak. The build goes to
# build/valgrind unless KALVO_BUILD names an existing tree configured with KALVO_BUILD_TESTS=ON;
# extra arguments are passed to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$KALVO_ROOT"
if ! command -v valgrind >/dev/null; then
  echo "valgrind not found (apt-get install valgrind)" >&2
  exit 1
fi
[ -x "$VPY" ] || kalvo_venv test
build="${KALVO_BUILD:-$KALVO_ROOT/build/valgrind}"
cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$KALVO_VENV/bin/ninja" \
  -DKALVO_BUILD_TESTS=ON -DPython3_EXECUTABLE="$KALVO_PYTHON" >/dev/null
cmake --build "$build" -j2

# PYTHONMALLOC=malloc lets memcheck see every Python allocation. tools/valgrind.supp names
# reports about the interpreter and the C library, nothing of ours.
export PYTHONMALLOC=malloc PYTHONPATH="$build:$KALVO_ROOT/python"
memcheck=(valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite
          --show-leak-kinds=definite --error-exitcode=1 --child-silent-after-fork=yes
          --num-callers=30 --suppressions="$KALVO_ROOT/tools/valgrind.supp")
pytest_args=(-q -p no:cacheprovider "$@")

# Importing numpy leaks two references to float objects. The interpreter recycles float blocks,
# so the allocation stack valgrind shows for them is arbitrary and no suppression could single
# them out. The test files that use numpy therefore run in a second process that leaves with
# os._exit once pytest is done: what is still referenced at that point stays reachable, while
# anything leaked while the tests run is reported as before. The other files run to a full
# interpreter shutdown, which also exposes references leaked to objects that live until then.
mapfile -t numpy_files < <(grep -lw numpy tests/python/test_*.py)
mapfile -t other_files < <(grep -Lw numpy tests/python/test_*.py)
start=$SECONDS
"${memcheck[@]}" --log-file="$build/valgrind-pytest.log" \
  "$VPY" -m pytest "${pytest_args[@]}" "${other_files[@]}" >"$build/valgrind-pytest.out" 2>&1 &
main=$!
status=0
if [ "${#numpy_files[@]}" -gt 0 ]; then
  "${memcheck[@]}" --log-file="$build/valgrind-pytest-numpy.log" "$VPY" -c '
import os, sys, pytest
code = pytest.main(sys.argv[1:])
sys.stdout.flush(); sys.stderr.flush()
os._exit(int(code))' "${pytest_args[@]}" "${numpy_files[@]}" >"$build/valgrind-pytest-numpy.out" 2>&1 ||
    status=1
fi
wait "$main" || status=1
for run in valgrind-pytest valgrind-pytest-numpy; do
  [ -f "$build/$run.out" ] || continue
  echo "-- $run: $(tail -n 1 "$build/$run.out")"
  grep -E "ERROR SUMMARY|definitely lost:" "$build/$run.log" | sed 's/^==[0-9]*== /   /'
done
echo "-- pytest under valgrind took $((SECONDS - start)) s"
if [ "$status" -ne 0 ]; then
  echo "valgrind reported errors or a test failed: see $build/valgrind-pytest*.log and .out" >&2
  exit 1
fi

echo "-- ctest -L valgrind"
ctest --test-dir "$build" -L valgrind --output-on-failure
