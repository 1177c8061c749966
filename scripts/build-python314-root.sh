#!/usr/bin/env bash
# Makes a Debian sid root that holds CPython 3.14 (Debian's python3.14 packages, with -dev and
# -venv), GCC, CMake and mount, and caches it outside the work tree, under
# ${QUORBEL_CACHE:-$HOME/.cache/quorbel}/python3.14-root. scripts/in-python314-root.sh runs
# commands in it over a checkout.
#
#   scripts/build-python314-root.sh             reuse the cached root, or make it
#   scripts/build-python314-root.sh --rebuild   make it again even if the cache is good
#
# On success the root's path is the last line of stdout; progress goes to stderr.
#
# Debian's stable release has no python3.14, and sid's binaries need sid's C library, so the
# interpreter comes as a whole sid root made with Debian's mmdebstrap (installed with apt-get when
# missing). The root is made in a scratch directory beside the cache and moved into place only
# once it has passed its checks; a root made with another package list is made again.
#
# Needs root, or sudo. Environment:
#   QUORBEL_CACHE           cache directory (default: $HOME/.cache/quorbel)
#   QUORBEL_DEBIAN_MIRROR   Debian mirror (default: the one the machine's apt uses, else
#                           http://deb.debian.org/debian)
set -euo pipefail

prog=build-python314-root
log() { printf '%s: %s\n' "$prog" "$*" >&2; }
die() { printf '%s: error: %s\n' "$prog" "$*" >&2; exit 1; }

rebuild=0
case "${1:-}" in
  "") ;;
  --rebuild) rebuild=1 ;;
  -h|--help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
  *) die "unknown argument '$1' (try --help)" ;;
esac
[ $# -le 1 ] || die "too many arguments (try --help)"

if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null 2>&1 || die "making the root needs root; run as root or install sudo"
  exec sudo --preserve-env=QUORBEL_CACHE,QUORBEL_DEBIAN_MIRROR HOME="$HOME" "$0" "$@"
fi

readonly SUITE=sid
readonly PY_SERIES=3.14
# mount: for the tests that give a process a mount namespace of its own.
readonly PACKAGES=python3.14-dev,python3.14-venv,build-essential,cmake,mount
# What the cached root was made from; a root whose recipe differs is made again.
readonly RECIPE="mmdebstrap --variant=apt $SUITE $PACKAGES"

script_dir=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd -P)
cache=${QUORBEL_CACHE:-${HOME:?HOME is not set; set QUORBEL_CACHE}/.cache/quorbel}
cache=$(realpath -m -- "$cache") || die "cannot resolve the cache directory path"
if repo_root=$(git -C "$script_dir" rev-parse --show-toplevel 2>/dev/null); then
  repo_root=$(cd -- "$repo_root" && pwd -P)
  case "$cache/" in
    "$repo_root"/*)
      die "cache directory $cache is inside the repository $repo_root; set QUORBEL_CACHE outside it" ;;
  esac
fi
mkdir -p -- "$cache" || die "cannot create cache directory $cache"

target=$cache/python$PY_SERIES-root
marker=$target/.quorbel-recipe

# Checks a root: CPython 3.14 with the GIL and the modules the project relies on, a C++ compiler
# and CMake. Runs without /proc, so it needs nothing mounted. Prints what is wrong on failure.
check_root() {
  local dir=$1 out
  [ -x "$dir/usr/bin/python$PY_SERIES" ] || { echo "$dir/usr/bin/python$PY_SERIES is missing"; return 1; }
  out=$(chroot "$dir" /usr/bin/env -i PATH=/usr/bin:/bin "python$PY_SERIES" -I - 2>&1 <<'EOF'
import sys, sysconfig
problems = []
if sys.version_info[:2] != (3, 14):
    problems.append("version is %s, not 3.14" % sys.version.split()[0])
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    problems.append("a free-threaded build, not the default one")
for name in ("ssl", "zlib", "ctypes", "sqlite3", "bz2", "lzma", "hashlib", "venv", "ensurepip"):
    try:
        __import__(name)
    except Exception as exc:
        problems.append("import %s failed: %s: %s" % (name, type(exc).__name__, exc))
import os
if not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")):
    problems.append("Python.h is missing")
if problems:
    print("\n".join(problems))
    sys.exit(1)
EOF
  ) || { printf '%s\n' "${out:-python$PY_SERIES exited with an error}"; return 1; }
  for tool in g++ cmake; do
    chroot "$dir" /usr/bin/env -i PATH=/usr/bin:/bin "$tool" --version >/dev/null 2>&1 \
      || { echo "$tool does not run in the root"; return 1; }
  done
}

cache_is_good() {
  [ -f "$marker" ] && [ "$(cat "$marker")" = "$RECIPE" ] && check_root "$target" >/dev/null 2>&1
}

if [ "$rebuild" = 0 ] && cache_is_good; then
  printf '%s\n' "$target"
  exit 0
fi

# Everything below runs under a lock, so that two runs never make the root at once.
command -v flock >/dev/null 2>&1 || die "flock is missing (Debian package util-linux)"
exec 9>"$cache/.python$PY_SERIES-root.lock"
if ! flock -n 9; then
  log "another run is making the root in $cache; waiting for it"
  flock 9
fi
if [ "$rebuild" = 0 ] && cache_is_good; then
  printf '%s\n' "$target"
  exit 0
fi

if ! command -v mmdebstrap >/dev/null 2>&1; then
  command -v apt-get >/dev/null 2>&1 || die "mmdebstrap is missing and there is no apt-get to install it"
  log "installing mmdebstrap with apt-get"
  DEBIAN_FRONTEND=noninteractive apt-get update -q >&2 || die "apt-get update failed"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends mmdebstrap >&2 \
    || die "apt-get install mmdebstrap failed"
fi

# The Debian mirror the machine's apt already uses (deb822 "URIs:" or one-line "deb" entries),
# the security archive excluded.
machine_mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    sed -n -e 's/^[[:space:]]*URIs:[[:space:]]*//p' \
           -e 's/^[[:space:]]*deb[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]\{1,\}\)\{0,1\}\([^[:space:]]*\).*/\2/p' "$f"
  done | tr -s '[:blank:]' '\n' | sed -n 's:/*$::; \:^https\{0,1\}\://.*/debian$:p' | head -n 1
}
mirror=${QUORBEL_DEBIAN_MIRROR:-$(machine_mirror || true)}
mirror=${mirror:-http://deb.debian.org/debian}
mirror=${mirror%/}

# Leftovers of earlier failed runs. --one-file-system: never follow a mount a failed run left.
for old in "$cache"/python$PY_SERIES-root.new.*; do
  rm -rf --one-file-system -- "$old"
done
work=$(mktemp -d "$cache/python$PY_SERIES-root.new.XXXXXX")
build_log=$work.log
fail() {
  printf '%s: error: %s\n' "$prog" "$*" >&2
  if [ -s "$build_log" ]; then
    printf '%s: last lines of %s:\n' "$prog" "$build_log" >&2
    tail -n 30 "$build_log" >&2
  fi
  printf '%s: the unfinished root %s is kept for inspection\n' "$prog" "$work" >&2
  exit 1
}

started=$(date +%s)
log "making a Debian $SUITE root with $PACKAGES from $mirror (log: $build_log)"
# sid's Release file may be past its Valid-Until date on a mirror that serves a fixed snapshot.
mmdebstrap --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' --include="$PACKAGES" \
  "$SUITE" "$work" "$mirror" >"$build_log" 2>&1 || fail "mmdebstrap failed"
log "checking the root"
why=$(check_root "$work") || fail "the new root failed its checks: $why"
version=$(chroot "$work" "python$PY_SERIES" -c 'import sys; print(sys.version.split()[0])')
{
  echo "Debian $SUITE root with CPython $version"
  echo "packages: $PACKAGES from $mirror"
  echo "made: $(date -u +%Y-%m-%dT%H:%M:%SZ) with $(mmdebstrap --version)"
} >"$work/BUILD-INFO"
printf '%s\n' "$RECIPE" >"$work/.quorbel-recipe"

# Swap the new root in; the old one goes only after the new one is in place.
if [ -e "$target" ]; then
  mv -- "$target" "$work.old"
  rm -rf --one-file-system -- "$work.old"
fi
mv -- "$work" "$target"
rm -f -- "$build_log"
elapsed=$(( $(date +%s) - started ))
log "made and checked CPython $version in $target in $elapsed s"
printf '%s\n' "$target"
