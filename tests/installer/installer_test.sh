#!/usr/bin/env bash
# The Windows installer under Wine, as a player meets it: an older version
# installed silently, this version installed over it by a scripted player
# pressing through the pages, the installed launcher started, then a silent
# uninstall. Programs, shortcuts and the uninstall entry are read back from
# the prefix's folders and registry; the signatures made with a throwaway
# certificate are checked with osslsigncode.
#
#   tests/installer/installer_test.sh WINDOWS_BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
test_name="installer test"
. "$root/tests/installer/wine_desktop.sh"
need_tools makensis osslsigncode openssl Xvfb xdotool xwininfo

# Both packs from the one packing script the build uses: 0.9.0 unsigned, the
# project's version signed with a certificate made here.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
step "pack 0.9.0 unsigned and $version signed"
exe="$build/host/tarn-launcher.exe"
strip=x86_64-w64-mingw32-strip
mkdir -p "$work/old" "$work/new"
sh "$root/host/win/package/pack.sh" "$work/old" "$exe" "$strip" 0.9.0 cmake
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=TarnLauncher test signing" -addext extendedKeyUsage=codeSigning 2>/dev/null
TARN_SIGN_CERT="$work/cert.pem" TARN_SIGN_KEY="$work/key.pem" \
  sh "$root/host/win/package/pack.sh" "$work/new" "$exe" "$strip" "$version" cmake
signed() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" 2>&1 | grep -q '^Succeeded'; }
signed "$work/new/tarn-launcher-setup.exe" || fail "the installer's signature does not verify"
signed "$work/new/package/TarnLauncher/tarn-launcher.exe" || fail "the program's signature does not verify"
! signed "$work/old/tarn-launcher-setup.exe" || fail "an unsigned build verifies"
grep -q 'не подписана' "$work/old/package/TarnLauncher/README.txt" || fail "an unsigned build's read-me does not say so"
! grep -q 'не подписана' "$work/new/package/TarnLauncher/README.txt" || fail "a signed build's read-me says it is unsigned"

start_desktop
menu="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/ТАРН.lnk"
desktop="$user_dir/Desktop/ТАРН.lnk"

step "silent install of 0.9.0"
wine "$work/old/tarn-launcher-setup.exe" /S
for f in tarn-launcher.exe uninstall.exe README.txt ui/index.html; do
  [ -f "$dir/$f" ] || fail "not installed: $dir/$f"
done
[ -f "$menu" ] || fail "no Start-menu entry ТАРН"
[ -f "$desktop" ] || fail "no desktop shortcut"
[ "$(value DisplayVersion)" = 0.9.0 ] || fail "uninstall entry: $(entry)"

# What the player has by now: accounts in data\, and a game client the
# player put somewhere else.
mkdir -p "$dir/data" "$work/prefix/drive_c/Games/TARN"
echo accounts >"$dir/data/accounts.dat"
echo game >"$work/prefix/drive_c/Games/TARN/ElementClient.exe"
echo stale >"$dir/ui/gone-in-new-version.js"

# The top-level windows of a Windows program on the X server, smallest first
# (a message box before the window it belongs to): id x y width height.
windows_of() {
  DISPLAY=$display xwininfo -root -tree 2>/dev/null |
    sed -n "s/^ *\(0x[0-9a-f]*\) \".*\": (\"$1\" .* \([0-9]*\)x\([0-9]*\)+\(-\?[0-9]*\)+\(-\?[0-9]*\)  .*\$/\1 \4 \5 \2 \3/p" |
    while read -r id x y w h; do
      [ "$w" -gt 100 ] && DISPLAY=$display xwininfo -id "$id" | grep -q IsViewable && echo "$((w * h)) $id $x $y $w $h"
    done | sort -n | cut -d' ' -f2-
}
# press PID PROGRAM KEY: until PID ends, clicks the program's frontmost
# window (on its top edge, away from every control) and presses KEY.
press() {
  local pid=$1 program=$2 key=$3 id x y w h
  for _ in $(seq 60); do
    kill -0 "$pid" 2>/dev/null || return 0
    read -r id x y w h < <(windows_of "$program" | head -n1) || true
    if [ -n "${id:-}" ]; then
      DISPLAY=$display xdotool windowraise "$id" mousemove $((x + w / 2)) $((y + 8)) click 1 sleep 0.3 key "$key"
    fi
    sleep 1
  done
  fail "$program did not end; windows: $(windows_of "$program")"
}

step "scripted player installs $version over it"
wine "$work/new/tarn-launcher-setup.exe" &
setup=$!
press "$setup" tarn-launcher-setup.exe Return
wait "$setup" || fail "the interactive install failed"
[ "$(value DisplayVersion)" = "$version" ] || fail "uninstall entry after the upgrade: $(entry)"
[ "$(value Publisher)" = "TarnLauncher developers" ] && [ "$(value DisplayName)" = "ТАРН" ] ||
  fail "uninstall entry: $(entry)"
[ "$(value QuietUninstallString)" = "\"$(value InstallLocation)\\uninstall.exe\" /S" ] || fail "uninstall entry: $(entry)"
[[ "$(value DisplayIcon)" == *'\tarn-launcher.exe,0' ]] || fail "uninstall entry: $(entry)"
[ "$(($(value EstimatedSize)))" -gt 100 ] || fail "uninstall entry's size: $(entry)"
[ "$(cat "$dir/data/accounts.dat")" = accounts ] || fail "the upgrade lost data\\"
[ ! -e "$dir/ui/gone-in-new-version.js" ] || fail "the upgrade left the old page's files"
cmp -s "$dir/tarn-launcher.exe" "$work/new/package/TarnLauncher/tarn-launcher.exe" || fail "the program was not upgraded"
signed "$dir/uninstall.exe" || fail "the uninstaller's signature does not verify"

step "the installed launcher starts and stops at its missing-runtime message"
(cd "$dir" && wine tarn-launcher.exe) &
launcher=$!
# The box's only button sits at its bottom centre.
for _ in $(seq 90); do
  kill -0 "$launcher" 2>/dev/null || break
  read -r id x y w h < <(windows_of tarn-launcher.exe | head -n1) || true
  [ -n "${id:-}" ] && [ "$w" != 1000 ] &&
    DISPLAY=$display xdotool windowraise "$id" mousemove $((x + w / 2)) $((y + h - 25)) click 1
  sleep 1
done
code=0
wait "$launcher" || code=$?
[ "$code" = 1 ] || fail "the installed launcher ended with $code, not 1"

step "silent uninstall"
uninstall=$(value QuietUninstallString | sed 's/^"\(.*\)" \/S$/\1/')
wine "$uninstall" /S
# The uninstaller runs on from a copy of itself in the temporary folder.
for _ in $(seq 60); do [ -e "$dir/tarn-launcher.exe" ] || [ -e "$dir/uninstall.exe" ] || break; sleep 1; done
sleep 1
left=$(cd "$dir" && find . -mindepth 1 | sort | tr '\n' ' ')
[ "$left" = "./data ./data/accounts.dat " ] || fail "after uninstalling, the folder holds: $left"
[ ! -e "$menu" ] && [ ! -e "$desktop" ] || fail "shortcuts left after uninstalling"
[ -z "$(entry)" ] || fail "the uninstall entry is still there: $(entry)"
[ "$(cat "$work/prefix/drive_c/Games/TARN/ElementClient.exe")" = game ] || fail "the uninstaller touched the game"
echo "installer test passed"
