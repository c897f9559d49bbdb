#!/usr/bin/env bash
# The launcher against a static file site: tarn-publish writes it, Debian's
# nginx serves it with the server block of docs/operator.md taken verbatim
# (only its web root and its two ports are this test's), and the
# reference service answers the accounts behind it. The headless launcher
# installs through nginx with a pause and a resume (a ranged request),
# verifies, and updates to a new build; the client must match the site's
# byte for byte each time.
#
#   tests/static-site/nginx_test.sh LINUX_BUILD_DIR
#
# nginx and the service listen on ports the system picks; the launcher
# finds nginx through the service.url beside it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
fail() { echo "static site test FAILED: $*" >&2; exit 1; }
# shellcheck source=../support/nginx.sh
. "$root/tests/support/nginx.sh"
step() { echo "-- $*"; }
publish="$build/tools/tarn-publish"
key="$root/tools/demo/keys/demo-list-private.pem"

nginx_workdir tarn-static-site

step "publish the site and write it as static files"
"$publish" demo --site "$work/site" --size-mib 6 --files 10 >/dev/null
printf 'stand-in package' >"$work/tarn-launcher_9.9.9_amd64.deb"
"$publish" launcher --site "$work/site" --key "$key" --version 9.9.9 --linux "$work/tarn-launcher_9.9.9_amd64.deb" >/dev/null
"$publish" static --site "$work/site" --out "$work/www" --news >/dev/null

# The doc's nginx block, with this test's web root and ports; around
# it only what a private nginx needs to run unprivileged in this folder, an
# access log with the Range header, and a rate limit slow enough to pause
# (per connection: the launcher fetches several files at once).
block=$(awk '/^```nginx$/ {on = 1; next} on && /^```$/ {exit} on' "$root/docs/operator.md")
[ -n "$block" ] || fail "no nginx block in docs/operator.md"
"$build/tools/tarn-service" --site "$work/site" --port 0 --ready-file "$work/service-ready" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  [ -s "$work/service-ready" ] && break
  sleep 0.1
done
back=$(cat "$work/service-ready")
[ -n "$back" ] || fail "the service did not start"
front=$(free_port "$build")
block=${block//\/srv\/tarn\/www/$work/www}
block=${block//127.0.0.1:8091/127.0.0.1:$back}
nginx_config "    include /etc/nginx/mime.types;" \
  "    log_format ranges '\$request_uri \$status \$body_bytes_sent \"\$http_range\"';" \
  "    access_log $work/nginx/access.log ranges;" \
  "    limit_rate 512k;" \
  "${block//127.0.0.1:8090/127.0.0.1:$front}"
nginx_start
site="http://127.0.0.1:$front"
for _ in $(seq 100); do
  curl -s -o /dev/null "$site/TRN/element/version" && break
  sleep 0.1
done
curl -sf -o /dev/null "$site/TRN/element/version" ||
  fail "nginx does not serve: $(cat "$work/nginx/stderr" "$work/nginx/error.log" 2>/dev/null)"

# What reaches the disk is only ever a file of the token's alphabet.
for query in 'n=../nginx/nginx.conf' 'n=..%2Fnginx%2Fnginx.conf' 'n=' 'x=1'; do
  [ "$(curl -s -o /dev/null -w '%{http_code}' "$site/api/file?$query")" = 404 ] ||
    fail "/api/file?$query was not refused"
done
[ "$(curl -s -o /dev/null -w '%{http_code}' "$site/files/")" = 404 ] || fail "the file folder is listed"
# The launcher's record and its file, as the web root has them.
cmp -s <(curl -sf "$site/TRN/launcher/release") "$work/site/TRN/launcher/release" ||
  fail "the launcher's record is not served"
[ "$(curl -sf "$site/TRN/launcher/tarn-launcher_9.9.9_amd64.deb")" = 'stand-in package' ] ||
  fail "the launcher's package is not served"
# The accounts reach the service behind nginx.
[ "$(curl -s -o /dev/null -w '%{http_code}' -d '{"login":"demo","password":"demo"}' \
  "$site/api/auth")" = 200 ] || fail "/api/auth does not reach the service"

mkdir -p "$work/launcher" "$work/games"
ln "$build/host/tarn-headless" "$work/launcher/" 2>/dev/null || cp "$build/host/tarn-headless" "$work/launcher/"
echo "$site" >"$work/launcher/service.url"
launcher() { printf '%s\n' "$@" | "$work/launcher/tarn-headless" 2>>"$work/launcher.err"; }
client="$work/games/ТАРН"
# Every file, by name and content, but the launcher's own note of the
# installed build.
sums() { (cd "$1" && find . -type f ! -path ./config/element/version.sw -print0 | sort -z | xargs -0 sha256sum); }
same() { [ "$(sums "$work/site/client")" = "$(sums "$client")" ] || fail "$1: the client differs from the site's"; }

step "install with a pause and a resume"
events=$(launcher ":pick $work/games" '"install.folder"' ':sleep 1000' '"install.pause"' ':sleep 700' \
  '"install.resume"' ':wait')
same "after the install"
grep -q '^/api/file?n=[^ ]* 206 [0-9]* "bytes=[1-9][0-9]*-"$' "$work/nginx/access.log" ||
  fail "no resumed ranged request: $(cat "$work/nginx/access.log")"

step "verify"
events=$(launcher '"client.verify"' ':wait')
grep -q '"state":"ok","label":"Проверено файлов' <<<"$events" || fail "verify: $events"
grep -q '"update":{"available":false' <<<"$events" || fail "verify's update check: $events"

step "update to a new build"
printf 'changed' >>"$(find "$work/site/client" -type f -name '*.pck' | sort | head -n1)"
echo "new file of build 4" >"$work/site/client/added.txt"
# A pack large enough for a block index changes in the middle: the update
# patches it from the old copy through the doc's /api/blocks location.
printf 'patched in the middle' | dd of="$work/site/client/element/models.pck" bs=1 seek=700001 conv=notrunc status=none
"$publish" site --site "$work/site" --key "$key" --build 4 >/dev/null
"$publish" static --site "$work/site" --out "$work/www" --news >/dev/null
"$publish" check --static "$work/www" --key "$root/tools/demo/keys/demo-list-public.pem" \
  --client "$work/site/client" >/dev/null || fail "the web root's block indexes do not check"
events=$(launcher '"client.verify"' ':wait')
grep -q 'added.txt — не совпала контрольная сумма' <<<"$events" || fail "the new build was not seen: $events"
launcher '"client.update"' ':wait' >/dev/null
same "after the update"
grep -q '^/api/blocks?n=[^ ]* 200 ' "$work/nginx/access.log" ||
  fail "no block index served: $(cat "$work/nginx/access.log")"
grep -q '^/api/file?n=[^ ]* 206 16384 "bytes=688128-704511"$' "$work/nginx/access.log" ||
  fail "the changed pack did not come as one range of its changed blocks: $(cat "$work/nginx/access.log")"
events=$(launcher '"client.verify"' ':wait')
grep -q '"update":{"available":false' <<<"$events" || fail "after the update: $events"
echo "static site test passed"
