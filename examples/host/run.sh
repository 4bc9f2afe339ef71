#!/usr/bin/env bash
# Configures, builds and runs the host example against the kalvo installed in a Python 3.9
# environment: bash examples/host/run.sh [/path/to/python-with-kalvo] [build directory]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
python="${1:-python3}"
build="${2:-$here/build}"

cmakedir="$("$python" -m kalvo --cmakedir)"
# The embedded interpreter does not know the environment's site-packages: point it there.
site="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
generator=()
ninja="$(dirname "$python")/ninja"
[ -x "$ninja" ] || ninja="$(command -v ninja || true)"
if [ -n "$ninja" ] && [ ! -f "$build/CMakeCache.txt" ]; then
  generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$ninja")
fi

cmake -S "$here" -B "$build" "${generator[@]}" -Dkalvo_DIR="$cmakedir" \
  -DPython3_EXECUTABLE="$("$python" -c 'import sys; print(sys.executable)')"
cmake --build "$build" -j2
PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" "$build/kalvo_host_example"
