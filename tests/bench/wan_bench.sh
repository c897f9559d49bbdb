#!/usr/bin/env bash
# The downloader over a distant line: the reference service behind
# tarn-delay-proxy (round trip and rate as given), and
# for each set the launcher's install, its update (every file damaged
# first), curl on one connection and curl --parallel --parallel-max 16,
# each into a fresh folder. Then the player's limit: an install on
# loopback at each given rate, its folder and the kernel's counters of its
# sockets (ss) sampled every half second, and the fastest and slowest 10 s
# window of each printed, with the most connections that carried data at
# once. See docs/performance.md.
#
#   tests/bench/wan_bench.sh BUILD_DIR [--rtt-ms 40] [--mbit 200] [--sets small,large] [--limits 1,5,20]
#        (a limit in MiB/s, or in KiB/s with a k: --limits 32k,256k,1)
#        [--headless PATH]   (another build's tarn-headless, to compare)
#        (--limits "" leaves the limit out)
#
# The proxy and the service take loopback ports the system hands out; each
# launcher finds the service through the service.url beside it.
set -euo pipefail
build=$(realpath "$1"); shift
rtt=40 mbit=200 sets=small,large limits=1,5,20 headless="$build/host/headless/tarn-headless"
while [ $# -gt 0 ]; do
  case $1 in
    --rtt-ms) rtt=$2 ;; --mbit) mbit=$2 ;; --sets) sets=$2 ;; --limits) limits=$2 ;; --headless) headless=$(realpath "$2") ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
here=$(cd "$(dirname "$0")/../.." && pwd)
publish=$build/tools/tarn-publish
service=$build/tools/tarn-service
proxy=$build/tests/bench/tarn-delay-proxy
[ -x "$headless" ] || headless=$(find "$build" -name tarn-headless -type f -perm -u+x | head -1)
work=$(mktemp -d /tmp/tarn-wan-bench.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$work"; }
trap cleanup EXIT

now() { date +%s.%N; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
front=$(free_port) back=$(free_port)
elapsed() { python3 -c "print(f'{$(now) - $1:.2f}')"; }

# A site of COUNT files of BYTES each (the first one a pack, so the list
# has one).
make_site() {  # dir count bytes
  local site=$1
  "$publish" demo --site "$site" --size-mib 1 --files 4 --force >/dev/null
  rm -rf "$site/client"; mkdir -p "$site/client/data"
  printf 'MZ' > "$site/client/ElementClient.exe"
  python3 - "$site/client/data" "$2" "$3" <<'PY'
import os, sys
folder, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(count):
    with open(os.path.join(folder, f"f{i:04d}" + (".pck" if i == 0 else ".bin")), "wb") as f:
        f.write(os.urandom(size))
PY
  "$publish" site --site "$site" --key "$here/tools/demo/keys/demo-list-private.pem" --build 3 >/dev/null
  # url and output pairs for curl -K
  python3 - "$site" "$front" > "$site/curl.cfg" <<'PY'
import base64, os, sys
site = sys.argv[1]
for name in sorted(os.listdir(os.path.join(site, "client", "data"))):
    n = base64.urlsafe_b64encode(("data\\" + name).encode()).decode()
    print(f'url = "http://127.0.0.1:{sys.argv[2]}/api/file?n={n}"\noutput = "{name}"')
PY
}

start_service() {  # site port
  "$service" --site "$1" --port "$2" >/dev/null 2>&1 & pids+=($!)
  for _ in $(seq 100); do curl -s --noproxy '*' -o /dev/null "http://127.0.0.1:$2/TRN/element/version" && return; sleep 0.05; done
  echo "service did not start" >&2; exit 1
}

launcher() {  # name -> a fresh launcher folder with its own data
  local dir=$work/$1
  mkdir -p "$dir/data" "$dir/games"
  cp "$headless" "$dir/"
  echo "http://127.0.0.1:$front" >"$dir/service.url"
  echo "$dir"
}

nl=$'\n'
run_headless() {  # dir script (lines as they stand)
  [ ! -e "$1/out.log" ] || mv "$1/out.log" "$1/out.$(date +%s%N).log"
  (cd "$1" && printf '%s' "$2" | "./$(basename "$headless")" 2>&1 |
     if [ -n "${STAMP:-}" ]; then while IFS= read -r l; do echo "$EPOCHREALTIME $l"; done; else cat; fi > "$1/out.log")
}

# The launcher flushes what it writes, and a flush of the file system also
# writes back whatever else waits on it (the sites made just before): each
# contender starts with nothing dirty, outside its timing.
settle() { sync; }

contenders() {  # set
  local site=$work/site-$1 t
  local dir; dir=$(launcher "$1-launcher")
  settle; t=$(now); run_headless "$dir" ":pick $dir/games$nl\"install.folder\"$nl:wait$nl"; echo "  launcher install      $(elapsed "$t") s"
  grep -q '"stage":"готово"' "$dir/out.log" || echo "  (install did not finish: $dir/out.log)"
  # Every file damaged: the update fetches them all again.
  find "$dir/games" -name 'f*' -type f -exec sh -c 'for f; do printf x | dd of="$f" bs=1 count=1 conv=notrunc 2>/dev/null; done' x {} +
  settle; t=$(now); run_headless "$dir" "\"client.update\"$nl:wait$nl"; echo "  launcher update       $(elapsed "$t") s"
  grep -q 'Все файлы обновлены' "$dir/out.log" || echo "  (update did not finish: $dir/out.log)"
  mkdir -p "$work/$1-curl1" "$work/$1-curl16"
  [ "${CURL1:-1}" = 0 ] || { settle; t=$(now); (cd "$work/$1-curl1" && curl -sSf --noproxy '*' -K "$site/curl.cfg"); echo "  curl, one connection  $(elapsed "$t") s"; }
  settle; t=$(now); (cd "$work/$1-curl16" && curl -sSf --no-progress-meter --noproxy "*" --parallel --parallel-max 16 -K "$site/curl.cfg"); echo "  curl --parallel 16    $(elapsed "$t") s"
  [ -n "${KEEP:-}" ] || rm -rf "$dir/games" "$work/$1-curl1" "$work/$1-curl16"
}

for set in ${sets//,/ }; do
  case $set in
    small) make_site "$work/site-small" 600 16384 ;;
    large) make_site "$work/site-large" 8 67108864 ;;
  esac
done

echo "== over the line: ${rtt} ms round trip, ${mbit} Mbit/s"
"$proxy" --listen "$front" --to "$back" --rtt-ms "$rtt" --mbit "$mbit" & pids+=($!)
for set in ${sets//,/ }; do
  start_service "$work/site-$set" "$back"; svc=${pids[-1]}
  echo "$set:"
  contenders "$set"
  kill "$svc"; wait "$svc" 2>/dev/null || true
done
kill "${pids[0]}"

[ -n "$limits" ] || exit 0
echo "== the player's limit, on loopback"
make_site "$work/site-limit" 12 67108864
start_service "$work/site-limit" "$front"
for mib in ${limits//,/ }; do
  dir=$(launcher "limit-$mib")
  case $mib in *k) kibps=${mib%k} ;; *) kibps=$((mib * 1024)) ;; esac
  # At most 30 s of it: the samples are what count.
  (run_headless "$dir" '"speed.limit\n{\"kibps\":\"'"$kibps"'\"}"'"$nl:pick $dir/games$nl\"install.folder\"$nl:sleep 30000$nl\"install.stop\"$nl:wait$nl") &
  runner=$!
  samples=$dir/samples
  for _ in $(seq "${SAMPLES:-64}"); do
    sleep 0.5
    t=$(now)
    echo "$t $(du -sb "$dir/games" 2>/dev/null | cut -f1 || echo 0)" >> "$samples"
    # Each of the launcher's sockets to the service: its own address and
    # the bytes its kernel took in.
    ss -tinH dst "127.0.0.1:$front" | awk -v t="$t" '
      /bytes_received:/ { if (match($0, /bytes_received:[0-9]+/)) print t, local, substr($0, RSTART + 15, RLENGTH - 15); next }
      { for (i = 1; i <= NF; i++) if ($i ~ /:/) { local = $i; break } }' >> "$samples.wire"
  done
  wait $runner || true
  python3 - "$samples.wire" "$kibps" <<'PY'
import sys
from collections import defaultdict
rate = float(sys.argv[2]) * 1024
most, at = {}, defaultdict(dict)
for line in open(sys.argv[1]):
    t, sock, taken = line.split()
    at[float(t)][sock] = int(taken)
rows, wide = [], 0
for t in sorted(at):
    for sock, taken in at[t].items(): most[sock] = max(most.get(sock, 0), taken)
    wide = max(wide, sum(1 for n in at[t].values() if n > 4096))
    rows.append((t, sum(most.values())))
rates = [next(((b1 - b0) / (t1 - t0) for t1, b1 in rows[i:] if t1 - t0 >= 10), None) for i, (t0, b0) in enumerate(rows)]
rates = [r for r in rates if r is not None]
if rates:
    lo, hi = min(rates), max(rates)
    print(f"  limit {rate / 1024:g} KiB/s, on the wire: 10 s windows {lo / 1024:.1f}–{hi / 1024:.1f} KiB/s ({(lo / rate - 1) * 100:+.1f} % to {(hi / rate - 1) * 100:+.1f} %), {len(rates)} windows, {wide} connections at once")
PY
  python3 - "$samples" "$kibps" <<'PY'
import sys
rows = [tuple(map(float, l.split())) for l in open(sys.argv[1]) if len(l.split()) == 2]
mib = float(sys.argv[2]) / 1024; rate = mib * 1048576
rows = [r for r in rows if r[1] > 0][2:]   # from the first second of data on
# up to the stop: the samples after it only repeat the final size
rows = rows[:next((i for i, r in enumerate(rows) if r[1] == rows[-1][1]), len(rows)) + 1] if rows else rows
rates = []
for i, (t0, b0) in enumerate(rows):
    for t1, b1 in rows[i:]:
        if t1 - t0 >= 10:
            rates.append((b1 - b0) / (t1 - t0)); break
if rates:
    lo, hi = min(rates), max(rates)
    print(f"  limit {mib * 1024:g} KiB/s, on the disk: 10 s windows {lo/1024:.1f}–{hi/1024:.1f} KiB/s ({(lo/rate-1)*100:+.1f} % to {(hi/rate-1)*100:+.1f} %), {len(rates)} windows")
else:
    print(f"  limit {mib * 1024:g} KiB/s: too few samples")
PY
  rm -rf "$dir/games"
done
