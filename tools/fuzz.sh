#!/usr/bin/env bash
# Fuzzes the extension for the given number of seconds (default 60): builds it and the runtime
# with clang, libFuzzer coverage, ASan and UBSan in build/fuzz, then runs fuzz/fuzz_kalvo.py
# under atheris. The corpus grows in build/fuzz/corpus; an input that finds something is saved
# in build/fuzz/findings and the run fails. Further arguments go to libFuzzer (for instance
# -jobs=2, or -runs=0 to replay the corpus). Exits 77 when clang or atheris cannot be had.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$KALVO_ROOT"
seconds="${1:-60}"
shift || true
[ -x "$VPY" ] || kalvo_venv test

if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null; then
  echo "fuzz: clang not found (apt-get install clang libclang-rt-14-dev); skipped" >&2
  exit 77
fi
# atheris is built from source so that its ASan+libFuzzer runtime comes from the same clang as
# the instrumented extension.
if ! "$VPY" -c "import atheris" 2>/dev/null &&
   ! CLANG_BIN="$(command -v clang)" "$VPY" -m pip install -q --no-binary atheris atheris==2.3.0; then
  echo "fuzz: atheris 2.3.0 could not be installed; skipped" >&2
  exit 77
fi

build="$KALVO_ROOT/build/fuzz"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$KALVO_VENV/bin/ninja" \
  -DKALVO_FUZZ=ON -DPython3_EXECUTABLE="$KALVO_PYTHON" >/dev/null
cmake --build "$build" -j2 --target kalvomultidimarrayforpython
mkdir -p "$build/corpus" "$build/findings"
if [ -z "$(ls -A "$build/corpus")" ]; then
  # Longer seeds decode into longer programs than libFuzzer's first tiny inputs.
  "$VPY" -c 'import random, sys
r = random.Random(0)
for i in range(64):
    open("%s/seed%02d" % (sys.argv[1], i), "wb").write(bytes(r.randrange(256) for _ in range(r.randrange(32, 1024))))' \
    "$build/corpus"
fi

runtime="$("$VPY" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')"
# Allocations beyond 64 MB fail (MemoryError) instead of exhausting the machine; ASan's warning
# about each is filtered out.
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=64 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH="$build:$KALVO_ROOT/python" \
  "$VPY" "$KALVO_ROOT/fuzz/fuzz_kalvo.py" -max_total_time="$seconds" -timeout=30 \
  -max_len=1024 -rss_limit_mb=3072 -error_exitcode=1 -timeout_exitcode=1 -print_final_stats=1 \
  -artifact_prefix="$build/findings/" "$@" "$build/corpus" \
  2> >(grep -v "WARNING: AddressSanitizer failed to allocate" >&2)
