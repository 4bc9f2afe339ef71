#!/usr/bin/env bash
# Checks the type stubs against the installed module (mypy's stubtest) and type-checks the
# examples strictly against them. Needs kalvo installed in .venv (tools/test-all.sh does it).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$KALVO_ROOT"
"$VPY" -m pip install -q "mypy>=1.8"
cd /tmp
"$VPY" -m mypy.stubtest kalvo
"$VPY" -m mypy --strict "$KALVO_ROOT/examples"
# The stubs must catch a misspelt method and a wrong argument type.
bad="$(mktemp -d)/misuse.py"
printf 'import kalvo\na = kalvo.double([[1, 2]])\na.no_such_method()\nkalvo.double(size="2")\n' >"$bad"
if out="$("$VPY" -m mypy --strict "$bad")"; then
  echo "mypy accepted a misuse of kalvo:" >&2
  echo "$out" >&2
  exit 1
fi
echo "$out" | grep -q 'has no attribute "no_such_method"'
echo "$out" | grep -q 'Argument "size"'
echo "stubs checked"
