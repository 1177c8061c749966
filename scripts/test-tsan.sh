#!/usr/bin/env bash
# Runs the thread tests (tests/python/test_threads.py: the stress test of all nine functions on
# shared inputs, in a child process) under ThreadSanitizer, on a free-threaded CPython 3.13 that
# is itself built with ThreadSanitizer and started with the GIL off. Extra arguments go to pytest.
#
# Both the interpreter and quorbel must be instrumented: an ordinary interpreter's locks and
# critical sections are invisible to ThreadSanitizer, which then reports every access made under
# them. The interpreter comes from scripts/build-freethreaded-python.sh with
# QUORBEL_PY_SANITIZER=thread (built once, about 25 minutes on 2 cores, and cached); quorbel is
# built with -fsanitize=thread into its own tree and imported from there.
#
# Environment: QUORBEL_STRESS_SECONDS (default 30), QUORBEL_TSAN_LOGS (report directory),
# QUORBEL_VENV and QUORBEL_BUILD_DIR (this script's own environment and build tree).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${QUORBEL_CACHE:-$HOME/.cache/quorbel}
tag=$(printf '%s' "$root" | sha1sum | cut -c1-10)
venv=${QUORBEL_VENV:-$cache/venv-tsan-$tag}
build=${QUORBEL_BUILD_DIR:-$cache/build-tsan-$tag}

echo "==> finding or building the ThreadSanitizer interpreter"
tsan_python=$(QUORBEL_PY_SANITIZER=thread "$root/scripts/build-freethreaded-python.sh" | tail -n 1)
prefix=$(dirname "$(dirname "$tsan_python")")
[ -f "$prefix/share/tsan-suppressions.txt" ] || { echo "test-tsan: $prefix has no suppressions" >&2; exit 1; }

# Set-up steps run instrumented code too; their reports are not what this script looks for.
export TSAN_OPTIONS="report_bugs=0:exitcode=0"
if [ ! -x "$venv/bin/python" ]; then
  echo "==> creating $venv"
  "$tsan_python" -m venv "$venv"
fi
stamp=$venv/.deps-$(sha1sum "$root/scripts/requirements-dev.lock" | cut -c1-12)
if [ ! -f "$stamp" ]; then
  echo "==> installing cmake, ninja and pytest"
  PIP_ONLY_BINARY=:all: "$venv/bin/python" -m pip install --quiet "cmake>=3.30" ninja "pytest>=8"
  touch "$stamp"
fi

echo "==> building quorbel with -fsanitize=thread into $build"
export CXX=${CXX:-g++}  # the interpreter's compiler, so that both use one runtime
"$venv/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DPython_EXECUTABLE="$venv/bin/python" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
"$venv/bin/cmake" --build "$build"

logs=${QUORBEL_TSAN_LOGS:-$(mktemp -d "${TMPDIR:-/tmp}/quorbel-tsan.XXXXXX")}
mkdir -p "$logs"
rm -f "$logs"/tsan.*
suppressions=$logs/suppressions.txt
cat "$prefix/share/tsan-suppressions.txt" "$root/tests/tsan/suppressions.txt" >"$suppressions"

echo "==> the thread tests under ThreadSanitizer (reports in $logs)"
cd "$root"
status=0
env PYTHONPATH="$build" PYTHON_GIL=0 QUORBEL_STRESS_SECONDS="${QUORBEL_STRESS_SECONDS:-30}" \
  TSAN_OPTIONS="suppressions=$suppressions:log_path=$logs/tsan:halt_on_error=0:second_deadlock_stack=1" \
  "$venv/bin/python" -m pytest -p no:cacheprovider -q -rA tests/python/test_threads.py "$@" || status=$?

found=0
for report in "$logs"/tsan.*; do
  [ -e "$report" ] || continue
  found=$((found + $(grep -c '^WARNING: ThreadSanitizer' "$report" || true)))
  echo "==> ThreadSanitizer report $report" >&2
  head -n 80 "$report" >&2
done
if [ "$found" -gt 0 ]; then
  echo "test-tsan: $found ThreadSanitizer report(s)" >&2
  exit 1
fi
echo "==> no ThreadSanitizer reports"
exit "$status"
