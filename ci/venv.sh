# Sourced by the other scripts: makes (or reuses) a virtual environment for the
# interpreter $PYTHON (default python3) under .venv/<version>$VENV_SUFFIX,
# installs the packages given in $PACKAGES (pins only, such as numpy<2: the
# lists live in pyproject.toml), then builds and installs the module from this
# checkout into it with the extras named in $EXTRAS (e.g. "test") and the pip
# options in $ORNEL_BUILD_FLAGS. Leaves $VENV_PYTHON pointing at the
# environment's python.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
version="$("$PYTHON" -c 'import sys; print("%d.%d%s" % (sys.version_info[:2] + ("t" if not getattr(sys, "_is_gil_enabled", lambda: True)() else "",)))')"
VENV="$ROOT/.venv/$version${VENV_SUFFIX:-}"
if [ ! -x "$VENV/bin/python" ]; then
    "$PYTHON" -m venv "$VENV"
fi
VENV_PYTHON="$VENV/bin/python"
"$VENV_PYTHON" -m pip install -q --upgrade pip >/dev/null
# shellcheck disable=SC2086
[ -z "${PACKAGES:-}" ] || "$VENV_PYTHON" -m pip install -q $PACKAGES
# The pins again beside the package, so that its extras are resolved within them
# (plyfile's newest release wants NumPy 2: numpy<2 must choose an older one).
# shellcheck disable=SC2086
"$VENV_PYTHON" -m pip install -q ${ORNEL_BUILD_FLAGS:-} ${PACKAGES:-} "$ROOT${EXTRAS:+[$EXTRAS]}"
