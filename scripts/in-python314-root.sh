#!/usr/bin/env bash
# Runs a command in the Debian sid root of scripts/build-python314-root.sh (made first when it is
# not cached), with this checkout at the same path as outside and the command's working directory
# there, set up so that the project's scripts work on CPython 3.14:
#
#   scripts/in-python314-root.sh python3.14 -c 'import sys; print(sys.version)'
#   scripts/in-python314-root.sh scripts/test.sh -q tests/python/test_varint.py
#   scripts/in-python314-root.sh scripts/bench.sh --quick --out /tmp/results-314.md
#
# The checkout is bind-mounted read-only, so nothing run in the root changes it. /proc, /sys and
# /dev are mounted, and so are, read-only at their own paths, the host's DNS configuration, its
# pip configuration files with every file that they or the PIP_* variables name (CA bundle,
# constraints), and the CA bundles of SSL_CERT_FILE and REQUESTS_CA_BUNDLE: pip in the root
# reaches the same package index as on the host.
#
# Every mount is made in a private mount namespace of the command's own (unshare), so none of them
# is ever seen outside it, and each is unmounted again on the way out, whatever the exit (the
# namespace also goes when its last process does, even one killed outright).
#
# The command gets a clean environment: HOME, PATH, TERM, LANG, the variables named PIP_*,
# QUORBEL_*, CI and the proxies, the CA bundle variables above, and the root's own settings:
# QUORBEL_IN_PYTHON314_ROOT=1; PYTHON=/usr/bin/python3.14 (scripts/find-python.sh takes it);
# QUORBEL_VENV, QUORBEL_BUILD_DIR and QUORBEL_BENCH_BUILD_DIR, a virtual environment and build
# trees per checkout in the root's ~/.cache/quorbel (the host's values name host paths, so they
# are not passed); module builds with warnings as errors (CMAKE_ARGS); no bytecode written, and
# Hypothesis's example database in the root's cache (the checkout is read-only). Needs root, or
# sudo.
set -euo pipefail

prog=in-python314-root
die() { printf '%s: error: %s\n' "$prog" "$*" >&2; exit 1; }

[ $# -gt 0 ] || die "no command given (usage: $0 COMMAND [ARG...])"
checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)

if [ "${QUORBEL_IN_MOUNT_NAMESPACE:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null 2>&1 || die "mounting needs root; run this as root or install sudo"
    exec sudo --preserve-env HOME="$HOME" "$0" "$@"
  fi
  root=$("$checkout/scripts/build-python314-root.sh" | tail -n 1)
  [ -x "$root/usr/bin/python3.14" ] || die "no root at '$root'"
  command -v unshare >/dev/null 2>&1 || die "unshare is missing (Debian package util-linux)"
  QUORBEL_IN_MOUNT_NAMESPACE=1 QUORBEL_PYTHON314_ROOT=$root \
    exec unshare --mount --propagation private -- "$BASH" "$0" "$@"
fi

# ---- inside the private mount namespace -------------------------------------------------------

root=$QUORBEL_PYTHON314_ROOT
mounted=()  # mount points in the root, in the order they were mounted
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount --recursive --lazy -- "${mounted[i]}" 2>/dev/null \
      || printf '%s: warning: could not unmount %s\n' "$prog" "${mounted[i]}" >&2
  done
  mounted=()
}
trap unmount_all EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Mounts host path $1 read-only at the same path in the root, making the mount point when the root
# lacks it. A symbolic link in the root that leads out of it is refused.
bind_host_path() {
  local source=$1 point
  point=$(realpath -m -- "$root$source")
  case "$point" in "$root"/*) ;; *) die "$root$source leads out of the root (to $point)" ;; esac
  if [ -d "$source" ]; then
    mkdir -p -- "$point"
  else
    mkdir -p -- "$(dirname -- "$point")"
    [ -e "$point" ] || : >"$point"
  fi
  mount --bind -- "$source" "$point" || die "cannot bind-mount $source into the root"
  mounted+=("$point")
  mount -o remount,bind,ro -- "$point" || die "cannot make $point read-only"
}

# The root on itself first, so that it is a mount point in the root too ("mount --make-rprivate /"
# works there).
mount --bind -- "$root" "$root" || die "cannot bind-mount the root onto itself"
mounted+=("$root")
mkdir -p -- "$root/proc" "$root/sys" "$root/dev"
mount -t proc proc "$root/proc" || die "cannot mount /proc in the root"
mounted+=("$root/proc")
mount --rbind /dev "$root/dev" || die "cannot mount /dev in the root"
mounted+=("$root/dev")
bind_host_path /sys

# The host's pip configuration files, every file they or the PIP_* variables name (a CA bundle, a
# constraints file), the CA bundles of the SSL variables, and DNS. Directories are left out: a
# local index or wheel directory of the host's is a cache that pip in the root, which warns and
# goes on without it, can do without.
pip_configs=(/etc/pip.conf /etc/xdg/pip/pip.conf "${XDG_CONFIG_HOME:-$HOME/.config}/pip/pip.conf"
             "$HOME/.pip/pip.conf" "${PIP_CONFIG_FILE:-}")
named=()
for config in "${pip_configs[@]}"; do
  [ -f "$config" ] || continue
  named+=("$config")
  read -r -a tokens <<<"$(sed -e 's/[#;].*//' -e 's/=/ /' "$config" | tr '\n' ' ')"
  named+=("${tokens[@]}")
done
while IFS= read -r name; do
  case "$name" in PIP_*) read -r -a tokens <<<"${!name}"; named+=("${tokens[@]}") ;; esac
done < <(compgen -e)
named+=("${SSL_CERT_FILE:-}" "${REQUESTS_CA_BUNDLE:-}" /etc/resolv.conf /etc/hosts)
declare -A bound=()
for path in "${named[@]}"; do
  path=${path#file://}
  case "$path" in /?*) ;; *) continue ;; esac
  [ -f "$path" ] || continue
  # Never a file of the file systems mounted above, nor one twice.
  case "$path" in /proc/* | /sys/* | /dev/*) continue ;; esac
  [ -z "${bound[$path]:-}" ] || continue
  bound[$path]=1
  bind_host_path "$path"
done

bind_host_path "$checkout"

cache=$HOME/.cache/quorbel  # in the root
tag=$(printf '%s' "$checkout" | sha1sum | cut -c1-10)
environment=(HOME="$HOME" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
             TERM="${TERM:-dumb}" LANG=C.UTF-8)
while IFS= read -r name; do
  case "$name" in
    QUORBEL_IN_MOUNT_NAMESPACE | QUORBEL_PYTHON314_ROOT) ;;
    QUORBEL_CACHE | QUORBEL_VENV | QUORBEL_BUILD_DIR | QUORBEL_BENCH_BUILD_DIR) ;;
    PIP_* | QUORBEL_* | CI) environment+=("$name=${!name}") ;;
    http_proxy | https_proxy | no_proxy | HTTP_PROXY | HTTPS_PROXY | NO_PROXY)
      environment+=("$name=${!name}") ;;
  esac
done < <(compgen -e)
for name in SSL_CERT_FILE REQUESTS_CA_BUNDLE; do
  [ -z "${!name:-}" ] || environment+=("$name=${!name}")
done
environment+=(QUORBEL_IN_PYTHON314_ROOT=1 PYTHON=/usr/bin/python3.14
              QUORBEL_VENV="$cache/venv-314-$tag" QUORBEL_BUILD_DIR="$cache/build-314-$tag"
              QUORBEL_BENCH_BUILD_DIR="$cache/bench-build-314-$tag"
              CMAKE_ARGS=-DCMAKE_COMPILE_WARNING_AS_ERROR=ON PYTHONDONTWRITEBYTECODE=1
              HYPOTHESIS_STORAGE_DIRECTORY="$cache/hypothesis-314-$tag")

status=0
chroot "$root" /usr/bin/env -i "${environment[@]}" /bin/sh -c 'cd "$1" && shift && exec "$@"' \
  sh "$checkout" "$@" || status=$?
exit "$status"
