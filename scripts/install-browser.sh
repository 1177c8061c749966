#!/usr/bin/env bash
# Installs the browser that minisearch's end-to-end tests drive: Debian's chromium and
# chromium-driver (and a font for the page's text), with apt-get; does nothing when both are
# there. Run by scripts/test.sh before the tests, and callable on its own.
#
# Without apt-get it says so and succeeds: the browser tests then skip, naming what is missing.
# An apt-get that fails fails the script. QUORBEL_NO_BROWSER=1 skips the installation.
set -euo pipefail

if [ "${QUORBEL_NO_BROWSER:-}" = 1 ]; then exit 0; fi
if command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1; then exit 0; fi
if ! command -v apt-get >/dev/null 2>&1; then
  echo "install-browser: no apt-get here; install Chromium and its WebDriver, or the browser tests skip" >&2
  exit 0
fi
as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else echo "install-browser: installing chromium needs root; install chromium and chromium-driver" >&2; exit 1
  fi
}
echo "==> installing chromium and chromium-driver (the search page's browser tests)"
as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  chromium chromium-driver fonts-dejavu-core
