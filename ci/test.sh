#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the test suite.
#   ci/test.sh                      # with python3
#   PYTHON=python3.13 ci/test.sh    # with another interpreter
# Extra arguments go to pytest.
set -euo pipefail
PACKAGES="numpy scipy pytest hypothesis plyfile tqdm laspy lazrs pypcd4 matplotlib dask[distributed]"
source "$(dirname "$0")/venv.sh"
cd "$ROOT"
echo "== tests under $("$VENV_PYTHON" --version)"
"$VENV_PYTHON" -m pytest -q tests "$@"
