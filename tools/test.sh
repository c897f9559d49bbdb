#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test:
#   1. the Windows cross build (mingw-w64) and its suite under Wine;
#   2. the whole suite with warnings as errors, which also compares its
#      headless host with the Windows one; then the page in Chromium;
#   3. the Debian packages: built, checked with lintian, installed, started
#      as two throwaway players under Xvfb, and removed (as root only);
#   4. the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer;
#   5. the concurrency tests under ThreadSanitizer;
#   6. every fuzz target for a short fixed number of runs over its seeds
#      (clang's libFuzzer, ASan + UBSan; tools/fuzz.sh).
# A suite fails, too, when a tarn-service it started is still running after
# it: every test stops what it starts.
# Each build has its own folder under build/, so reruns are incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/setup.sh

jobs=$(nproc)
# No test holds a port any more, and most of a suite's time is spent
# waiting (on Wine, X servers, throttled services, retry pauses), so the
# release suite runs twice as many tests at once as there are cores.
test_jobs=$((jobs * 2))
# Some kernels map memory where the sanitizers' shadow maps must go;
# running the sanitized suites without address randomisation avoids that.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi

# Tests give every launcher a service of its own on a port the system picks;
# only the launcher's default endpoint (127.0.0.1:8090, used where a test
# names none) is fixed. Where the kernel allows it, every suite runs in a
# network namespace of its own, so a program on this machine that holds
# that port cannot disturb the tests, and the tests cannot disturb it.
isolate=()
if unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
  isolate=(unshare -n sh -c 'ip link set lo up && exec "$@"' isolated)
fi

# The reference services of one build that are running now, one pid a line.
services_of() {  # build name
  local exe="$PWD/build/$1/tools/tarn-service" pid path
  for pid in $(pgrep -x tarn-service || true); do
    path=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    [ "${path% (deleted)}" = "$exe" ] && echo "$pid"
  done
  return 0
}

suite() {  # name, ctest -j, ctest arguments..., -- cmake arguments...
  local name=$1 parallel=$2; shift 2
  local ctest_args=()
  while [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  shift
  echo "== $name"
  cmake -S . -B "build/$name" -G Ninja -DTARN_WERROR=ON "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  local before survivors
  before=$(services_of "$name")
  (cd "build/$name" && "${isolate[@]}" "${norandom[@]}" ctest -j "$parallel" --output-on-failure "${ctest_args[@]}")
  survivors=$(comm -13 <(echo "$before" | sort) <(services_of "$name" | sort) | tr '\n' ' ')
  if [ -n "${survivors// /}" ]; then
    echo "== $name: tarn-service outlived its suite:"
    # shellcheck disable=SC2086
    ps -o pid=,args= -p "$(echo $survivors | tr " " ",")" || true
    # shellcheck disable=SC2086
    kill -KILL $survivors 2>/dev/null || true
    return 1
  fi
}

# The Windows suite runs its service tests against the Linux reference
# service, so the release build makes its operator tools first.
cmake -S . -B build/release -G Ninja -DTARN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARN_WINDOWS_BUILD="$PWD/build/windows" >/dev/null
cmake --build build/release -j "$jobs" --target tarn-service tarn-publish

# Wine opens sockets in its server process, which keeps the network
# namespace it started in: a server left from an earlier run must not serve
# this suite.
TARN_WINEPREFIX="$PWD/build/windows/wine-prefix" cmake/wine-run.sh --end-server

windows_start=$SECONDS
# A test that fails once is a fault to find, so nothing is run again until
# it passes. The one exception is Wine's own: it now and then dies of a
# segmentation fault as a test program exits on a loaded machine, after the
# test has passed. cmake/wine-run.sh recognises exactly that, runs the case
# once more and notes it in this file, counted here.
wine_retries="$PWD/build/windows/wine-retries.log"
mkdir -p build/windows
: >"$wine_retries"
TARN_WINE_RETRY_LOG="$wine_retries" suite windows "$jobs" -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTARN_LINUX_BUILD="$PWD/build/release"
echo "== windows build and suite took $((SECONDS - windows_start)) s;" \
  "$(wc -l <"$wine_retries") case(s) passed, then Wine crashed as they exited, and were run once more"
sed 's/^/   /' "$wine_retries"

suite release "$test_jobs" -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_WINDOWS_BUILD="$PWD/build/windows"
echo "== page in Chromium (screenshots in build/ui-tests)"
./tests/ui/run.sh
echo "== package"
package_start=$SECONDS
./tests/package/package_test.sh build/package
echo "== packages built, installed, started and removed in $((SECONDS - package_start)) s"
suite asan "$jobs" -- -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=address
suite tsan "$jobs" -L concurrency -- -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=thread
echo "== fuzz"
"${norandom[@]}" ./tools/fuzz.sh -runs=20000
echo "== all tests passed"
