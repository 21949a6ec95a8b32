#!/usr/bin/env bash
# A long fuzzing campaign: tests/test_fuzz.py under the "long" Hypothesis
# profile, ORNEL_FUZZ_EXAMPLES examples per test (5000 by default) from a fresh
# random seed on every run, in the sanitizer build (ci/sanitizer-env.sh), so
# that reading memory the module does not own fails even where it would not
# crash. A hang fails too: every call runs under a watchdog
# (ORNEL_FUZZ_CALL_TIMEOUT seconds, 120 by default).
#   ci/fuzz-long.sh
#   ORNEL_FUZZ_EXAMPLES=2000 ci/fuzz-long.sh -k graph   # extra arguments go to pytest
# Hypothesis prints each test's examples and outcomes; the last line sums them.
# A failing example is kept in .hypothesis/ and tried first on the next run.
set -euo pipefail
started=$(date +%s)
source "$(dirname "$0")/sanitizer-env.sh"
cd "$ROOT"

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
status=0
"${sanitized[@]}" "$VENV_PYTHON" -m pytest -q -p no:cacheprovider --capture=sys \
    --hypothesis-profile=long --hypothesis-show-statistics tests/test_fuzz.py "$@" 2>&1 | tee "$log" ||
    status=$?
examples=$(grep -Eo '[0-9]+ passing, [0-9]+ failing' "$log" | awk '{ n += $1 + $3 } END { print n + 0 }')
echo "== fuzz campaign: $examples examples in $(( $(date +%s) - started ))s; $( ((status == 0)) && echo passed || echo FAILED)"
exit "$status"
