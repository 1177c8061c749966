#!/usr/bin/env bash
# Pins the development dependencies (the "dev" group of pyproject.toml's [dependency-groups]) into
# the lock files that dev-env.sh installs from, with uv's pip compile (uv is installed from PyPI
# into a small virtual environment of its own):
#   scripts/requirements-dev.lock                 CPython 3.13 with the GIL
#   scripts/requirements-dev-freethreaded.lock    the free-threaded 3.13t, wheels only, without
#                                                 distributed (its dependencies tornado and
#                                                 msgpack have no wheels for 3.13t; the cluster
#                                                 tests skip where it is missing)
# Run it after changing the groups or to take newer releases, then run .ci/run and commit the
# lock files with the change.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
uv_version=0.13.10
venv=${QUORBEL_CACHE:-$HOME/.cache/quorbel}/venv-uv
if ! "$venv/bin/uv" --version 2>/dev/null | grep -qF "uv $uv_version"; then
  echo "==> installing uv $uv_version into $venv"
  rm -rf "$venv"
  "$("$root/scripts/find-python.sh")" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet "uv==$uv_version"
fi
cd "$root"
compile=("$venv/bin/uv" pip compile --quiet --group pyproject.toml:dev
         --custom-compile-command scripts/lock-deps.sh)
echo "==> scripts/requirements-dev.lock"
"${compile[@]}" --python-version 3.13 -o scripts/requirements-dev.lock
echo "==> scripts/requirements-dev-freethreaded.lock"
ft_python=$(scripts/build-freethreaded-python.sh | tail -n 1)
"${compile[@]}" --python "$ft_python" --only-binary :all: --excludes <(echo distributed) \
  -o scripts/requirements-dev-freethreaded.lock
