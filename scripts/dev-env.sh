#!/usr/bin/env bash
# Sourced by the other scripts: finds Python 3.13+, makes the project's virtual environment and
# installs the build and test dependencies into it, the versions pinned in QUORBEL_LOCK (default
# scripts/requirements-dev.lock, made from pyproject.toml's dependency groups by lock-deps.sh).
# Sets QUORBEL_VENV and QUORBEL_PY.
set -euo pipefail

QUORBEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
base_python=$("$QUORBEL_ROOT/scripts/find-python.sh")
# The environment lives outside the checkout so that source distributions never pick it up.
QUORBEL_CACHE=${QUORBEL_CACHE:-$HOME/.cache/quorbel}
QUORBEL_VENV=${QUORBEL_VENV:-$QUORBEL_CACHE/venv-$(printf '%s' "$QUORBEL_ROOT" | sha1sum | cut -c1-10)}
QUORBEL_PY=$QUORBEL_VENV/bin/python

if [ ! -x "$QUORBEL_PY" ] || ! "$QUORBEL_PY" -c 'import sys; sys.exit(sys.version_info < (3, 13))'; then
  echo "==> creating $QUORBEL_VENV with $base_python"
  rm -rf "$QUORBEL_VENV"
  "$base_python" -m venv "$QUORBEL_VENV"
fi

QUORBEL_LOCK=${QUORBEL_LOCK:-$QUORBEL_ROOT/scripts/requirements-dev.lock}
stamp=$QUORBEL_VENV/.deps-$(sha1sum "$QUORBEL_LOCK" | cut -c1-12)
if [ ! -f "$stamp" ]; then
  echo "==> installing build and test dependencies from $(basename "$QUORBEL_LOCK")"
  "$QUORBEL_PY" -m pip install --quiet --upgrade pip
  "$QUORBEL_PY" -m pip install --quiet -r "$QUORBEL_LOCK"
  touch "$stamp"
fi

# Builds and installs quorbel into the environment (incremental: the CMake build tree is kept).
# QUORBEL_BUILD_DIR moves the build tree (several builds of one checkout at a time).
install_quorbel() {
  echo "==> building and installing quorbel"
  local settings=()
  if [ -n "${QUORBEL_BUILD_DIR:-}" ]; then settings+=(-C "build-dir=$QUORBEL_BUILD_DIR"); fi
  "$QUORBEL_PY" -m pip install --quiet --no-build-isolation --no-deps "${settings[@]}" "$QUORBEL_ROOT"
}

# Installs libdeflate's headers with apt-get when they are missing and root (or sudo without a
# password) may: the kernels then inflate stored texts and packed files several times faster. They
# are optional: without them the kernels inflate with zlib, and nothing here fails. Not in the
# CPython 3.14 root, whose kernels keep building with zlib alone.
install_libdeflate() {
  if [ -f /usr/include/libdeflate.h ] || [ "${QUORBEL_IN_PYTHON314_ROOT:-}" = 1 ] ||
     ! command -v apt-get >/dev/null 2>&1; then
    return 0
  fi
  local as_root=()
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null || return 0
    as_root=(sudo -n)
  fi
  echo "==> installing libdeflate-dev (the native kernels inflate with it)"
  local install=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends libdeflate-dev)
  "${install[@]}" >/dev/null 2>&1 ||
    { "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null 2>&1 && "${install[@]}" >/dev/null 2>&1; } ||
    echo "==> libdeflate-dev did not install: the native kernels inflate with zlib"
}

# Builds the engine's native kernels (minisearch._kernels, examples/minisearch/CMakeLists.txt) for
# this environment's interpreter and copies the module into examples/minisearch/minisearch, where
# the tests, the demo and the benchmarks import the engine from (the file is ignored by git), or
# into the copy of the engine given as the argument (a read-only checkout's, elsewhere). A
# build that fails leaves the engine on its pure-Python code and says so, unless
# MINISEARCH_REQUIRE_KERNELS=1 (CI), which makes it an error. MINISEARCH_SANITIZE=ON instruments
# the kernels with AddressSanitizer and UndefinedBehaviorSanitizer.
build_kernels() {
  install_libdeflate
  echo "==> building minisearch's native kernels"
  local engine=${1:-$QUORBEL_ROOT/examples/minisearch}
  local package=$engine/minisearch
  local build=${QUORBEL_BUILD_DIR:-$QUORBEL_CACHE/build-$(basename "$QUORBEL_VENV")}-kernels
  local suffix
  suffix=$("$QUORBEL_PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  rm -f "$package/_kernels$suffix"
  mkdir -p "$build"
  if PATH="$QUORBEL_VENV/bin:$PATH" cmake -S "$engine" -B "$build" -G Ninja \
       -DPython_EXECUTABLE="$QUORBEL_PY" -DQUORBEL_SOURCE_DIR="$QUORBEL_ROOT" \
       -DMINISEARCH_SANITIZE="${MINISEARCH_SANITIZE:-OFF}" \
       >"$build/build.log" 2>&1 &&
     PATH="$QUORBEL_VENV/bin:$PATH" cmake --build "$build" >>"$build/build.log" 2>&1 &&
     [ -f "$build/_kernels$suffix" ]; then
    cp "$build/_kernels$suffix" "$package/"
    return 0
  fi
  if [ "${MINISEARCH_REQUIRE_KERNELS:-0}" = 1 ]; then
    echo "dev-env: the native kernels did not build:" >&2
    tail -n 30 "$build/build.log" >&2
    return 1
  fi
  echo "==> the native kernels did not build (see $build/build.log): the engine runs on its pure-Python code"
}
