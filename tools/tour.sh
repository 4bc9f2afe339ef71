#!/usr/bin/env bash
# Builds and installs kalvo into .venv, then runs the tour of its capabilities.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
kalvo_venv
kalvo_install
cd "$KALVO_ROOT/examples"
"$VPY" tour.py
