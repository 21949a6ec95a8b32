#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the benchmark suite
# (benchmarks/run_all.py): prints the table and writes it, with a plot and the
# machine's description, to benchmarks/results/. Arguments go to the suite,
# e.g. --quick.
set -euo pipefail
PACKAGES="numpy scipy matplotlib threadpoolctl"
source "$(dirname "$0")/venv.sh"
cd "$ROOT"
# pykdtree, pynanoflann (nearest neighbours), tetgenpy (tetrahedralisation), small_gicp
# and Open3D (registration) are further peers where a wheel exists for this platform; no
# source builds.
"$VENV_PYTHON" -m pip install -q --only-binary=:all: pykdtree 2>/dev/null ||
    echo "pykdtree has no wheel here: its columns stay empty" >&2
"$VENV_PYTHON" -m pip install -q --only-binary=:all: pynanoflann 2>/dev/null ||
    echo "pynanoflann has no wheel here: its columns stay empty" >&2
for peer in tetgenpy small_gicp open3d; do
    "$VENV_PYTHON" -m pip install -q --only-binary=:all: "$peer" 2>/dev/null ||
        echo "$peer has no wheel here: its columns stay empty" >&2
done
exec "$VENV_PYTHON" benchmarks/run_all.py "$@"
