#!/usr/bin/env bash
# Builds and installs kalvo for other Python versions, each into its own virtual environment
# (.venv-3.X), and checks it there:
#   bash tools/pythons.sh full 3.13          the whole Python suite
#   bash tools/pythons.sh tour 3.10 3.11     the import and the tour (with NumPy)
# An interpreter is taken from $KALVO_PYTHON_3_X, else pyenv's versions, else pythonX.Y on
# PATH; a missing one fails the run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$KALVO_ROOT"
mode="$1"
shift

find_python() {
  local version="$1" var="KALVO_PYTHON_${1/./_}" candidate
  if [ -n "${!var:-}" ]; then
    echo "${!var}"
    return
  fi
  for candidate in /root/.pyenv/versions/"$version".*/bin/python"$version"; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  command -v "python$version" || true
}

for version in "$@"; do
  python="$(find_python "$version")"
  if [ -z "$python" ]; then
    echo "Python $version not found: set KALVO_PYTHON_${version/./_}." >&2
    exit 1
  fi
  echo "== Python $version ($python): $mode"
  start=$SECONDS
  venv="$KALVO_ROOT/.venv-$version"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  py="$venv/bin/python"
  "$py" -m pip install -q --upgrade pip >/dev/null
  "$py" -m pip install -q "scikit-build-core>=0.10" ninja cmake numpy
  [ "$mode" = full ] && "$py" -m pip install -q "pytest>=7" hypothesis
  "$py" -m pip install -q --no-build-isolation "$KALVO_ROOT"
  (cd /tmp && "$py" -c "import kalvo; print('kalvo', kalvo.__version__, 'imports:', kalvo.double([[1, 2], [3, 4]]))")
  case "$mode" in
    full)
      (cd "$KALVO_ROOT/tests/python" && "$py" -m pytest -q -p no:cacheprovider .)
      # The stubs hold against this version's module too (slot signatures differ by version).
      "$py" -m pip install -q "mypy>=1.8"
      (cd /tmp && "$py" -m mypy.stubtest kalvo)
      ;;
    tour) (cd "$KALVO_ROOT/examples" && "$py" tour.py >/dev/null && echo "tour ran") ;;
    *) echo "unknown mode $mode" >&2; exit 2 ;;
  esac
  echo "== Python $version done in $((SECONDS - start)) s"
done
