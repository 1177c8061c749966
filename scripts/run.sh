#!/usr/bin/env bash
# The project's main job: builds and installs quorbel into the project's environment, then runs
# the minisearch demo (index the standard library's docstrings, query, check). Extra arguments go
# to "python -m minisearch demo", e.g. scripts/run.sh --limit 2000 --index /tmp/stdlib-index
source "$(dirname "${BASH_SOURCE[0]}")/dev-env.sh"
install_quorbel
build_kernels
cd "$QUORBEL_ROOT/examples/minisearch"
exec "$QUORBEL_PY" -m minisearch demo "$@"
