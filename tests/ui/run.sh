#!/usr/bin/env bash
# The page's browser tests: Debian's Chromium driven by the pinned
# playwright-core, under node's own test runner. Needs no C++ build.
set -euo pipefail
cd "$(dirname "$0")"
for tool in node npm; do
  command -v "$tool" >/dev/null || { echo "page tests: '$tool' is missing (tools/setup.sh installs it)" >&2; exit 1; }
done
# Setup installs Debian's Chromium: a run without it is a broken setup, not
# a page that needs no testing.
chromium=${TARN_CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || { echo "page tests: Chromium is missing at $chromium (tools/setup.sh installs it; TARN_CHROMIUM names another)" >&2; exit 1; }
# npm leaves its own copy of the lock file in node_modules; when that is
# newer than ours, the installed packages are the pinned ones already.
if [ ! node_modules/.package-lock.json -nt package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
exec node --test page.test.mjs
