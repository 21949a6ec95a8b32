#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the example join.
# Arguments go to the example (e.g. .npy files of (N, 3) clouds).
set -euo pipefail
PACKAGES="numpy scipy"
source "$(dirname "$0")/venv.sh"
cd "$ROOT"
exec "$VENV_PYTHON" examples/join.py "$@"
