#!/usr/bin/env bash
# The test suite against NumPy 1.x at run time: pyproject.toml accepts
# numpy>=1.23, so the newest 1.26 release stands for the 1.x line. The module
# is built as always (build isolation compiles it against NumPy 2's headers,
# whose binaries run on 1.x too); only the environment it runs in differs.
#   ci/numpy1.sh                    # with python3
# Extra arguments go to pytest.
set -euo pipefail
PACKAGES="numpy>=1.26,<2"
EXTRAS=test
VENV_SUFFIX="-numpy1"
source "$(dirname "$0")/venv.sh"
cd "$ROOT"
numpy_version="$("$VENV_PYTHON" -c 'import numpy; print(numpy.__version__)')"
case "$numpy_version" in
    1.26.*) ;;
    *) echo "ci/numpy1.sh: expected NumPy 1.26.x, found $numpy_version" >&2; exit 1 ;;
esac
echo "== tests under $("$VENV_PYTHON" --version), NumPy $numpy_version"
"$VENV_PYTHON" -m pytest -q tests "$@"
