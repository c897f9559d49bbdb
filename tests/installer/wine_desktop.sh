# What the installer's tests under Wine share; sourced after root= and
# test_name= are set. fail and step report under the test's name;
# need_tools checks the tools named; $work is made here and removed at exit
# (with the prefix's Wine server and the X server); start_desktop starts a
# private Xvfb ($display) and a Wine prefix of the test's own in $work, run
# through wine(); $dir is where the installer puts the launcher, and entry
# and value read its uninstall entry back from the prefix's registry.
#
#   need_tools TOOL...; start_desktop
fail() { echo "$test_name FAILED: $*" >&2; exit 1; }
step() { echo "-- $*"; }
need_tools() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (tools/setup.sh installs it)"
  done
}

work=$(mktemp -d /tmp/tarn-installer-test.XXXXXX)
xvfb=""
cleanup() {
  set +e
  [ -d "$work/prefix" ] && TARN_WINEPREFIX="$work/prefix" "$root/cmake/wine-run.sh" --end-server
  [ -n "$xvfb" ] && kill "$xvfb" && wait "$xvfb"
  rm -rf "$work"
}
trap cleanup EXIT

wine() { "$root/cmake/wine-run.sh" "$@"; }
start_desktop() {
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  display=":$(head -n1 "$work/display")"
  mkdir -p "$work/home"
  export HOME="$work/home" TARN_WINEPREFIX="$work/prefix" TARN_WINE_DISPLAY="$display" LC_ALL=C.UTF-8
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
  user_dir="$work/prefix/drive_c/users/$(id -un)"
  [ -d "$user_dir" ] || fail "no user folder $user_dir in the prefix"
  dir="$user_dir/AppData/Local/Programs/TarnLauncher"
}

key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TarnLauncher'
# The entry as reg.exe exports it (UTF-16, so the names survive), and one
# value of it without the file's quoting.
entry() {
  rm -f "$work/entry.reg"
  wine reg export "$key" "Z:$work/entry.reg" /y >/dev/null 2>&1 || return 0
  iconv -f UTF-16 -t UTF-8 "$work/entry.reg" | tr -d '\r'
}
value() {
  entry | sed -n "s/^\"$1\"=//p" | sed -e 's/^"\(.*\)"$/\1/' -e 's/^dword:/0x/' -e 's/\\\(.\)/\1/g'
}
