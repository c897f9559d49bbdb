#!/usr/bin/env bash
# Builds the Debian packages tarn-launcher (or tarn-launcher-demo) and
# tarn-operator-tools into BUILD_DIR, hardened with Debian's build flags.
#
#   tools/package/build-debs.sh BUILD_DIR -DTARN_LIST_KEY=/path/to/list-public.pem [cmake options...]
#
# Without TARN_LIST_KEY the build trusts the demo key and refuses to package
# unless -DTARN_DEMO=ON is given too.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "$1")
shift
cd "$root"  # dpkg-buildflags maps this folder out of the debugging data
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "$@"
rm -f "$build"/*.deb
cmake --build "$build" --target package
ls "$build"/*.deb
