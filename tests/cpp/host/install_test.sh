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

venv="${KALVO_VENV:-$work/venv}"
[ -n "${KALVO_VENV:-}" ] || rm -rf "$venv"  # a fresh one unless given
[ -x "$venv/bin/python" ] || "$python39" -m venv "$venv"
py="$venv/bin/python"
if ! "$py" -c "import scikit_build_core, ninja, cmake" 2>/dev/null &&
  ! "$py" -m pip install -q "scikit-build-core>=0.8" ninja cmake; then
  echo "could not install the build tools (offline?): skipping" >&2
  exit 77
fi

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
"$py" -m pip install -q --no-build-isolation "$repo"

rm -rf "$work/example"
# The host runs with no Python variables in its environment: it finds the interpreter kalvo
# was built for and the environment's site-packages by itself.
output="$(env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV PATH="$venv/bin:$PATH" \
  bash "$repo/examples/host/run.sh" "$py" "$work/example")"
echo "$output"
# Python's edits come back; the host's own handle keeps the elements it had.
echo "$output" | grep -q "^host got back .*(1-by-3): 40 50 60$"
echo "$output" | grep -q "^host still has .*(2-by-3): 1 2 3 | 4 5 6$"

# The README's minimal host, built from its text exactly as a reader would.
readme="$work/readme-host"
rm -rf "$readme" && mkdir -p "$readme"
awk '/^```cmake$/{f=1; next} /^```$/{f=0} f' "$repo/README.md" >"$readme/CMakeLists.txt"
awk '/^```cpp$/{f=1; next} /^```$/{f=0} f' "$repo/README.md" >"$readme/host.cpp"
cmakedir="$("$py" -m kalvo --cmakedir)"
env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV \
  cmake -S "$readme" -B "$readme/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -Dkalvo_DIR="$cmakedir" >/dev/null
cmake --build "$readme/build" >/dev/null
output="$(env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV "$readme/build/host")"
echo "$output"
echo "$output" | grep -q "^python sees \[\[1.0,2.0,3.0\],\[4.0,5.0,6.0\]\]$"
echo "$output" | grep -q "^host reads (storage order): 2 8 4 10 6 12$"

# Against another Python version the package refuses at configure time.
built_for="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
for other in /root/.pyenv/versions/3.1[0-3].*/bin/python3.1[0-3] $(command -v python3 || true); do
  [ -x "$other" ] || continue
  other_version="$("$other" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  [ "$other_version" != "$built_for" ] || continue
  if log="$(cmake -S "$readme" -B "$readme/other" -Dkalvo_DIR="$cmakedir" \
              -DPython3_EXECUTABLE="$other" 2>&1)"; then
    echo "configuring against Python $other_version succeeded" >&2
    exit 1
  fi
  echo "$log" | tr -s " \n" "  " | grep -q "built for Python $built_for"
  echo "configuring against Python $other_version fails as it should"
  break
done
