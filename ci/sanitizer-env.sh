# Sourced by ci/sanitize.sh and ci/fuzz-long.sh: builds the module with
# AddressSanitizer and UndefinedBehaviorSanitizer (ORNEL_SANITIZE) into its own
# environment, .venv/<version>-asan, and defines `sanitized`, a command prefix
# that runs a program under both sanitizers.
set -euo pipefail
EXTRAS=test-in-process
VENV_SUFFIX=-asan
# Not stripped, so that reports name the module's functions and lines.
ORNEL_BUILD_FLAGS="-Ccmake.define.ORNEL_SANITIZE=ON -Cinstall.strip=false -Cbuild-dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/asan"
# shellcheck source=ci/venv.sh
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"

# The sanitizer runtimes must be loaded before anything else in the
# interpreter; they are the ones of the compiler that built the module.
compiler="${CXX:-c++}"
runtimes=()
for library in libasan.so libubsan.so; do
    path="$("$compiler" -print-file-name="$library")"
    if [[ $path != /* || ! -e $path ]]; then
        echo "$compiler has no $library: cannot run under the sanitizers" >&2
        exit 1
    fi
    runtimes+=("$path")
done

# Every report ends the process with a non-zero status. allocator_may_return_null:
# memory that cannot be had is MemoryError, as in the ordinary build, not the end
# of the process (each such refusal prints one "failed to allocate" warning).
# PYTHONMALLOC=malloc puts every Python object under AddressSanitizer too, so a
# reference the module drops too often is a use after free, not silent damage.
sanitized=(env "LD_PRELOAD=${runtimes[*]}" PYTHONMALLOC=malloc
           "ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1"
           "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
