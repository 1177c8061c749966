#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 ("python3.13t", configured with --disable-gil) and
# caches it outside the work tree, under ${QUORBEL_CACHE:-$HOME/.cache/quorbel}/python3.13t.
#
#   scripts/build-freethreaded-python.sh             reuse the cached interpreter, or build it
#   scripts/build-freethreaded-python.sh --rebuild   build it again even if the cache is good
#
# On success the interpreter's path is the last line of stdout; progress goes to stderr.
#
# The source is Debian trixie's python3.13 source package, fetched with a private apt
# configuration (the machine's own apt sources are left as they are). The build uses the
# pristine upstream tarball plus the upstream fixes that Debian backports (cherry-picks from
# CPython's 3.13 branch and security fixes); Debian's own layout patches are left out, since
# they change install schemes and turn off ensurepip, which a private prefix doesn't want.
#
# Needs apt (Debian or a derivative) and root, or sudo, when build dependencies are missing.
# Environment:
#   QUORBEL_CACHE           cache directory (default: $HOME/.cache/quorbel)
#   QUORBEL_DEBIAN_MIRROR   Debian mirror to fetch the source from (default: the one the
#                           machine's apt uses, else http://deb.debian.org/debian)
#   QUORBEL_BUILD_JOBS      parallel make jobs (default: number of CPUs)
#   QUORBEL_PY_SANITIZER    "thread" builds a ThreadSanitizer interpreter instead, cached beside
#                           the plain one as python3.13t-tsan, with CPython's own suppression
#                           file in its share/ (used by scripts/test-tsan.sh)
set -euo pipefail

prog=build-freethreaded-python
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

# Debian source package, upstream series and the name of the interpreter it installs.
readonly SOURCE_PACKAGE=python3.13
readonly SOURCE_SUITE=trixie
readonly PY_SERIES=3.13
readonly PY_NAME=python3.13t
readonly MIN_CMAKE=3.30

case "${QUORBEL_PY_SANITIZER:-}" in
  "") variant= ;;
  thread)
    variant=-tsan
    # The interpreter's own checks below must not fail on the reports of a sanitized build.
    export TSAN_OPTIONS=${TSAN_OPTIONS:-report_bugs=0:exitcode=0}
    ;;
  *) die "QUORBEL_PY_SANITIZER must be empty or 'thread', not '$QUORBEL_PY_SANITIZER'" ;;
esac

if [ -n "${QUORBEL_CACHE:-}" ]; then
  cache=$QUORBEL_CACHE
else
  [ -n "${HOME:-}" ] || die "HOME is not set; set QUORBEL_CACHE to a cache directory"
  cache=$HOME/.cache/quorbel
fi
cache=$(realpath -m -- "$cache") || die "cannot resolve the cache directory path"

# The cache must never land inside the repository this script belongs to.
script_dir=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd -P)
if repo_root=$(git -C "$script_dir" rev-parse --show-toplevel 2>/dev/null); then
  repo_root=$(cd -- "$repo_root" && pwd -P)
  case "$cache/" in
    "$repo_root"/*) die "cache directory $cache is inside the repository $repo_root; set QUORBEL_CACHE to a directory outside it" ;;
  esac
fi

mkdir -p -- "$cache" || die "cannot create cache directory $cache"

prefix=$cache/$PY_NAME$variant
python=$prefix/bin/$PY_NAME
verified_marker=$prefix/.verified

# Checks that "$1" is a working free-threaded CPython 3.13 with the standard modules the
# project relies on. Silent on success; prints what is wrong on failure.
check_interpreter() {
  local py=$1 out
  [ -x "$py" ] || { echo "$py does not exist or is not executable"; return 1; }
  out=$(env -u PYTHON_GIL -u PYTHONHOME -u PYTHONPATH "$py" -I - 2>&1 <<'EOF'
import sys, sysconfig
problems = []
if sys.version_info[:2] != (3, 13):
    problems.append("version is %s, not 3.13" % sys.version.split()[0])
if sysconfig.get_config_var("Py_GIL_DISABLED") != 1:
    problems.append("not a free-threaded build (Py_GIL_DISABLED is %r)"
                    % sysconfig.get_config_var("Py_GIL_DISABLED"))
if not hasattr(sys, "_is_gil_enabled"):
    problems.append("sys._is_gil_enabled is missing")
elif sys._is_gil_enabled():
    problems.append("the GIL is enabled at startup")
for name in ("ssl", "zlib", "ctypes", "sqlite3", "bz2", "lzma", "hashlib",
             "venv", "ensurepip", "pip"):
    try:
        __import__(name)
    except Exception as exc:
        problems.append("import %s failed: %s: %s" % (name, type(exc).__name__, exc))
if not problems:
    try:
        import ctypes, hashlib, sqlite3, ssl, zlib
        assert ctypes.c_int(7).value == 7 and ctypes.CDLL(None) is not None
        assert zlib.decompress(zlib.compress(b"quorbel" * 10)) == b"quorbel" * 10
        assert hashlib.sha256(b"").hexdigest().startswith("e3b0c442")
        with sqlite3.connect(":memory:") as db:
            assert db.execute("select 1 + 1").fetchone() == (2,)
        ssl.create_default_context()
    except Exception as exc:
        problems.append("standard module self-test failed: %s: %r" % (type(exc).__name__, exc))
if hasattr(sys, "_is_gil_enabled") and sys._is_gil_enabled():
    problems.append("importing the standard modules re-enabled the GIL")
if problems:
    print("\n".join(problems))
    sys.exit(1)
EOF
  ) || { printf '%s\n' "${out:-$py exited with an error}"; return 1; }
  # Plain startup, the way the project's tooling asks.
  out=$(env -u PYTHON_GIL "$py" -c 'import sys; print(sys._is_gil_enabled())' 2>&1) || {
    printf '%s\n' "$out"; return 1; }
  [ "$out" = False ] || { echo "sys._is_gil_enabled() printed '$out', not False"; return 1; }
  env -u PYTHON_GIL "$py" -m pip --version >/dev/null 2>&1 || { echo "'$py -m pip' does not work"; return 1; }
}

# Checks that a virtual environment made by "$1" works and can install CMake from PyPI
# (CMake $MIN_CMAKE or later is what finds a free-threaded Python). Needs the network.
check_venv_and_pip() (
  py=$1
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/quorbel-ftvenv.XXXXXX") || { echo "mktemp failed"; exit 1; }
  trap 'rm -rf -- "$tmp"' EXIT
  if ! env -u PYTHON_GIL "$py" -m venv "$tmp/venv" >"$tmp/log" 2>&1; then
    echo "'$py -m venv' failed:"; tail -n 20 "$tmp/log"; exit 1
  fi
  if ! env -u PYTHON_GIL "$tmp/venv/bin/python" -c \
      'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") == 1 and not sys._is_gil_enabled() else 1)' \
      >>"$tmp/log" 2>&1; then
    echo "the virtual environment's python is not free-threaded"; exit 1
  fi
  if ! "$tmp/venv/bin/pip" install --disable-pip-version-check --no-input --quiet "cmake>=$MIN_CMAKE" \
      >>"$tmp/log" 2>&1; then
    echo "'pip install cmake>=$MIN_CMAKE' in a virtual environment failed:"; tail -n 20 "$tmp/log"; exit 1
  fi
  if ! version=$("$tmp/venv/bin/cmake" --version 2>&1 | sed -n '1s/^cmake version //p') || [ -z "$version" ]; then
    echo "the cmake installed by pip does not run"; exit 1
  fi
  if ! "$tmp/venv/bin/python" -c 'import sys; v = tuple(int(x) for x in sys.argv[1].split(".")[:2]); m = tuple(int(x) for x in sys.argv[2].split(".")); sys.exit(0 if v >= m else 1)' \
      "$version" "$MIN_CMAKE" 2>/dev/null; then
    echo "pip installed cmake $version, older than $MIN_CMAKE"; exit 1
  fi
  log "pip installed cmake $version into a fresh virtual environment"
)

# Runs the full verification of the cached interpreter and, once it passes, marks it verified.
verify_cached() {
  local why
  why=$(check_interpreter "$python") || { printf '%s\n' "$why" >&2; return 1; }
  why=$(check_venv_and_pip "$python") || { printf '%s\n' "$why" >&2; return 2; }
  : >"$verified_marker"
}

# Fast path: a cached interpreter that works and has passed the full verification once.
cache_is_good() {
  [ -f "$verified_marker" ] && check_interpreter "$python" >/dev/null 2>&1 &&
    { [ -z "$variant" ] || [ -f "$prefix/share/tsan-suppressions.txt" ]; }
}

if [ "$rebuild" = 0 ] && cache_is_good; then
  printf '%s\n' "$python"
  exit 0
fi

# Everything below runs under a lock, so that two runs never build into the same cache.
command -v flock >/dev/null 2>&1 || die "flock is missing (Debian package util-linux)"
exec 9>"$cache/.$PY_NAME$variant.lock"
if ! flock -n 9; then
  log "another build is running in $cache; waiting for it"
  flock 9
fi

if [ "$rebuild" = 0 ]; then
  if cache_is_good; then
    printf '%s\n' "$python"
    exit 0
  fi
  # Installed and sound, but the virtual environment check never passed (for example the
  # network was down then): verify again instead of building again.
  if [ -x "$python" ] && check_interpreter "$python" >/dev/null 2>&1 &&
     { [ -z "$variant" ] || [ -f "$prefix/share/tsan-suppressions.txt" ]; }; then
    log "verifying the cached $python"
    status=0; verify_cached || status=$?
    if [ "$status" = 0 ]; then
      printf '%s\n' "$python"
      exit 0
    elif [ "$status" = 2 ]; then
      die "the cached interpreter works, but the virtual environment check failed (see above)"
    fi
    log "the cached interpreter failed verification; building it again"
  elif [ -e "$prefix" ]; then
    log "the cached $PY_NAME is unusable; building it again:"
    check_interpreter "$python" >&2 || true
  fi
fi

# ---- build dependencies ---------------------------------------------------------------------

build_deps=(
  build-essential pkg-config patch xz-utils ca-certificates
  libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
  libreadline-dev libncurses-dev uuid-dev libgdbm-dev libgdbm-compat-dev
)

as_root() {
  if [ "$(id -u)" = 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    die "installing build dependencies needs root; run as root, or install: ${build_deps[*]}"
  fi
}

if ! command -v apt-get >/dev/null 2>&1 || ! command -v dpkg-query >/dev/null 2>&1; then
  die "this script needs a Debian-based system with apt-get and dpkg-query"
fi

missing=()
for pkg in "${build_deps[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
  [ "${status:0:2}" = ii ] || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing build dependencies: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2 \
    || die "apt-get update failed"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 \
    || die "apt-get install of the build dependencies failed"
fi

# ---- work directory -------------------------------------------------------------------------

# Leftovers of earlier failed builds (kept for inspection until now).
for old in "$cache"/build-"$PY_NAME$variant".*; do
  [ -d "$old" ] && rm -rf -- "$old"
done
work=$(mktemp -d "$cache/build-$PY_NAME$variant.XXXXXX")
build_log=$work/build.log
: >"$build_log"
fail() {
  printf '%s: error: %s\n' "$prog" "$*" >&2
  if [ -s "$build_log" ]; then
    printf '%s: last lines of %s:\n' "$prog" "$build_log" >&2
    tail -n 40 "$build_log" >&2
  fi
  printf '%s: the work directory %s is kept for inspection\n' "$prog" "$work" >&2
  exit 1
}

# ---- source ---------------------------------------------------------------------------------

# The Debian mirror the machine's apt already uses (deb822 "URIs:" or one-line "deb" entries),
# the security archive excluded.
machine_mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    sed -n -e 's/^[[:space:]]*URIs:[[:space:]]*//p' \
           -e 's/^[[:space:]]*deb\(-src\)\{0,1\}[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]\{1,\}\)\{0,1\}\([^[:space:]]*\).*/\3/p' "$f"
  done | tr -s '[:blank:]' '\n' | sed -n 's:/*$::; \:^https\{0,1\}\://.*/debian$:p' | head -n 1
}
mirror=${QUORBEL_DEBIAN_MIRROR:-$(machine_mirror || true)}
mirror=${mirror:-http://deb.debian.org/debian}
mirror=${mirror%/}

apt_dir=$work/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d" "$work/source"
signed_by=
[ -r /usr/share/keyrings/debian-archive-keyring.gpg ] && signed_by="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
printf 'deb-src %s%s %s main\n' "$signed_by" "$mirror" "$SOURCE_SUITE" >"$apt_dir/sources.list"
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
  -o "APT::Sandbox::User=root"
)
log "fetching the $SOURCE_PACKAGE source package of $SOURCE_SUITE from $mirror"
DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" update >>"$build_log" 2>&1 \
  || fail "apt-get update for '$(cat "$apt_dir/sources.list")' failed"
(cd "$work/source" && DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" source --download-only "$SOURCE_PACKAGE") \
  >>"$build_log" 2>&1 || fail "apt-get source --download-only $SOURCE_PACKAGE failed"

dscs=() origs=() debians=()
for f in "$work"/source/"$SOURCE_PACKAGE"_*; do
  case "$f" in
    *.dsc) dscs+=("$f") ;;
    *.orig.tar.xz|*.orig.tar.gz|*.orig.tar.bz2) origs+=("$f") ;;
    *.debian.tar.xz|*.debian.tar.gz|*.debian.tar.bz2) debians+=("$f") ;;
  esac
done
if [ ${#dscs[@]} != 1 ] || [ ${#origs[@]} != 1 ] || [ ${#debians[@]} != 1 ]; then
  fail "unexpected files from apt-get source in $work/source"
fi
package_version=$(sed -n 's/^Version:[[:space:]]*//p' "${dscs[0]}")
upstream_version=${package_version#*:}
upstream_version=${upstream_version%-*}
case "$upstream_version" in
  "$PY_SERIES".*) ;;
  *) fail "$SOURCE_PACKAGE $package_version is not CPython $PY_SERIES" ;;
esac

tar -C "$work/source" -xf "${origs[0]}" || fail "cannot unpack ${origs[0]}"
tar -C "$work/source" -xf "${debians[0]}" || fail "cannot unpack ${debians[0]}"
src=$work/source/Python-$upstream_version
[ -f "$src/configure" ] || fail "the upstream tarball did not unpack to $src"

# Upstream fixes that Debian carries: cherry-picks from the 3.13 branch ("[PATCH] [3.13]")
# and patches marked as coming from upstream. Each must apply cleanly.
patches_dir=$work/source/debian/patches
applied=()
if [ -f "$patches_dir/series" ]; then
  while read -r name _; do
    case "$name" in ''|'#'*) continue ;; esac
    patch_file=$patches_dir/$name
    [ -f "$patch_file" ] || fail "patch $name is listed in the series but missing"
    if grep -qE '^Subject: \[PATCH[^]]*\] \[3\.13\]|^Origin: upstream' "$patch_file"; then
      printf '== applying %s\n' "$name" >>"$build_log"
      patch -d "$src" -p1 --forward --batch <"$patch_file" >>"$build_log" 2>&1 \
        || fail "upstream fix $name from $SOURCE_PACKAGE $package_version does not apply"
      applied+=("$name")
    fi
  done <"$patches_dir/series"
fi
log "source: CPython $upstream_version (Debian $SOURCE_PACKAGE $package_version), ${#applied[@]} upstream fixes applied"

# ---- build ----------------------------------------------------------------------------------

jobs=${QUORBEL_BUILD_JOBS:-$(nproc 2>/dev/null || echo 2)}
stage=$work/stage
started=$(date +%s)
log "configuring (log: $build_log)"
sanitizer_flags=()
[ -z "$variant" ] || sanitizer_flags=(--with-thread-sanitizer)
(cd "$src" && ./configure --disable-gil "${sanitizer_flags[@]}" --prefix="$prefix" --with-ensurepip=install \
    --disable-test-modules) >>"$build_log" 2>&1 || fail "configure failed"
log "compiling with $jobs jobs (takes about 10 minutes on 2 cores)"
make -C "$src" -j"$jobs" >>"$build_log" 2>&1 || fail "make failed"
log "installing into a staging directory"
make -C "$src" install DESTDIR="$stage" >>"$build_log" 2>&1 || fail "make install failed"
[ -x "$stage$prefix/bin/$PY_NAME" ] || fail "make install produced no $PY_NAME"
if [ -n "$variant" ]; then
  cp "$src/Tools/tsan/suppressions_free_threading.txt" "$stage$prefix/share/tsan-suppressions.txt" \
    || fail "CPython's ThreadSanitizer suppressions are missing from the source"
fi
{
  echo "CPython $upstream_version, free-threaded (--disable-gil)"
  echo "source: Debian $SOURCE_SUITE $SOURCE_PACKAGE $package_version from $mirror"
  echo "upstream fixes applied: ${applied[*]:-none}"
  echo "configured: --disable-gil ${sanitizer_flags[*]} --prefix=$prefix --with-ensurepip=install --disable-test-modules"
  echo "built: $(date -u +%Y-%m-%dT%H:%M:%SZ) on $(uname -srm)"
} >"$stage$prefix/BUILD-INFO"

# Swap the new installation in; keep the previous one until the new one has passed its checks.
previous=
if [ -e "$prefix" ] || [ -L "$prefix" ]; then
  previous=$work/previous
  mv -- "$prefix" "$previous"
fi
mv -- "$stage$prefix" "$prefix"
log "checking $python"
status=0; verify_cached || status=$?
if [ "$status" = 1 ]; then
  mv -- "$prefix" "$work/rejected"
  [ -z "$previous" ] || mv -- "$previous" "$prefix"
  fail "the freshly built interpreter failed its checks (see above); it was moved to $work/rejected"
fi
[ -z "$previous" ] || rm -rf -- "$previous"
elapsed=$(( $(date +%s) - started ))
if [ "$status" = 2 ]; then
  # The interpreter is sound and stays cached; the next run repeats only this check.
  fail "the new interpreter works, but the virtual environment check failed (see above)"
fi
rm -rf -- "$work"
log "built and checked in $((elapsed / 60)) min $((elapsed % 60)) s"
printf '%s\n' "$python"
