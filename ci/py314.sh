#!/usr/bin/env bash
# Builds the module and runs the whole test suite under CPython 3.14, inside a
# Debian sid tree made with mmdebstrap outside the repository. The tree is
# reused across runs.
#
# Exit status: 0 when the suite passes, or when no tree can be made at all
# (one line says so: that is outside the project); non-zero when the module
# does not build or a test fails.
#
# Settings (environment):
#   ORNEL_PY314_TREE   where the tree lives (default /var/tmp/ornel-sid-py314)
#   ORNEL_PY314_FRESH  1 throws the tree away and makes it anew
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tree=${ORNEL_PY314_TREE:-/var/tmp/ornel-sid-py314}
log_dir=$(dirname "$tree")
tree_log="$tree.mmdebstrap.log"
packages=(python3.14 python3.14-dev python3.14-venv g++ ca-certificates)

say() { printf 'py314: %s\n' "$*"; }
skip() { say "skipped: $*"; exit 0; }
now() { date +%s; }
elapsed() { echo "$(( $(now) - $1 ))s"; }

run_started=$(now)
[[ $(id -u) -eq 0 ]] || skip "needs root for mmdebstrap and chroot"

# In a mount namespace of its own, the run's mounts vanish with it even when
# it is killed outright; the trap below undoes them on any ordinary exit.
if [[ -z ${ORNEL_PY314_IN_NS:-} ]] && unshare --mount --propagation private true 2>/dev/null; then
    ORNEL_PY314_IN_NS=1 exec unshare --mount --propagation private "$BASH" "${BASH_SOURCE[0]}" "$@"
fi

# One run at a time per tree: a second run waits instead of tearing the tree
# from under the first.
mkdir -p "$log_dir"
exec 9>"$tree.lock"
flock 9

# --- the mirror: whatever this machine's apt already uses --------------------
mirror_uri() {
    local uri=""
    if [[ -r /etc/apt/sources.list.d/debian.sources ]]; then
        # The first URIs line that is not the security archive.
        uri=$(awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' \
            /etc/apt/sources.list.d/debian.sources)
    fi
    if [[ -z $uri && -r /etc/apt/sources.list ]]; then
        uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z+]+:\/\//) { if ($i !~ /security/) print $i; break } }' \
            /etc/apt/sources.list | head -n 1)
    fi
    printf '%s' "$uri"
}

# --- mounts: undone on every exit ---------------------------------------------
mounted=()
undo_mounts() {
    local i
    for (( i = ${#mounted[@]} - 1; i >= 0; i-- )); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
}
# A signal stops the work inside the tree (its own process group) at once.
child=""
stop() {
    if [[ -n $child ]]; then
        kill -TERM -- "-$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    exit "$1"
}
trap undo_mounts EXIT
trap 'stop 130' INT
trap 'stop 143' TERM

bind() {  # bind SOURCE TARGET [ro]
    mount --rbind "$1" "$2"
    mounted+=("$2")
    mount --make-rslave "$2"
    if [[ ${3:-} == ro ]]; then
        mount -o remount,bind,ro "$2"
    fi
}

# Mounts left under the tree by a run that was killed outright (no trap).
stale_mounts() {
    awk -v t="$tree" '$5 == t || index($5, t "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
clear_stale_mounts() {
    local m
    while read -r m; do
        [[ -n $m ]] && { umount -R "$m" 2>/dev/null || umount -R -l "$m" || true; }
    done < <(stale_mounts)
    [[ -z $(stale_mounts) ]]
}

# --- the tree ----------------------------------------------------------------
uri=$(mirror_uri)
[[ -n $uri ]] || skip "no Debian mirror in /etc/apt/sources.list.d/debian.sources or /etc/apt/sources.list"
want="sid ${packages[*]} | $uri"
stamp="$tree/.ornel-tree"

if [[ ${ORNEL_PY314_FRESH:-0} == 1 || ! -f $stamp || $(cat "$stamp" 2>/dev/null) != "$want" ]]; then
    if ! command -v mmdebstrap >/dev/null; then
        started=$(now)
        export DEBIAN_FRONTEND=noninteractive
        apt-get install -y -q mmdebstrap >/dev/null 2>&1 ||
            { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q mmdebstrap >/dev/null 2>&1; } ||
            skip "mmdebstrap cannot be installed with apt-get"
        say "mmdebstrap installed in $(elapsed "$started")"
    fi
    clear_stale_mounts || { say "something is still mounted under $tree; not removing it"; exit 1; }
    rm -rf --one-file-system "$tree" "$tree.new"
    started=$(now)
    say "making a Debian sid tree in $tree from $uri"
    if ! timeout 900 mmdebstrap --variant=apt --mode=root \
            --aptopt='Acquire::Check-Valid-Until "false"' \
            --aptopt='Acquire::Retries "3"' \
            --include="$(IFS=,; echo "${packages[*]}")" \
            sid "$tree.new" "deb $uri sid main" >"$tree_log" 2>&1; then
        clear_stale_mounts || true
        rm -rf --one-file-system "$tree.new"
        why=$(grep -m 1 '^E: ' "$tree_log" | cut -c 4-120 || true)
        skip "no Debian sid tree could be made from $uri: ${why:-mmdebstrap failed} (log: $tree_log)"
    fi
    printf '%s\n' "$want" >"$tree.new/.ornel-tree"
    mv "$tree.new" "$tree"
    say "tree made in $(elapsed "$started") ($(du -sh --one-file-system "$tree" | cut -f1))"
else
    clear_stale_mounts || { say "something is still mounted under $tree from an earlier run"; exit 1; }
    say "reusing the Debian sid tree in $tree"
fi

# --- what the tree needs from the host ----------------------------------------
# The checkout is bound read-only at /mnt/checkout and copied to /build/src
# inside, so the host's build/ and caches are never touched.
cp -L --remove-destination /etc/resolv.conf "$tree/etc/resolv.conf"
mkdir -p "$tree/proc" "$tree/dev" "$tree/mnt/checkout" "$tree/build/src"
mount -t proc proc "$tree/proc"
mounted+=("$tree/proc")
bind /dev "$tree/dev"
bind "$repo" "$tree/mnt/checkout" ro

# pip's settings and every path they name (a CA bundle that knows the package
# index's certificate, a constraints file, a folder of wheels) are the host's:
# each is bound read-only over the same path in the tree, for this run only.
# A PIP_* variable naming a path that exists nowhere is dropped.
declare -A bound=()
host_path_in_tree() {  # PATH; non-zero when the host has no such path
    local p=$1
    [[ -e $p ]] || return 1
    [[ -z ${bound[$p]:-} ]] || return 0
    bound[$p]=1
    if [[ -d $p ]]; then
        mkdir -p "$tree$p"
    elif [[ ! -e $tree$p ]]; then
        mkdir -p "$(dirname "$tree$p")"
        : >"$tree$p"
    fi
    bind "$p" "$tree$p" ro
}
pip_configs=()
[[ -f /etc/pip.conf ]] && pip_configs+=(/etc/pip.conf)
[[ -d /etc/xdg/pip ]] && pip_configs+=(/etc/xdg/pip/*.conf)
[[ -d /etc/xdg/pip ]] && host_path_in_tree /etc/xdg/pip
[[ -f /etc/pip.conf ]] && host_path_in_tree /etc/pip.conf
for f in "${pip_configs[@]}"; do
    [[ -f $f ]] || continue
    while read -r p; do
        host_path_in_tree "$p" || say "$f names $p, which does not exist"
    done < <(sed -n 's/^[[:space:]]*[A-Za-z_-]*[[:space:]]*=[[:space:]]*\(\/[^[:space:]]*\)[[:space:]]*$/\1/p' "$f")
done

pip_env=()
for name in $(compgen -e | grep '^PIP_' || true); do
    value=${!name}
    if [[ $value == /* ]]; then
        keep=()
        for p in $value; do host_path_in_tree "$p" && keep+=("$p"); done
        [[ ${#keep[@]} -gt 0 ]] || { say "not passing $name=$value: no such path"; continue; }
        value="${keep[*]}"
    fi
    pip_env+=("$name=$value")
done

# --- build and test inside the tree -------------------------------------------
# The tree sees a clean environment: only what the build and the tests are
# steered by crosses over. Two build jobs at most: the cores are shared.
pass_env=(PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8
          "CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "${pip_env[@]}")
for name in CI OPENBLAS_CORETYPE OPENBLAS_L2_SIZE PYTEST_ADDOPTS \
            http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY \
            $(compgen -e | grep '^HYPOTHESIS_' || true); do
    [[ -n ${!name:-} ]] && pass_env+=("$name=${!name}")
done

# Runs inside the tree: $1 interpreter, $2 venv, $3 build dir.
read -r -d '' inner <<'EOF' || true
set -euo pipefail
python=$1 venv=$2 build=$3
say() { printf 'py314: [%s] %s\n' "$python" "$*"; }
now() { date +%s; }

started=$(now)
[[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
# The suite's needs from pyproject.toml, installed apart: the module is built below without isolation.
mapfile -t requirements < <("$venv/bin/python" /mnt/checkout/ci/requirements-of.py --core test-in-process)
"$venv/bin/python" -m pip install -q "${requirements[@]}" scikit-build-core cmake ninja
say "environment ready in $(( $(now) - started ))s: $("$venv/bin/python" -c 'import sys, numpy, scipy; print(sys.version.split()[0], "numpy", numpy.__version__, "scipy", scipy.__version__)')"

started=$(now)
rm -rf --one-file-system /build/src
mkdir /build/src
tar -C /mnt/checkout --exclude=./.git --exclude=./build --exclude=./.venv --exclude='*.so' \
    --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis -cf - . | tar -C /build/src -xf -
cd /build/src
if ! "$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps "-Cbuild-dir=$build" . ; then
    say "the module does not build"
    exit 1
fi
say "built and installed in $(( $(now) - started ))s"

started=$(now)
if ! compgen -G "tests/test_*.py" >/dev/null && ! compgen -G "tests/*_test.py" >/dev/null; then
    "$venv/bin/python" -c 'import _ornel'
    say "imports; there is no test suite to run"
    exit 0
fi
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests || status=$?
say "tests ran in $(( $(now) - started ))s"
exit $status
EOF

run_in_tree() {  # interpreter venv build-dir
    local rc=0
    setsid -w chroot "$tree" /usr/bin/env -i "${pass_env[@]}" /bin/bash -c "$inner" inner "$@" &
    child=$!
    wait "$child" || rc=$?
    child=""
    return "$rc"
}

status=0
run_in_tree python3.14 /opt/venv-py314 /tmp/build-py314 || status=$?
say "$( ((status == 0)) && echo passed || echo FAILED) under CPython 3.14; the stage took $(elapsed "$run_started")"
exit $status
