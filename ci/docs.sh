#!/usr/bin/env bash
# Builds the documentation site strictly: a broken link, anchor or API reference fails
# it. (Every example of the README and the docs runs with the test suite, in
# tests/test_docs_examples.py.) The site goes to site/.
set -euo pipefail
PACKAGES="mkdocs>=1.6 mkdocs-material>=9.5 mkdocstrings[python]>=0.26"
source "$(dirname "$0")/venv.sh"
cd "$ROOT"
echo "== docs under $("$VENV_PYTHON" -m mkdocs --version)"
NO_MKDOCS_2_WARNING=1 "$VENV_PYTHON" -m mkdocs build --strict --site-dir "$ROOT/site"
