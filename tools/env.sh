# Shared settings for the project's scripts: which Python 3.9 to use and where the virtual
# environment lives. Sourced, not run.
KALVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KALVO_PYTHON="${KALVO_PYTHON:-/root/.pyenv/versions/3.9.18/bin/python3.9}"
if [ ! -x "$KALVO_PYTHON" ]; then
  KALVO_PYTHON="$(command -v python3.9 || true)"
fi
if [ -z "$KALVO_PYTHON" ]; then
  echo "Python 3.9 not found: set KALVO_PYTHON to a python3.9 interpreter." >&2
  exit 1
fi
KALVO_VENV="${KALVO_VENV:-$KALVO_ROOT/.venv}"
VPY="$KALVO_VENV/bin/python"

# Creates the virtual environment once and installs the build tools (and, with "test",
# the test dependencies) into it.
kalvo_venv() {
  if [ ! -x "$VPY" ]; then
    "$KALVO_PYTHON" -m venv "$KALVO_VENV"
  fi
  "$VPY" -m pip install -q --upgrade pip >/dev/null
  "$VPY" -m pip install -q "scikit-build-core>=0.8" ninja cmake
  if [ "${1:-}" = "test" ]; then
    "$VPY" -m pip install -q "pytest>=7" numpy hypothesis
  fi
}

# Builds and installs the package (extension, runtime library and the kalvo package) into
# the virtual environment.
kalvo_install() {
  "$VPY" -m pip install -q --no-build-isolation "$KALVO_ROOT"
}
