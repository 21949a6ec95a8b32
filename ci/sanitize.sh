#!/usr/bin/env bash
# The sanitizer stage of CI. Builds the module with AddressSanitizer and
# UndefinedBehaviorSanitizer into .venv/<version>-asan (ci/sanitizer-env.sh) and runs
#   1. the whole test suite under both sanitizers;
#   2. the leak checks of tests/test_stress_and_leaks.py under LeakSanitizer,
#      which reports memory that _ornel allocated and never freed (ci/lsan.supp
#      says why everything else is left out).
# Any sanitizer report, failed test or leak fails the stage.
#   ci/sanitize.sh                     # with python3
#   PYTHON=python3.13 ci/sanitize.sh   # with another interpreter
# Extra arguments go to pytest in step 1 (e.g. -x, -k fuzz).
set -euo pipefail
started=$(date +%s)
source "$(dirname "$0")/sanitizer-env.sh"
cd "$ROOT"

# Output capture stays at the Python level, so that a report written as the
# process ends reaches the log.
pytest=("$VENV_PYTHON" -m pytest -q -p no:cacheprovider --capture=sys)

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer ($("$VENV_PYTHON" --version))"
"${sanitized[@]}" "${pytest[@]}" tests "$@"

echo "== leak checks under LeakSanitizer"
# Two frames per allocation stack: the allocator and its direct caller, which
# tells the module's allocations from everybody else's.
# LeakSanitizer's own tracer, which stops every thread at exit to scan them,
# has crashed once here (signal 11 inside the tracer, after the tests had
# passed): such a crash of the tool, and only that, gets one more run. A leak
# report, or a failed test, fails the stage at once.
leak_checks() {
    "${sanitized[@]}" ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:malloc_context_size=2" \
        LSAN_OPTIONS="suppressions=$ROOT/ci/lsan.supp:print_suppressions=0" \
        "${pytest[@]}" tests/test_stress_and_leaks.py
}
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! leak_checks 2>&1 | tee "$log"; then
    if grep -q "LeakSanitizer has encountered a fatal error" "$log" &&
        ! grep -q "ERROR: LeakSanitizer: detected memory leaks" "$log" && ! grep -q " failed" "$log"; then
        echo "== LeakSanitizer itself crashed (no leak reported): once more"
        leak_checks
    else
        exit 1
    fi
fi

echo "== sanitizer stage passed in $(( $(date +%s) - started ))s"
