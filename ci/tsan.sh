#!/usr/bin/env bash
# The tetrahedraliser's threads under ThreadSanitizer: tests/native/delaunay_threads.cpp,
# built against the core alone (no Python), fails on any data race it reports or
# on a graph or set of tetrahedra that depends on the number of threads.
#   ci/tsan.sh               # with g++
#   CXX=clang++ ci/tsan.sh   # with another compiler
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
echo "== the tetrahedraliser's threads under ThreadSanitizer"
"${CXX:-g++}" -std=c++20 -O1 -g -fsanitize=thread -ffp-contract=off -fno-math-errno -pthread \
    -I"$ROOT/src" "$ROOT/tests/native/delaunay_threads.cpp" -o "$out/delaunay_threads"
TSAN_OPTIONS="halt_on_error=1" "$out/delaunay_threads"
