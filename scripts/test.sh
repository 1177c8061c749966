#!/usr/bin/env bash
# Runs the whole test suite: sets up Python 3.13+, a virtual environment, builds quorbel, installs
# the browser of the search page's tests (install-browser.sh) and runs pytest. Extra arguments go
# to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/dev-env.sh"
"$QUORBEL_ROOT/scripts/install-browser.sh"
install_quorbel
build_kernels
cd "$QUORBEL_ROOT"
exec "$QUORBEL_PY" -m pytest "$@"
