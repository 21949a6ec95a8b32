#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer
# (ORNEL_SANITIZE) into its own environment, .venv/<version>-asan, and runs
#   1. the whole test suite under both sanitizers, every report fatal;
#   2. the leak checks of tests/test_stress_and_leaks.py under LeakSanitizer,
#      reporting memory that _ornel allocated and never freed (ci/lsan.supp
#      says why everything else is left out).
# Any sanitizer report, failed test or leak fails the stage.
#   ci/sanitize.sh                     # with python3
#   PYTHON=python3.13 ci/sanitize.sh   # with another interpreter
# Extra arguments go to pytest in step 1 (e.g. -x, -k fuzz).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
started=$(date +%s)

PACKAGES="numpy scipy pytest hypothesis"
VENV_SUFFIX=-asan
# Not stripped, so that reports name the module's functions and lines.
ORNEL_BUILD_FLAGS="-Ccmake.define.ORNEL_SANITIZE=ON -Cinstall.strip=false -Cbuild-dir=$root/build/asan"
# shellcheck source=ci/venv.sh
source "$root/ci/venv.sh"
cd "$ROOT"

# The sanitizer runtimes must be loaded before anything else in the
# interpreter; they are the ones of the compiler that built the module.
compiler="${CXX:-c++}"
runtimes=()
for library in libasan.so libubsan.so; do
    path="$("$compiler" -print-file-name="$library")"
    if [[ $path != /* || ! -e $path ]]; then
        echo "sanitize: $compiler has no $library" >&2
        exit 1
    fi
    runtimes+=("$path")
done

# allocator_may_return_null: memory that cannot be had is MemoryError, as in
# the ordinary build, not the end of the process. PYTHONMALLOC=malloc puts
# every Python object under AddressSanitizer too, so a reference the module
# drops too often is a use after free, not silent damage. Output capture stays
# at the Python level so that a report written as the process ends is seen.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
pytest=("$VENV_PYTHON" -m pytest -q -p no:cacheprovider --capture=sys)

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer ($("$VENV_PYTHON" --version))"
LD_PRELOAD="${runtimes[*]}" ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1" \
    "${pytest[@]}" tests "$@"

echo "== leak checks under LeakSanitizer"
LD_PRELOAD="${runtimes[*]}" \
    ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:malloc_context_size=2" \
    LSAN_OPTIONS="suppressions=$ROOT/ci/lsan.supp:print_suppressions=0" \
    "${pytest[@]}" tests/test_stress_and_leaks.py

echo "== sanitizer stage passed in $(( $(date +%s) - started ))s"
