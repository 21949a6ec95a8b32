#!/usr/bin/env bash
# Sets up everything on a fresh machine (.venv/, the ornel package and its command)
# and runs `ornel matrix`:
#   ci/main-job.sh                 # the shipped scans (data/*.npy) and generated clouds
#   ci/main-job.sh FILE... [OPT]   # the given files; options as for `ornel matrix`
# Paths are relative to the caller's directory; runs from anywhere.
set -euo pipefail
# Every extra: the command reads LAS/LAZ and PCD, draws, and runs on a Dask cluster.
EXTRAS=all
source "$(dirname "$0")/venv.sh"
command="$(dirname "$VENV_PYTHON")/ornel"
if [ $# -gt 0 ]; then
    exec "$command" matrix "$@"
fi
generated="$(mktemp -d)"
trap 'rm -rf "$generated"' EXIT
"$VENV_PYTHON" "$ROOT/ci/generate-clouds.py" "$generated"
"$command" matrix "$ROOT"/data/*.npy "$generated"/bunny-scan-a.ply "$generated"/bunny-scan-b.xyz \
    "$generated"/sphere.csv
