#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test:
#   1. the whole suite with warnings as errors;
#   2. the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. the concurrency tests under ThreadSanitizer.
# Each build has its own folder under build/, so reruns are incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/setup.sh

jobs=$(nproc)
# Some kernels map memory where the sanitizers' shadow maps must go;
# running the sanitized suites without address randomisation avoids that.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi

suite() {  # name, ctest arguments..., -- cmake arguments...
  local name=$1; shift
  local ctest_args=()
  while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  shift
  echo "== $name"
  cmake -S . -B "build/$name" -G Ninja -DTARN_WERROR=ON "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  (cd "build/$name" && "${norandom[@]}" ctest -j "$jobs" --output-on-failure "${ctest_args[@]}")
}

suite release -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
suite asan -- -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=address
suite tsan -L concurrency -- -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=thread
echo "== all tests passed"
