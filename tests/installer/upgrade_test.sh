#!/usr/bin/env bash
# The Windows launcher replacing itself under Wine, with the installer the
# build packs: a signed newer installer started the way the launcher starts
# it, by the platform's own calls in a small program (upgrade-probe.exe of
# the Windows build) that plays the running launcher and holds its
# single-instance guard. Checked: which release files a signed program
# accepts; the installed copy upgraded only once the guard is free, data\
# kept, the new launcher started; a copy unpacked from the zip swapped by
# renaming, and the renamed program gone at the new launcher's start; an
# installer that gives up waiting for the guard putting the program back. A
# start that fails is in tests/platform/program_update_windows_test.cpp.
#
#   tests/installer/upgrade_test.sh WINDOWS_BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
test_name="upgrade test"
. "$root/tests/installer/wine_desktop.sh"
need_tools makensis osslsigncode openssl Xvfb xwininfo
probe="$build/tests/upgrade-probe/upgrade-probe.exe"
[ -f "$probe" ] || fail "no $probe (build the Windows target upgrade-probe)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
step "pack 0.9.0 unsigned and $version signed; a probe signed by the same publisher"
exe="$build/host/tarn-launcher.exe"
strip=x86_64-w64-mingw32-strip
mkdir -p "$work/old" "$work/new" "$work/probe" "$work/signed"
sh "$root/host/win/package/pack.sh" "$work/old" "$exe" "$strip" 0.9.0 cmake >/dev/null
certificate() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.pem" -days 2 \
    -subj "/CN=$2" -addext extendedKeyUsage=codeSigning 2>/dev/null
  openssl x509 -in "$work/$1.pem" -outform DER -out "$work/$1.der"
}
certificate ours "TarnLauncher test signing"
certificate other "Someone else"
sign() { TARN_SIGN_CERT="$work/$1.pem" TARN_SIGN_KEY="$work/$1.key" sh "$root/host/win/package/sign.sh" "$2"; }
TARN_SIGN_CERT="$work/ours.pem" TARN_SIGN_KEY="$work/ours.key" \
  sh "$root/host/win/package/pack.sh" "$work/new" "$exe" "$strip" "$version" cmake >/dev/null
setup="$work/new/tarn-launcher-setup.exe"
new_exe="$work/new/package/TarnLauncher/tarn-launcher.exe"
cp "$probe" "$work/probe/upgrade-probe.exe"
cp "$probe" "$work/signed/upgrade-probe.exe"
sign ours "$work/signed/upgrade-probe.exe"
# The same installer signed by someone else, and one changed after signing.
cp "$work/old/tarn-launcher-setup.exe" "$work/other-setup.exe"
sign other "$work/other-setup.exe"
# One that waits for the guard 2 s, not a minute.
makensis -V1 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$work/new/package/TarnLauncher" \
  -DICON="$root/host/win/tarn.ico" -DOUTFILE="$work/impatient-setup.exe" -DGUARD_TRIES=8 \
  "$root/host/win/package/installer.nsi"
cp "$setup" "$work/tampered-setup.exe"
printf 'X' | dd of="$work/tampered-setup.exe" bs=1 seek=20000 conv=notrunc status=none

start_desktop
# Unix paths as the programs under Wine take them.
win() { echo "Z:${1//\//\\}"; }
check() { wine "$1" check "$(win "$2")" | tr -d '\r'; }

step "publisher checks"
[ "$(check "$work/probe/upgrade-probe.exe" "$work/other-setup.exe")" = not-needed ] ||
  fail "an unsigned program compared publishers"
wine "$work/signed/upgrade-probe.exe" trust "$(win "$work/ours.der")" || fail "could not trust the test root"
wine "$work/signed/upgrade-probe.exe" trust "$(win "$work/other.der")" || fail "could not trust the other root"
# Wine checks the digest and the chain as Windows does, once the test root
# is trusted.
[ "$(check "$work/signed/upgrade-probe.exe" "$setup")" = matches ] ||
  fail "a signed program refused its own publisher's installer"
[ "$(check "$work/signed/upgrade-probe.exe" "$work/other-setup.exe")" = refused ] ||
  fail "a signed program accepted another publisher's installer"
[ "$(check "$work/signed/upgrade-probe.exe" "$work/tampered-setup.exe")" = refused ] ||
  fail "a signed program accepted an installer changed after signing"
[ "$(check "$work/signed/upgrade-probe.exe" "$work/old/tarn-launcher-setup.exe")" = refused ] ||
  fail "a signed program accepted an unsigned installer"

# Whether a program of that name has a window on the X server.
has_window() { DISPLAY=$display xwininfo -root -tree 2>/dev/null | grep -q "(\"$1\" "; }
# Two minutes: a loaded machine runs Wine's installers slowly.
wait_for() {
  local what=$1; shift
  for _ in $(seq 240); do "$@" && return 0; sleep 0.5; done
  fail "$what"
}
# upgrade PROBE INSTALLER HOLD_MS: the probe's run in the background, its
# output in $work/upgrade.out, its process in $upgrade.
upgrade() {
  wine "$1" upgrade "$(win "$2")" "$3" >"$work/upgrade.out" &
  upgrade=$!
  wait_for "the probe did not start the upgrade" grep -qs ed "$work/upgrade.out"
}
said() { [ "$(tr -d '\r' <"$work/upgrade.out" | tr '\n' ' ')" = "$1" ]; }

step "the installed 0.9.0 upgraded to $version while the launcher holds its guard"
wine "$work/old/tarn-launcher-setup.exe" /S
[ "$(value DisplayVersion)" = 0.9.0 ] || fail "0.9.0 not installed"
mkdir -p "$dir/data"
echo accounts >"$dir/data/accounts.dat"
cp "$work/probe/upgrade-probe.exe" "$dir/"
old_exe=$(md5sum <"$dir/tarn-launcher.exe")
upgrade "$dir/upgrade-probe.exe" "$setup" 6000
sleep 4
kill -0 "$upgrade" 2>/dev/null || fail "the probe ended early: $(cat "$work/upgrade.out")"
said "installer started " || fail "the probe said: $(cat "$work/upgrade.out")"
[ "$(value DisplayVersion)" = 0.9.0 ] && [ "$(md5sum <"$dir/tarn-launcher.exe")" = "$old_exe" ] ||
  fail "the installer did not wait for the guard"
wait "$upgrade" || fail "the probe failed"
# Read anew at every try: the installer is still at work when the wait begins.
upgraded() { [ "$(value DisplayVersion)" = "$version" ]; }
wait_for "the installer did not upgrade: version $(value DisplayVersion)" upgraded
wait_for "the new launcher did not start" has_window tarn-launcher.exe
cmp -s "$dir/tarn-launcher.exe" "$new_exe" || fail "the program was not upgraded"
[ "$(cat "$dir/data/accounts.dat")" = accounts ] || fail "the upgrade lost data\\"
[ "$(value InstallLocation)" = 'C:\users\'"$(id -un)"'\AppData\Local\Programs\TarnLauncher' ] ||
  fail "the install moved: $(value InstallLocation)"
wine --end-server

step "a copy unpacked from the 0.9.0 zip swapped to $version"
copy="$work/prefix/drive_c/Games/TarnLauncher"
mkdir -p "$(dirname "$copy")"
cp -R "$work/old/package/TarnLauncher" "$copy"
mkdir -p "$copy/data"
echo accounts >"$copy/data/accounts.dat"
echo stale >"$copy/ui/gone-in-new-version.js"
# The probe in the program's place plays the running copy.
cp "$work/probe/upgrade-probe.exe" "$copy/tarn-launcher.exe"
# The launcher does not close in time: the installer gives up, the copy
# keeps its program.
upgrade "$copy/tarn-launcher.exe" "$work/impatient-setup.exe" 6000
wait "$upgrade" || fail "the probe failed"
said "folder started " || fail "the probe said: $(cat "$work/upgrade.out")"
sleep 1
cmp -s "$copy/tarn-launcher.exe" "$work/probe/upgrade-probe.exe" && [ ! -e "$copy/tarn-launcher.exe.old" ] &&
  [ -e "$copy/ui/gone-in-new-version.js" ] || fail "an installer that gave up changed the copy: $(ls "$copy")"
upgrade "$copy/tarn-launcher.exe" "$setup" 4000
sleep 2
said "folder started " || fail "the probe said: $(cat "$work/upgrade.out")"
[ ! -e "$copy/tarn-launcher.exe" ] && [ -f "$copy/tarn-launcher.exe.old" ] ||
  fail "the running program was not set aside, or the installer did not wait: $(ls "$copy")"
wait "$upgrade" || fail "the probe failed"
wait_for "the copy's program was not replaced" cmp -s "$copy/tarn-launcher.exe" "$new_exe"
wait_for "the new launcher did not start" has_window tarn-launcher.exe
wait_for "the new launcher did not remove the old program" test ! -e "$copy/tarn-launcher.exe.old"
[ "$(cat "$copy/data/accounts.dat")" = accounts ] || fail "the swap lost data\\"
[ ! -e "$copy/ui/gone-in-new-version.js" ] && [ -f "$copy/ui/index.html" ] || fail "the page was not replaced"
[ ! -e "$copy/uninstall.exe" ] || fail "a folder copy got an uninstaller"
[ "$(value InstallLocation)" = 'C:\users\'"$(id -un)"'\AppData\Local\Programs\TarnLauncher' ] ||
  fail "a folder copy's swap changed the installed copy's entry: $(value InstallLocation)"
echo "upgrade test passed"
