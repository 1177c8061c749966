#!/usr/bin/env bash
# Prints the path of a CPython 3.13 or later interpreter, or fails with a clear message.
# Order: $PYTHON, python3.14/python3.13 on PATH, then pyenv's installed versions.
set -u

works() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)' >/dev/null 2>&1
}

if [ -n "${PYTHON:-}" ]; then
  if works "$PYTHON"; then
    command -v "$PYTHON" || printf '%s\n' "$PYTHON"
    exit 0
  fi
  echo "find-python: PYTHON=$PYTHON is not a working Python 3.13 or later" >&2
  exit 1
fi

for name in python3.14 python3.13 python3; do
  if path=$(command -v "$name" 2>/dev/null) && works "$path"; then
    printf '%s\n' "$path"
    exit 0
  fi
done

if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  for candidate in "$root"/versions/3.1[4-9]*/bin/python3 "$root"/versions/3.13*/bin/python3; do
    case "$candidate" in *t/bin/python3) continue ;; esac  # free-threaded builds only on request
    if [ -x "$candidate" ] && works "$candidate"; then
      printf '%s\n' "$candidate"
      exit 0
    fi
  done
fi

echo "find-python: no Python 3.13 or later found; install one or set PYTHON=/path/to/python3.13" >&2
exit 1
