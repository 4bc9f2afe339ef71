#!/usr/bin/env bash
# Runs the Python test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build
# of the extension and the runtime, loaded into the release interpreter. Fails on any report.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$KALVO_ROOT"
[ -x "$VPY" ] || kalvo_venv test
build="$KALVO_ROOT/build/asan"
cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$KALVO_VENV/bin/ninja" \
  -DKALVO_SANITIZE=ON -DPython3_EXECUTABLE="$KALVO_PYTHON" >/dev/null
cmake --build "$build" -j2 --target kalvomultidimarrayforpython

# libstdc++ is preloaded after libasan so that ASan's interception of C++ throws finds the
# real __cxa_throw (otherwise the first exception thrown in the extension aborts).
libasan="$(${CXX:-g++} -print-file-name=libasan.so)"
libstdcxx="$(${CXX:-g++} -print-file-name=libstdc++.so)"
log="$build/sanitize.log"
set +e
LD_PRELOAD="$libasan $libstdcxx" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0:abort_on_error=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH="$build:$KALVO_ROOT/python" \
  "$VPY" -m pytest "$KALVO_ROOT/tests/python" -q -p no:cacheprovider -m "not slow" "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e
if grep -qE "ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer" "$log"; then
  echo "sanitizer reported an error (see $log)" >&2
  exit 1
fi
exit "$status"
