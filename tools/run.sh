#!/usr/bin/env bash
# Sets up the machine, builds the launcher and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)"
if [ -x build/release/host/tarn-launcher ]; then
  exec build/release/host/tarn-launcher
fi
# Without the window host, the same core reads Commands from the terminal.
echo "tarn-headless: type Commands as JSON strings, e.g. \"link.open\\n{\\\"name\\\":\\\"site\\\"}\"" >&2
exec build/release/host/tarn-headless
