#!/usr/bin/env bash
# Checks the C++ sources (src/, tests/, benchmarks/floor/, examples/minisearch/native/) against
# .clang-format; with --fix, rewrites them instead. Installs clang-format-14 with apt-get when it
# is missing (needs root or sudo), the version that goes with the clang that builds the fuzzers.
#
#   scripts/format.sh          fails, listing the lines, when a file is not formatted
#   scripts/format.sh --fix    formats every file in place
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
formatter=clang-format-14
if ! command -v "$formatter" >/dev/null 2>&1; then
  echo "==> installing clang-format-14"
  as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"
    elif command -v sudo >/dev/null 2>&1; then sudo "$@"
    else echo "format.sh: installing clang-format needs root; install clang-format-14" >&2; exit 1
    fi
  }
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    clang-format-14
fi

cd "$root"
mapfile -t files < <(find src tests benchmarks/floor examples/minisearch/native \( -name '*.cpp' -o -name '*.h' \) | sort)
if [ "${1:-}" = --fix ]; then
  "$formatter" -i "${files[@]}"
else
  echo "==> checking the formatting of ${#files[@]} C++ files"
  "$formatter" --dry-run --Werror "${files[@]}"
fi
