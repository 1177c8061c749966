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
