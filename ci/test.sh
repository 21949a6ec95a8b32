#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the test suite.
#   ci/test.sh                      # with python3
#   PYTHON=python3.13 ci/test.sh    # with another interpreter
#   TESTS=tests/test_knn.py ci/test.sh   # only some of the tests
# Extra arguments go to pytest.
set -euo pipefail
EXTRAS=test
source "$(dirname "$0")/venv.sh"
cd "$ROOT"
echo "== tests under $("$VENV_PYTHON" --version)"
# shellcheck disable=SC2086
"$VENV_PYTHON" -m pytest -q ${TESTS:-tests} "$@"
