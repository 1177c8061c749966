#!/usr/bin/env bash
# Runs the scale benchmark: minisearch building 250,000, 500,000 and 1,000,000 synthetic documents
# with the same memory budget, with the local process pool and with a two-worker Dask LocalCluster,
# with the peak memory of every process; adding 10 % more documents; the same builds and adds with
# SQLite FTS5; queries on a partitioned index against one partition, and the top 10s of a
# partitioned build with a segment added against a one-partition build. Sets up Python 3.13+ and the
# virtual environment (see dev-env.sh), installs matplotlib and dask.distributed if missing, builds
# and installs quorbel, and writes benchmarks/results/scale.md, scale.json and scale.png.
#   scripts/bench-scale.sh            full run (about 20 minutes on 2 idle cores, 40 on busy ones)
#   scripts/bench-scale.sh --quick    20,000, 40,000 and 80,000 documents, a 64M budget (a few minutes)
# The corpus is written once to ~/.cache/quorbel/scale/ (about 0.9 GB for the full run).
# Other arguments go to benchmarks/engine/scale.py (--memory, --sizes, --steps, --update, --out).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/dev-env.sh"
for package in matplotlib distributed; do
  if ! "$QUORBEL_PY" -c "import $package" >/dev/null 2>&1; then
    echo "==> installing $package"
    "$QUORBEL_PY" -m pip install --quiet "$package"
  fi
done
install_quorbel
build_kernels
cd "$QUORBEL_ROOT"
echo "==> load average: $(cut -d' ' -f1-3 /proc/loadavg)"
# scale.py imports minisearch from this checkout (examples/minisearch) unless PYTHONPATH has another;
# the builds it starts see the same.
QUORBEL_BENCH_COMMAND=scripts/bench-scale.sh exec "$QUORBEL_PY" benchmarks/engine/scale.py "$@"
