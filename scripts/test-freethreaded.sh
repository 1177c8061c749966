#!/usr/bin/env bash
# Runs the whole test suite on the free-threaded CPython 3.13 ("3.13t") with the GIL off
# (PYTHON_GIL=0), then the thread stress test for longer. Extra arguments go to pytest.
#
# The interpreter comes from scripts/build-freethreaded-python.sh (built once and cached). The
# virtual environment (QUORBEL_VENV, default ~/.cache/quorbel/venv-ft-<checkout>) and the build
# tree (QUORBEL_BUILD_DIR) are this script's own. CMake 3.30 or later, which finds a free-threaded
# Python, comes from PyPI with the other dependencies.
#
# Environment: QUORBEL_STRESS_SECONDS, how long the second run of the stress test lasts
# (default 60).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${QUORBEL_CACHE:-$HOME/.cache/quorbel}
tag=$(printf '%s' "$root" | sha1sum | cut -c1-10)
export QUORBEL_VENV=${QUORBEL_VENV:-$cache/venv-ft-$tag}
export QUORBEL_BUILD_DIR=${QUORBEL_BUILD_DIR:-$cache/build-ft-$tag}

echo "==> finding or building the free-threaded interpreter"
ft_python=$("$root/scripts/build-freethreaded-python.sh" | tail -n 1)
[ -x "$ft_python" ] || { echo "test-freethreaded: no interpreter at '$ft_python'" >&2; exit 1; }

is_free_threaded() {
  env -u PYTHON_GIL "$1" -c 'import sysconfig, sys; sys.exit(sysconfig.get_config_var("Py_GIL_DISABLED") != 1)' \
    >/dev/null 2>&1
}
if ! is_free_threaded "$QUORBEL_VENV/bin/python"; then
  echo "==> creating $QUORBEL_VENV with $ft_python"
  rm -rf "$QUORBEL_VENV"
  env -u PYTHON_GIL "$ft_python" -m venv "$QUORBEL_VENV"
fi
# dev-env.sh keeps an existing environment and installs the dependencies into it, from the lock
# made for this interpreter. Wheels only: the newest releases of some dependencies (hypothesis,
# numpy) have wheels for the GIL build alone, so that lock pins releases that have a wheel for
# this interpreter, and building from source here would need a Rust toolchain or a long compile.
export QUORBEL_LOCK=$root/scripts/requirements-dev-freethreaded.lock
export PIP_ONLY_BINARY=:all:
source "$root/scripts/dev-env.sh"
unset PIP_ONLY_BINARY
install_quorbel
build_kernels

export PYTHON_GIL=0
"$QUORBEL_PY" - <<'PY'
import sys
import quorbel
assert not sys._is_gil_enabled(), "importing quorbel turned the GIL on despite PYTHON_GIL=0"
print("==> free-threaded", sys.version.split()[0], "with the GIL off; quorbel from", quorbel.__file__)
PY

cd "$QUORBEL_ROOT"
echo "==> the whole suite with PYTHON_GIL=0"
"$QUORBEL_PY" -m pytest -p no:cacheprovider "$@"
stress=${QUORBEL_STRESS_SECONDS:-60}
echo "==> the thread stress test for $stress s"
QUORBEL_STRESS_SECONDS=$stress "$QUORBEL_PY" -m pytest -p no:cacheprovider -q -rA \
  tests/python/test_threads.py
