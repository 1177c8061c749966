#!/usr/bin/env bash
# Runs the benchmark suite: sets up Python 3.13+ and the virtual environment (see dev-env.sh),
# installs matplotlib, builds and installs quorbel, builds the native floor kernels and writes
# benchmarks/results/results.md, results.json and results.png.
#   scripts/bench.sh            full suite (about five minutes)
#   scripts/bench.sh --quick    smaller workloads and fewer rounds (about two minutes)
# Other arguments go to benchmarks/run.py (--out, --only, --no-plot, --baseline).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/dev-env.sh"
if ! "$QUORBEL_PY" -c 'import matplotlib' >/dev/null 2>&1; then
  echo "==> installing matplotlib"
  "$QUORBEL_PY" -m pip install --quiet matplotlib
fi
install_quorbel
cd "$QUORBEL_ROOT"
echo "==> load average: $(cut -d' ' -f1-3 /proc/loadavg) (the figures are ratios measured in one run)"
QUORBEL_BENCH_COMMAND=scripts/bench.sh exec "$QUORBEL_PY" benchmarks/run.py "$@"
