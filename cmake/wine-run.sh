#!/bin/sh
# Runs a Windows program of the cross build under Wine, headless. The prefix
# lives in the build folder (the program's nearest ancestor that holds
# CMakeCache.txt), so nothing outside the build is touched and removing the
# build folder removes the prefix too. TARN_WINEPREFIX overrides the choice.
set -eu

if [ $# -lt 1 ]; then
  echo "usage: wine-run.sh PROGRAM.exe [ARGS...]" >&2
  exit 2
fi

wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
done
if [ -z "$wine" ]; then
  echo "wine-run.sh: no wine64 found (install the wine64 package)" >&2
  exit 127
fi
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)

# "wine-run.sh --end-server" ends the Wine server of TARN_WINEPREFIX, with
# every program in it. Wine opens sockets inside that server, which lingers
# a few seconds after its last program and keeps the network namespace it
# was started in; a test that talks to a loopback service of its own ends it
# first, so the next program starts a server beside that service.
if [ "$1" = "--end-server" ]; then
  if [ -z "${TARN_WINEPREFIX:-}" ]; then
    echo "wine-run.sh: --end-server needs TARN_WINEPREFIX" >&2
    exit 2
  fi
  if [ -d "$TARN_WINEPREFIX" ]; then
    WINEPREFIX="$TARN_WINEPREFIX" "$wineserver" -k >/dev/null 2>&1 || true
    WINEPREFIX="$TARN_WINEPREFIX" "$wineserver" -w >/dev/null 2>&1 || true
  fi
  exit 0
fi

if [ -z "${TARN_WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  if [ "$dir" = "/" ]; then
    echo "wine-run.sh: $1 is not inside a build folder; set TARN_WINEPREFIX" >&2
    exit 2
  fi
  TARN_WINEPREFIX=$dir/wine-prefix
fi

export WINEPREFIX="$TARN_WINEPREFIX"
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko installers (they would ask through a window) and no
# display, unless a test names its own X server in TARN_WINE_DISPLAY.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ -n "${TARN_WINE_DISPLAY:-}" ]; then export DISPLAY="$TARN_WINE_DISPLAY"; fi

# The first start creates the prefix, which takes a while; parallel tests
# must not each start creating it, so the first one does it under a lock.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot --init >/dev/null 2>&1 || true
      "$wineserver" -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# One fault of Wine itself is known: on a loaded machine it now and then
# dies of a segmentation fault as a program exits, after the program has
# done all its work. A GoogleTest case that CTest runs (--gtest_filter) is
# watched for exactly that: its own "[  PASSED  ]" line, no "[  FAILED  ]"
# line, then Wine's SIGSEGV (status 139). Only then is the case run once
# more, saying so on stderr and in TARN_WINE_RETRY_LOG (tools/test.sh counts
# those lines); any other ending, and the second run's, stands as it is.
case " $* " in
  *" --gtest_filter="*) ;;
  *) exec "$wine" "$@" ;;
esac
out=$(mktemp "$WINEPREFIX.out.XXXXXX")
err=$(mktemp "$WINEPREFIX.err.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2; do
  status=0
  "$wine" "$@" >"$out" 2>"$err" || status=$?
  cat "$out"
  cat "$err" >&2
  if [ "$attempt" -eq 1 ] && [ "$status" -eq 139 ] && grep -q '^\[  PASSED  \]' "$out" &&
     ! grep -q '^\[  FAILED  \]' "$out"; then
    name=$(printf '%s\n' "$@" | sed -n 's/^--gtest_filter=//p')
    note="wine-run.sh: $(basename "$1") $name passed, then Wine died of SIGSEGV as it exited; running it once more"
    echo "$note" >&2
    if [ -n "${TARN_WINE_RETRY_LOG:-}" ]; then echo "$note" >>"$TARN_WINE_RETRY_LOG"; fi
    continue
  fi
  exit "$status"
done
