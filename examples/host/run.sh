#!/usr/bin/env bash
# Configures, builds and runs the host example against the kalvo installed in a Python
# environment: bash examples/host/run.sh [/path/to/python-with-kalvo] [build directory]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
python="${1:-python3}"
build="${2:-$here/build}"

cmakedir="$("$python" -m kalvo --cmakedir)"
generator=()
ninja="$(dirname "$python")/ninja"
[ -x "$ninja" ] || ninja="$(command -v ninja || true)"
if [ -n "$ninja" ] && [ ! -f "$build/CMakeCache.txt" ]; then
  generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$ninja")
fi

# kalvo's CMake package finds the Python it was built for, and the program sets up its
# interpreter itself: no Python3_EXECUTABLE, PYTHONPATH or PYTHONHOME is needed.
cmake -S "$here" -B "$build" "${generator[@]}" -Dkalvo_DIR="$cmakedir"
cmake --build "$build" -j2
"$build/kalvo_host_example"
