#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the launcher needs.
# Idempotent: apt-get skips what is already installed, so running it twice is harmless.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git iproute2 util-linux
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # fuzzing: clang and its libFuzzer runtime
  clang libclang-rt-14-dev
  # network, crypto, operator service
  libcurl4-openssl-dev libssl-dev openssl curl libcpp-httplib-dev nlohmann-json3-dev
  # window host
  libgtk-3-dev libwebkit2gtk-4.1-dev xvfb xauth x11-utils xdotool imagemagick dbus-x11 dbus
  # Debian packages: shared-library dependencies, package and desktop-entry checks
  dpkg-dev lintian desktop-file-utils appstream
  # Windows backend: cross compiler and a runtime to test it; `wine` on PATH
  # also starts a Windows game client (and the demo's stand-in) on Linux
  g++-mingw-w64-x86-64-posix wine64 wine
  # the Windows installer and its code signing
  nsis osslsigncode
  # the static file site's test serves it with Debian's nginx
  nginx
  # the proxy test sends the launcher through a real HTTP proxy
  tinyproxy
  # the desktop notification test: a notification daemon on the test's own session bus
  dunst
  # the page's browser tests (playwright-core itself comes from npm, pinned in tests/ui)
  chromium nodejs
)
# A Node.js from elsewhere brings its own npm, which Debian's npm would conflict with.
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
