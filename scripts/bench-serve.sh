#!/usr/bin/env bash
# Runs the server benchmark: "minisearch serve" under 16 concurrent clients for 30 s on the
# standard library's docstrings and on 200,000 synthetic documents, beside the engine's own
# queries per second in process. Sets up Python 3.13+ and the virtual environment (see
# dev-env.sh, which installs the server's dependencies), builds and installs quorbel, and writes
# benchmarks/results/serve.md and serve.json. Requests go to 127.0.0.1 only.
#   scripts/bench-serve.sh            full run (about 6 minutes)
#   scripts/bench-serve.sh --quick    20,000 synthetic documents, 10 s of load
# Other arguments go to benchmarks/engine/serve.py (--out, --corpora, --synthetic-docs, --queries,
# --clients, --seconds, --warmup, --in-process-seconds).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/dev-env.sh"
install_quorbel
cd "$QUORBEL_ROOT"
echo "==> load average: $(cut -d' ' -f1-3 /proc/loadavg)"
QUORBEL_BENCH_COMMAND=scripts/bench-serve.sh exec "$QUORBEL_PY" benchmarks/engine/serve.py "$@"
