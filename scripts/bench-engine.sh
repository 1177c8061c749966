#!/usr/bin/env bash
# Runs the engine benchmark: minisearch side by side with SQLite FTS5 and tantivy, on the standard
# library's docstrings, on the paragraphs of the installed packages' documentation (real
# text) and on a seeded synthetic corpus. Sets up Python 3.13+ and the virtual
# environment (see dev-env.sh), installs matplotlib and tantivy (tantivy is left out of the run if it
# does not install), builds and installs quorbel, and writes benchmarks/results/engine.md,
# engine.json and engine.png.
#   scripts/bench-engine.sh            full run: 200,000 synthetic documents (about 20 minutes)
#   scripts/bench-engine.sh --quick    20,000 synthetic documents, fewer queries and rounds
# Other arguments go to benchmarks/engine/run.py (--out, --corpora, --synthetic-docs, --queries,
# --rounds, --no-plot).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/dev-env.sh"
for package in matplotlib tantivy; do
  if ! "$QUORBEL_PY" -c "import $package" >/dev/null 2>&1; then
    echo "==> installing $package"
    "$QUORBEL_PY" -m pip install --quiet "$package" || echo "==> $package did not install; going on without it"
  fi
done
install_quorbel
build_kernels
cd "$QUORBEL_ROOT"
echo "==> load average: $(cut -d' ' -f1-3 /proc/loadavg) (the figures are medians and ratios measured in one run)"
# run.py imports minisearch from this checkout (examples/minisearch) unless PYTHONPATH has another.
QUORBEL_BENCH_COMMAND=scripts/bench-engine.sh exec "$QUORBEL_PY" benchmarks/engine/run.py "$@"
