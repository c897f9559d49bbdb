#!/usr/bin/env bash
# A new build published while a player installs the current one, once with
# the launcher on the reference service and once on nginx serving the
# static web root (the server block of docs/operator.md taken verbatim).
# While the player has the install paused, the operator copies the next
# build over the client in place (cp), drops a file, adds one and
# publishes; the resumed install must still end with the build it began
# with, byte for byte, without a checksum failure or a 404. Then the web root keeps the earlier builds' files for the grace
# period and removes them after it.
#
#   tests/static-site/publish_during_install_test.sh LINUX_BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
fail() { echo "publish during install test FAILED: $*" >&2; exit 1; }
# shellcheck source=../support/nginx.sh
. "$root/tests/support/nginx.sh"
step() { echo "-- $*"; }
publish="$build/tools/tarn-publish"
key="$root/tools/demo/keys/demo-list-private.pem"
# Slow enough per connection that the publish lands mid-install.
rate=400000

nginx_workdir tarn-publish-during-install
site="$work/site"
www="$work/www"
"$publish" demo --site "$site" --size-mib 8 --files 12 >/dev/null
"$publish" static --site "$site" --out "$www" >/dev/null

"$build/tools/tarn-service" --site "$site" --port 0 --ready-file "$work/service-ready" --throttle "$rate" \
  --access-log "$work/service.log" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  [ -s "$work/service-ready" ] && break
  sleep 0.1
done
back=$(cat "$work/service-ready")
[ -n "$back" ] || fail "the service did not start"
block=$(awk '/^```nginx$/ {on = 1; next} on && /^```$/ {exit} on' "$root/docs/operator.md")
[ -n "$block" ] || fail "no nginx block in docs/operator.md"
front=$(free_port "$build")
block=${block//\/srv\/tarn\/www/$www}
block=${block//127.0.0.1:8091/127.0.0.1:$back}
nginx_config "    include /etc/nginx/mime.types;" \
  "    log_format ranges '\$request_uri \$status \$body_bytes_sent \"\$http_range\"';" \
  "    access_log $work/nginx/access.log ranges;" \
  "    limit_rate $rate;" \
  "${block//127.0.0.1:8090/127.0.0.1:$front}"
nginx_start
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$front/TRN/element/version" && break
  sleep 0.1
done
curl -sf -o /dev/null "http://127.0.0.1:$front/TRN/element/version" || fail "nginx does not serve"

sums() { (cd "$1" && find . -type f ! -path ./config/element/version.sw -print0 | sort -z | xargs -0 md5sum); }

# install_while_publishing NAME URL NEXT: installs from URL while build NEXT
# is published, and checks that the install ends with the build it began.
install_while_publishing() {
  local name=$1 url=$2 next=$3
  local dir="$work/$name" expect
  mkdir -p "$dir/launcher" "$dir/games"
  ln "$build/host/tarn-headless" "$dir/launcher/" 2>/dev/null || cp "$build/host/tarn-headless" "$dir/launcher/"
  echo "$url" >"$dir/launcher/service.url"
  expect=$(sums "$site/client")
  printf '%s\n' ":pick $dir/games" '"install.folder"' ':sleep 1500' '"install.pause"' ':sleep 3500' \
    '"install.resume"' ':wait' | "$dir/launcher/tarn-headless" >"$dir/events" 2>"$dir/stderr" &
  local pid=$!
  pids+=("$pid")
  sleep 2.2
  # The operator's next build: every file rewritten in place (cp over an
  # existing file truncates and writes the same inode), one dropped, one
  # added.
  local f
  while IFS= read -r -d '' f; do
    { cat "$f"; printf 'build %s' "$next"; } >"$work/next"
    cp "$work/next" "$f"
  done < <(find "$site/client" -type f -print0)
  rm "$(find "$site/client" -type f -name '*.pck' | sort | tail -n1)"
  echo "new in build $next" >"$site/client/added-$next.txt"
  "$publish" site --site "$site" --key "$key" --build "$next" >/dev/null
  "$publish" static --site "$site" --out "$www" >/dev/null
  kill -0 "$pid" 2>/dev/null || fail "$name: the install ended before the publish; nothing was tested"
  wait "$pid" || fail "$name: the launcher failed: $(cat "$dir/stderr")"
  ! grep -q 'контрольная сумма\|"stage":"ошибка"' "$dir/events" ||
    fail "$name: $(grep -o '"error":"[^"]\+"' "$dir/events" | sort -u)"
  grep -q '"пауза"' "$dir/events" || fail "$name: the install was never paused: $(tail -n3 "$dir/events")"
  [ "$(sums "$dir/games/ТАРН")" = "$expect" ] || fail "$name: the client is not the build the install began with"
}

step "install through tarn-service while build 4 is published"
install_while_publishing service "http://127.0.0.1:$back" 4
! grep -q "^GET /api/file[^ ]* 404 " "$work/service.log" || fail "the service refused a file: $(grep " 404 " "$work/service.log")"
# The resume after the pause asked for the rest of the old build's bytes.
grep -q '^GET /api/file?n=[^ ]*&h=[0-9a-f]\{32\} 206 [0-9]* bytes=[1-9][0-9]*-$' "$work/service.log" ||
  fail "no ranged request for an object: $(grep api/file "$work/service.log")"

step "install through nginx while build 5 is published"
install_while_publishing nginx "http://127.0.0.1:$front" 5
! grep -q '^/api/file[^ ]* 404 ' "$work/nginx/access.log" ||
  fail "nginx refused a file: $(grep '^/api/file[^ ]* 404 ' "$work/nginx/access.log")"
grep -q '^/api/file?n=[^ ]*&h=[0-9a-f]\{32\} 206 [0-9]* "bytes=[1-9][0-9]*-"$' "$work/nginx/access.log" ||
  fail "no ranged request for an object: $(cat "$work/nginx/access.log")"

step "earlier builds stay served for the grace period, then go"
old=$(grep -m1 '\.pck$' <<<"$(sums "$work/nginx/games/ТАРН")" | head -n1)
old_md5=${old%% *}
file=${old#*  ./}
token=$(printf '%s' "${file//\//\\}" | base64 -w0 | tr '+/' '-_')
object="http://127.0.0.1:$front/api/file?n=$token&h=$old_md5"
[ "$(curl -s "$object" | md5sum | cut -d' ' -f1)" = "$old_md5" ] || fail "build 4's $file is not served"
[ -f "$site/objects/$old_md5" ] || fail "build 4's $file left the site"
grep -q "^$old_md5 " "$www/objects/retired" || fail "build 4's $file is not noted as retired"
# Eight days later: the record says the files left a week and a day ago.
for record in "$www/objects/retired" "$site/objects/retired"; do
  awk -v t="$(($(date +%s) - 8 * 86400))" '{print $1, t}' "$record" >"$record.new" && mv "$record.new" "$record"
done
"$publish" site --site "$site" --key "$key" --build 5 >/dev/null
"$publish" static --site "$site" --out "$www" >/dev/null
[ ! -e "$www/objects/$old_md5" ] && [ ! -e "$site/objects/$old_md5" ] || fail "build 4's $file outlived its days"
[ ! -s "$www/objects/retired" ] || fail "the record keeps removed files: $(cat "$www/objects/retired")"
[ "$(curl -s "$object" | md5sum | cut -d' ' -f1)" != "$old_md5" ] || fail "build 4's $file is still served"
echo "publish during install test passed"
