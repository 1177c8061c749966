#!/usr/bin/env bash
# Runs the whole test suite against a build of quorbel with AddressSanitizer and
# UndefinedBehaviorSanitizer, on an ordinary CPython 3.13+. Extra arguments go to pytest.
#
# The sanitized build has its own virtual environment and build tree (QUORBEL_VENV and
# QUORBEL_BUILD_DIR override them), so it never replaces the module of scripts/test.sh. The
# interpreter is not instrumented: the sanitizer runtimes of the compiler that built the module
# are preloaded, the interpreter's allocator is switched to malloc (so that every Python object is
# an ASan allocation) and leak checking is off (the interpreter keeps memory until exit on purpose).
# Every report, also from child processes the tests start, goes to a log file; the run fails when
# any report was written, even if the test that caused it passed.
#
# An allocation too large to make returns NULL, as it does without the sanitizers
# (allocator_may_return_null=1), and the warning it leaves is not counted as a report.
#
# Environment: QUORBEL_SANITIZE_SKIP_SLOW=1 (set here) lets a test skip what is too slow under the
# sanitizers; QUORBEL_SANITIZER_LOGS moves the report directory.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${QUORBEL_CACHE:-$HOME/.cache/quorbel}
tag=$(printf '%s' "$root" | sha1sum | cut -c1-10)
export QUORBEL_VENV=${QUORBEL_VENV:-$cache/venv-asan-$tag}
export QUORBEL_BUILD_DIR=${QUORBEL_BUILD_DIR:-$cache/build-asan-$tag}
source "$root/scripts/dev-env.sh"

# The preloaded runtimes must be those of the compiler that instruments the module.
export CXX=${CXX:-g++}
asan=$("$CXX" -print-file-name=libasan.so)
ubsan=$("$CXX" -print-file-name=libubsan.so)
for runtime in "$asan" "$ubsan"; do
  [ -f "$runtime" ] || { echo "test-sanitized: $CXX has no sanitizer runtime ($runtime)" >&2; exit 1; }
done

echo "==> building and installing quorbel with AddressSanitizer and UndefinedBehaviorSanitizer"
"$QUORBEL_PY" -m pip install --quiet --no-build-isolation --no-deps \
  -C "build-dir=$QUORBEL_BUILD_DIR" -C cmake.define.QUORBEL_SANITIZE=ON "$QUORBEL_ROOT"
# Make sure the installed module really is the instrumented one.
module=$("$QUORBEL_PY" -c 'import importlib.util as u; print(u.find_spec("quorbel").origin)')
if ! grep -q __asan_init "$module"; then
  echo "test-sanitized: $module is not instrumented" >&2
  exit 1
fi

# The engine's kernels too, instrumented the same way; removed from the source tree after the run,
# so that no later interpreter without the sanitizer runtimes finds them (test.sh builds them again).
MINISEARCH_SANITIZE=ON build_kernels
kernels=$QUORBEL_ROOT/examples/minisearch/minisearch/_kernels$("$QUORBEL_PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
trap 'rm -f "$kernels"' EXIT

logs=${QUORBEL_SANITIZER_LOGS:-$(mktemp -d "${TMPDIR:-/tmp}/quorbel-sanitizer.XXXXXX")}
mkdir -p "$logs"
rm -f "$logs"/asan.* "$logs"/ubsan.*

cd "$QUORBEL_ROOT"
status=0
env LD_PRELOAD="$asan $ubsan" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$logs/asan:abort_on_error=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan" \
  QUORBEL_SANITIZE_SKIP_SLOW=1 \
  "$QUORBEL_PY" -m pytest -p no:cacheprovider "$@" || status=$?

reports=("$logs"/asan.* "$logs"/ubsan.*)
found=0
for report in "${reports[@]}"; do
  [ -e "$report" ] || continue
  # An allocation too large to make returns NULL (allocator_may_return_null=1, as malloc does
  # without the sanitizers) and leaves only this warning: the caller's MemoryError is the outcome
  # under test (a foreign library reading garbage as a length, say), not a memory error.
  if ! grep -qv "WARNING: AddressSanitizer failed to allocate" "$report"; then
    continue
  fi
  found=$((found + 1))
  echo "==> sanitizer report $report" >&2
  head -n 60 "$report" >&2
done
if [ "$found" -gt 0 ]; then
  echo "test-sanitized: $found sanitizer report(s) in $logs" >&2
  exit 1
fi
if [ "$status" != 0 ]; then
  echo "test-sanitized: the suite failed (exit status $status), with no sanitizer report logged" >&2
  exit "$status"
fi
echo "==> no sanitizer reports"
