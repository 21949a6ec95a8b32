#!/usr/bin/env bash
# Checks the type stubs of _ornel and ornel._native against the built modules, and that mypy
# finds them where pip installs them:
#   1. mypy.stubtest compares every function, class, method and attribute of
#      the stubs with the imported module (names, parameters, defaults);
#   2. mypy --strict checks the examples, which use every entry point, and
#      tests/typing/misuse.py, whose wrong calls the stubs must reject (each
#      carries a `type: ignore` that --strict reports if it silences nothing);
#   3. mypy --strict checks the ornel package itself;
#   4. the quick-start example runs and checks its answers.
# Step 2 also fails if mypy cannot find the installed stubs at all (an untyped
# import is an error under --strict), which stubtest alone would not notice.
set -euo pipefail
EXTRAS=typing
source "$(dirname "$0")/venv.sh"
cd "$ROOT"
echo "== type stubs under $("$VENV_PYTHON" --version), $("$VENV_PYTHON" -m mypy --version)"
"$VENV_PYTHON" -m mypy.stubtest _ornel ornel._native
"$VENV_PYTHON" -m mypy --strict --no-incremental examples/quick_start.py examples/join.py tests/typing/misuse.py
# The ornel package's own type hints (it ships py.typed), checked from its source.
"$VENV_PYTHON" -m mypy --strict --no-incremental src/ornel
"$VENV_PYTHON" examples/quick_start.py
