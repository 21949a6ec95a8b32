#!/usr/bin/env bash
# Checks the formatting and lint of the files the formatters cover:
#   ruff (lint and format) on the Python of src/, tests/, benchmarks/, examples/, ci/, docs/;
#   clang-format on the C++ of src/ and tests/native/.
# Fix what it reports with: ruff check --fix, ruff format, clang-format -i FILE.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
VENV="$ROOT/.venv/lint"
[ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
# Only the tools: linting needs neither the package nor a build.
"$VENV/bin/python" -m pip install -q "ruff>=0.8" "clang-format>=18"
cd "$ROOT"
echo "== ruff $("$VENV/bin/ruff" --version)"
"$VENV/bin/ruff" check src tests benchmarks examples ci docs
"$VENV/bin/ruff" format --check src tests benchmarks examples ci docs
echo "== $("$VENV/bin/clang-format" --version)"
git ls-files -z 'src/*.hpp' 'src/*.cpp' 'tests/native/*.cpp' | xargs -0 "$VENV/bin/clang-format" --dry-run -Werror
