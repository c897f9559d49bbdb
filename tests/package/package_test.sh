#!/usr/bin/env bash
# The packages as a player meets them: builds tarn-launcher and
# tarn-operator-tools with two freshly made list keys and a built-in service
# address, checks them with lintian, installs them on this machine, starts
# the installed launcher as two throwaway players under Xvfb against the
# installed reference service at that address, and removes everything again.
# Also checks that a build trusting the demo key, in either key slot,
# installs only as a marked demo build.
#
#   tests/package/package_test.sh [BUILD_DIR]     (default: build/package)
#
# Needs root (it installs packages and adds users); skips, saying why, where
# it does not run as root. A missing tool fails it: setup installs them all. Leaves a screenshot of the first player's window in
# BUILD_DIR/package-test/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$root/build/package}")

skip() { echo "package test SKIPPED: $*"; exit 0; }
fail() { echo "package test FAILED: $*" >&2; exit 1; }
step() { echo "-- $*"; }

[ "$(id -u)" -eq 0 ] || skip "it must run as root: it installs packages and adds users"
for tool in Xvfb xdotool xwininfo import lintian dpkg-shlibdeps desktop-file-validate appstreamcli runuser useradd openssl iconv \
  dbus-run-session apt-get cpack; do
  command -v "$tool" >/dev/null || fail "$tool is missing (tools/setup.sh installs it)"
done

# The launcher allows one copy per machine and talks to a fixed loopback
# port: a network namespace of its own keeps both away from anything else
# running here (the X and D-Bus sockets used below live inside it too).
if [ -z "${TARN_PACKAGE_TEST_ISOLATED:-}" ] && unshare -n true 2>/dev/null; then
  exec unshare -n env TARN_PACKAGE_TEST_ISOLATED=1 "$0" "$@"
fi
[ -n "${TARN_PACKAGE_TEST_ISOLATED:-}" ] && ip link set lo up

packages=(tarn-launcher tarn-launcher-demo tarn-operator-tools)
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    fail "$p is already installed on this machine; this test will not touch it"
  fi
done

work=$(mktemp -d /tmp/tarn-package-test.XXXXXX)
chmod 755 "$work"
out="$build/package-test"
users=()
pids=()
declare -A player_pid
installed=0

cleanup() {
  local rc=$?
  set +e
  for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null; kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  if [ "$installed" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq tarn-launcher tarn-operator-tools >/dev/null 2>&1
  fi
  for u in "${users[@]}"; do
    end_user_processes "$u"
    userdel -r "$u" >/dev/null 2>&1
  done
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The throwaway players run nothing but what this test started for them; a
# helper that left its process group (a D-Bus daemon, a web process) still
# belongs to the user and must end before the user can go.
end_user_processes() {
  local pid
  for pid in $(pgrep -u "$1"); do kill -KILL "$pid" 2>/dev/null; done
  for _ in $(seq 50); do pgrep -u "$1" >/dev/null || return 0; sleep 0.1; done
}

# Starts a command in a process group of its own, so that cleanup ends it
# with every child it made.
start() {
  setsid "$@" &
  pids+=("$!")
}

# wait_for SECONDS DESCRIPTION COMMAND...
wait_for() {
  local limit=$1 what=$2
  shift 2
  for _ in $(seq $((limit * 5))); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.2
  done
  fail "waited ${limit}s for: $what"
}

# What a package may touch, less what the system itself rewrites meanwhile:
# the desktop's caches (rebuilt by triggers), the account files' backups
# (made by useradd) and /usr/local (never ours, and other programs' place).
snapshot() {
  find /usr /etc /opt -xdev -path /usr/local -prune -o -print 2>/dev/null |
    grep -v -e '/icon-theme\.cache$' -e '/mimeinfo\.cache$' -e '^/etc/[a-z]*-$' -e '^/etc/\.pwd\.lock$' |
    LC_ALL=C sort
}

step "the demo key installs only as a marked demo build"
demo="$build-demo-check"
cmake -S "$root" -B "$demo" -G Ninja -DBUILD_TESTING=OFF -DTARN_DEMO=OFF >/dev/null
if cmake --install "$demo" --prefix "$work/demo-install" >"$work/demo.log" 2>&1; then
  fail "installing a build with the demo key succeeded without TARN_DEMO"
fi
grep -q "DEMO list key" "$work/demo.log" || fail "no reason given for refusing the demo key: $(cat "$work/demo.log")"
[ -z "$(find "$work/demo-install" -type f 2>/dev/null)" ] || fail "the refused install copied files"
cmake "$demo" -DTARN_DEMO=ON >/dev/null
grep -q 'CPACK_DEBIAN_LAUNCHER_PACKAGE_NAME "tarn-launcher-demo"' "$demo/CPackConfig.cmake" ||
  fail "a demo build's package is not named tarn-launcher-demo"
grep -q 'DEMO BUILD' "$demo/CPackConfig.cmake" || fail "a demo build's package does not say so"
# The demo key in the second slot, beside an operator's own key, is no less
# the demo key.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/list-private.pem" 2>/dev/null
openssl pkey -in "$work/list-private.pem" -pubout -out "$work/list-public.pem"
cmake "$demo" -DTARN_DEMO=OFF -DTARN_LIST_KEY="$work/list-public.pem" \
  -DTARN_LIST_KEY_2="$root/tools/demo/keys/demo-list-public.pem" >/dev/null
if cmake --install "$demo" --prefix "$work/demo-install" >"$work/demo.log" 2>&1; then
  fail "installing a build with the demo key as its second key succeeded without TARN_DEMO"
fi
grep -q "DEMO list key" "$work/demo.log" || fail "no reason given for refusing the second demo key: $(cat "$work/demo.log")"
rm -rf "$demo"

# The packages trust two keys of the operator's, as in the middle of a key
# change, and know the service's address: the players below have nothing
# beside the program, and the site is signed with the second key. The
# address is one of this machine's that nothing else uses, so only the
# built-in address can lead the launcher to the service.
step "build both packages with an operator's own keys and address"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/list-private-2.pem" 2>/dev/null
openssl pkey -in "$work/list-private-2.pem" -pubout -out "$work/list-public-2.pem"
service_host=127.0.0.2
service_port=8091
mkdir -p "$build"
# The build reads the keys again on every reconfigure.
cp "$work/list-public.pem" "$build/list-public.pem"
cp "$work/list-public-2.pem" "$build/list-public-2.pem"
"$root/tools/package/build-debs.sh" "$build" -DTARN_WERROR=ON -DTARN_LIST_KEY="$build/list-public.pem" \
  -DTARN_LIST_KEY_2="$build/list-public-2.pem" -DTARN_SERVICE_URL="http://$service_host:$service_port" >/dev/null
launcher_deb=$(ls "$build"/tarn-launcher_*.deb)
tools_deb=$(ls "$build"/tarn-operator-tools_*.deb)
depends=$(dpkg-deb -f "$launcher_deb" Depends)
for need in libwebkit2gtk-4.1-0 libgtk-3-0 libcurl4 libssl3; do
  [[ "$depends" == *"$need"* ]] || fail "tarn-launcher does not depend on $need: $depends"
done

[[ "$(dpkg-deb -f "$launcher_deb" Recommends)" == *wine* ]] || fail "tarn-launcher does not recommend wine"

step "lintian"
if ! lintian --fail-on error --tag-display-limit 0 "$launcher_deb" "$tools_deb" >"$work/lintian.txt" 2>&1; then
  cat "$work/lintian.txt"
  fail "lintian found errors"
fi
grep -v 'running with root privileges' "$work/lintian.txt" || true

step "install"
before=$(snapshot)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$launcher_deb" "$tools_deb" >/dev/null
installed=1
owned=$(dpkg -L tarn-launcher tarn-operator-tools)
[ -f /usr/lib/tarn-launcher/ui/index.html ] || fail "the page is not installed beside the launcher"
[ -f /usr/lib/tarn-launcher/tarn-game-starter.exe ] || fail "the game's starter is not installed beside the launcher"
desktop-file-validate /usr/share/applications/tarn-launcher.desktop || fail "the desktop entry is not valid"
metainfo=/usr/share/metainfo/example.tarn.launcher.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "the AppStream metadata is not valid"
grep -q "<release version=\"$(dpkg-deb -f "$launcher_deb" Version)\"" "$metainfo" ||
  fail "the AppStream release is not the package's version"
[ "$(readlink -f /usr/bin/tarn-launcher)" = /usr/lib/tarn-launcher/tarn-launcher ] || fail "/usr/bin/tarn-launcher"
tarn-publish --help | grep -q "tarn-publish keygen" || fail "tarn-publish --help"
tarn-service --help | grep -q -- "--site DIR" || fail "tarn-service --help"

step "the installed service at the built-in address with a site signed by the operator's second key"
[ ! -e /usr/lib/tarn-launcher/service.url ] || fail "the package carries a service.url"
tarn-publish demo --site "$work/site" --key "$work/list-private-2.pem" --size-mib 1 --files 4 >/dev/null
start tarn-service --site "$work/site" --host "$service_host" --port "$service_port" --access-log "$work/access.log" \
  --ready-file "$work/ready"
wait_for 20 "the service to accept connections" test -s "$work/ready"

start Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display"
wait_for 20 "Xvfb to choose a display" test -s "$work/display"
display=":$(head -n1 "$work/display")"

# run_player NAME: starts the installed launcher as a fresh user and checks
# where its files went.
run_player() {
  local user=$1
  useradd --create-home --shell /bin/sh "$user"
  users+=("$user")
  local home
  home=$(getent passwd "$user" | cut -d: -f6)
  local state="$home/.local/share/tarn-launcher"
  local seen_before
  seen_before=$(grep -c ' /api/news ' "$work/access.log" || true)

  start runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/local/bin:/usr/bin:/bin \
    DISPLAY="$display" GDK_BACKEND=x11 NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory \
    WEBKIT_DISABLE_COMPOSITING_MODE=1 LIBGL_ALWAYS_SOFTWARE=1 \
    dbus-run-session -- tarn-launcher
  local pid=${pids[-1]}
  player_pid[$user]=$pid

  # Players already running keep their windows; this one adds its own.
  local windows_before=$(( ${#users[@]} - 1 ))
  wait_for 30 "$user: the launcher's own window" \
    sh -c "[ \$(DISPLAY='$display' xdotool search --onlyvisible --class TarnLauncherWindow | wc -l) -gt $windows_before ]"
  local window
  window=$(DISPLAY="$display" xdotool search --onlyvisible --class TarnLauncherWindow | tail -n1)
  DISPLAY="$display" xwininfo -id "$window" | grep -q 'Width: 1000' || fail "$user: the window is not 1000 wide"
  # The page announces itself once loaded, and the launcher answers by asking
  # the service for the news: only the installed page can have sent that.
  wait_for 30 "$user: the page to load and reach the service" \
    sh -c "[ \$(grep -c ' /api/news ' '$work/access.log') -gt $seen_before ]"

  wait_for 10 "$user: launcher.log in $state" test -s "$state/launcher.log"
  local log
  log=$(iconv -f UTF-16LE -t UTF-8 "$state/launcher.log")
  [[ "$log" == "клиент  1000x620"* ]] || fail "$user: launcher.log does not start with the window size: $log"
  [[ "$log" == *"видим после показа 1"* ]] || fail "$user: launcher.log: the view never became visible: $log"
  [ -d "$state/data/webview" ] || fail "$user: no web view profile in $state/data"
  [ "$(stat -c %U "$state")" = "$user" ] && [ "$(stat -c %a "$state")" = 700 ] ||
    fail "$user: $state is not the player's own private folder"
  [ -z "$(find "$state" ! -user "$user")" ] || fail "$user: files in $state that are not the player's"

  if [ ${#users[@]} -eq 1 ]; then
    mkdir -p "$out"
    DISPLAY="$display" import -window root "$out/first-player.png" 2>/dev/null || true
  fi
  # The start-up push ends with the install screen's stage line; after it
  # the launcher writes nothing until the player acts.
  wait_for 30 "$user: the install screen's state" \
    sh -c "iconv -f UTF-16LE -t UTF-8 '$state/launcher.log' | grep -q 'установка: \\(нет\\|ошибка\\|продолжить\\)'"
}

# stop_player NAME: ends the launcher run_player started for that player.
stop_player() {
  kill -- "-${player_pid[$1]}" 2>/dev/null || true
  wait "${player_pid[$1]}" 2>/dev/null || true
  end_user_processes "$1"
}

step "first player"
player1="tarnp1-$$"
run_player "$player1"
state1=$(getent passwd "$player1" | cut -d: -f6)/.local/share/tarn-launcher
sum1=$(cd "$state1" && find . -path ./data/webview -prune -o -type f -print0 | sort -z | xargs -0 sha256sum)

step "second player, while the first one's launcher still runs"
player2="tarnp2-$$"
run_player "$player2"
sum1_after=$(cd "$state1" && find . -path ./data/webview -prune -o -type f -print0 | sort -z | xargs -0 sha256sum)
[ "$sum1" = "$sum1_after" ] || fail "the second player's run changed the first player's state"
stop_player "$player2"
stop_player "$player1"

step "nothing written under the install prefix"
extra=$(find /usr/lib/tarn-launcher -mindepth 1 | while read -r f; do grep -qxF "$f" <<<"$owned" || echo "$f"; done)
[ -z "$extra" ] || fail "files under the prefix that no package owns: $extra"

step "remove"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq tarn-launcher tarn-operator-tools >/dev/null
installed=0
while read -r f; do
  [ -d "$f" ] && [ ! -L "$f" ] && continue  # shared folders such as /usr/bin stay
  [ ! -e "$f" ] && [ ! -L "$f" ] || fail "left behind after removal: $f"
done <<<"$owned"
[ ! -e /usr/lib/tarn-launcher ] || fail "/usr/lib/tarn-launcher is still there"
after=$(snapshot)
[ "$before" = "$after" ] || fail "the file system differs after install and removal:
$(diff <(echo "$before") <(echo "$after") | head -20)"
[ -s "$state1/launcher.log" ] || fail "the players' own state went with the package"

echo "package test passed: $(basename "$launcher_deb") $(basename "$tools_deb")"
