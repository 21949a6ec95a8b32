#!/usr/bin/env bash
# Sets up everything on a fresh machine and runs the benchmark suite
# (benchmarks/run_all.py): prints the table and writes it, with a plot and the
# machine's description, to benchmarks/results/. Arguments go to the suite,
# e.g. --quick.
set -euo pipefail
EXTRAS=bench
source "$(dirname "$0")/venv.sh"
cd "$ROOT"
# The peers of the extra bench-peers (pykdtree, pynanoflann: nearest neighbours; tetgenpy:
# tetrahedralisation; small_gicp, Open3D: registration) where a wheel exists for this
# platform, one by one; no source builds.
for peer in $("$VENV_PYTHON" ci/requirements-of.py bench-peers); do
    "$VENV_PYTHON" -m pip install -q --only-binary=:all: "$peer" 2>/dev/null ||
        echo "$peer has no wheel here: its columns stay empty" >&2
done
exec "$VENV_PYTHON" benchmarks/run_all.py "$@"
