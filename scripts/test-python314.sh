#!/usr/bin/env bash
# Runs the whole test suite (the module's and the engine's, Dask included) on CPython 3.14, then
# the engine's suite again on its native kernels (built into a copy of the engine), then builds a
# wheel with "pip wheel", installs it into a fresh virtual environment and smoke-tests it there.
# Extra arguments go to the first pytest.
#
# The interpreter is Debian sid's python3.14 in the root of scripts/build-python314-root.sh (made
# once and cached); this script runs itself in that root through scripts/in-python314-root.sh,
# where the checkout is read-only. The module is built with GCC's warnings as errors. The virtual
# environment and the build tree live in the root, under its ~/.cache/quorbel, one per checkout.
set -euo pipefail

checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
if [ "${QUORBEL_IN_PYTHON314_ROOT:-}" != 1 ]; then
  exec "$checkout/scripts/in-python314-root.sh" "$checkout/scripts/test-python314.sh" "$@"
fi

# ---- in the root, with its settings (see in-python314-root.sh) ---------------------------------

source "$checkout/scripts/dev-env.sh"
install_quorbel
grep -q '^CMAKE_COMPILE_WARNING_AS_ERROR:[A-Z]*=ON$' "$QUORBEL_BUILD_DIR/CMakeCache.txt" || {
  echo "test-python314: the module was not built with warnings as errors" >&2
  exit 1
}
"$QUORBEL_PY" - <<'PY'
import sys
import dask, distributed, quorbel
assert sys.version_info[:2] == (3, 14), sys.version
print(f"==> CPython {sys.version.split()[0]}, dask {dask.__version__}, distributed "
      f"{distributed.__version__}, quorbel from {quorbel.__file__}")
PY

cd "$checkout"
echo "==> the whole suite on CPython 3.14 (the engine on its pure-Python code)"
"$QUORBEL_PY" -m pytest -p no:cacheprovider "$@"

# The kernels go into the engine's package, which is read-only here: a copy of the engine takes them.
engine=$QUORBEL_BUILD_DIR-engine
rm -rf -- "$engine"
cp -r "$checkout/examples/minisearch" "$engine"
rm -f -- "$engine"/minisearch/_kernels*.so
MINISEARCH_REQUIRE_KERNELS=1 build_kernels "$engine"
echo "==> the engine's suite on its native kernels, on CPython 3.14"
(cd "$engine" && MINISEARCH_REQUIRE_KERNELS=1 PYTHONPATH=. "$QUORBEL_PY" -m pytest -p no:cacheprovider -q tests)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorbel-wheel.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT
echo "==> pip wheel, then the wheel in a fresh virtual environment"
"$QUORBEL_PY" -m pip wheel --quiet --no-deps -w "$scratch/wheels" -C "build-dir=$scratch/build" \
  "$checkout"
wheels=("$scratch"/wheels/quorbel-*-cp314-cp314-*.whl)
[ -f "${wheels[0]}" ] && [ ${#wheels[@]} = 1 ] || {
  echo "test-python314: pip wheel gave no single cp314 wheel: $(ls "$scratch/wheels")" >&2
  exit 1
}
"$PYTHON" -m venv "$scratch/fresh"
"$scratch/fresh/bin/python" -m pip install --quiet --no-index "${wheels[0]}"
cd "$scratch"
"$scratch/fresh/bin/python" -I "$checkout/scripts/wheel_smoke.py" "$scratch/fresh" \
  "$scratch/block.bin"
echo "==> $(basename "${wheels[0]}") installs and works"
