#!/usr/bin/env bash
# Sets up the machine, builds the launcher and starts it.
#   ./tools/run.sh          the launcher alone (it talks to 127.0.0.1:8090)
#   ./tools/run.sh --demo   also the reference service with a demo site, so the
#                           launcher has news, accounts and a client to install
#   ./tools/run.sh --demo --fresh
#                           the same, after forgetting any earlier install, so the
#                           launcher offers to install the demo client from scratch
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)"

if [ "${1:-}" = "--demo" ]; then
  if [ "${2:-}" = "--fresh" ]; then
    # The install record lives beside the program; the client folder it
    # names is left alone.
    rm -f build/release/host/data/install.cfg build/release/host/data/install.done
  fi
  site=build/demo-site
  [ -d "$site" ] || build/release/tools/tarn-publish demo --site "$site"
  build/release/tools/tarn-service --site "$site" --access-log build/demo-access.log &
  service=$!
  trap 'kill "$service" 2>/dev/null || true' EXIT
fi

if [ -x build/release/host/tarn-launcher ]; then
  build/release/host/tarn-launcher
  exit $?
fi
# Without the window host, the same core reads Commands from the terminal.
echo "tarn-headless: type Commands as JSON strings, e.g. \"link.open\\n{\\\"name\\\":\\\"site\\\"}\"" >&2
build/release/host/tarn-headless
