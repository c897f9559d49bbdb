#!/usr/bin/env bash
# The launcher against a distant service over HTTPS: a certificate
# authority made here, Debian's nginx in front of the reference service on
# a non-loopback address, and a copied tarn-headless with a service.url
# beside it. A good certificate carries the accounts, the news and an
# install; a wrong name, an expired certificate, an unknown authority and
# plain http to that address are refused before any request is sent (nginx's
# access log stays empty for them) and read as an unreachable service, the
# launcher's log saying once which refusal it was; a redirect is answered,
# never followed, and told without its path. The good server is
# docs/operator.md's HTTPS block.
#
#   tests/tls/tls_test.sh LINUX_BUILD_DIR
#
# It runs itself in network and mount namespaces of its own (root or a
# user namespace needed): the address lives on that namespace's lo, and
# the name and the authority are made known the way the system knows them,
# by /etc/hosts and the system's certificate bundle, mounted over for this
# test only.
set -euo pipefail
# shellcheck source=../support/own_namespaces.sh
. "$(dirname "$0")/../support/own_namespaces.sh" "TLS test" "$@"
build=$(realpath "$1")
fail() { echo "TLS test FAILED: $*" >&2; exit 1; }
# shellcheck source=../support/nginx.sh
. "$(dirname "$0")/../support/nginx.sh"
# shellcheck source=../support/headless_checks.sh
. "$(dirname "$0")/../support/headless_checks.sh"
step() { echo "-- $*"; }

# An address of another network, held by this namespace's only interface:
# to the launcher it is a distant machine.
ip link set lo up
ip addr add 10.77.0.1/32 dev lo

nginx_workdir tarn-tls

step "two authorities and four server certificates"
pki="$work/pki"
# shellcheck source=../support/pki.sh
. "$(dirname "$0")/../support/pki.sh"
authority known
authority unknown
server_cert good known tarn.test -days 2
server_cert wrong-name known other.test -days 2
server_cert expired known tarn.test -startdate 20200101000000Z -enddate 20200102000000Z
server_cert unknown-ca unknown tarn.test -days 2

# The system's view, for this namespace only: the name, and the bundle
# every program that trusts the system's authorities reads.
known_to_system known "10.77.0.1 tarn.test other.test"

step "the reference service behind nginx"
service_start "$build"
# port: certificate name ("" for plain http)
declare -A cases=([8442]=wrong-name [8443]=expired [8444]=unknown-ca [8445]="")
# A good certificate that sends everything elsewhere, a ticket in the query.
servers="server { listen 10.77.0.1:8446 ssl; server_name tarn.test; ssl_certificate $pki/good.crt;
  ssl_certificate_key $pki/good.key; location / { return 302 https://admin:pw@moved.test:9443/x?ticket=T0K; } }"$'\n'
# The good server is docs/operator.md's HTTPS block as it stands, with this
# test's address, name, certificate and service port.
doc=$(awk '/^### HTTPS with nginx/ {on = 1; next} on && /^#/ {exit} on && /^    / {sub(/^    /, ""); print}' \
  "$(dirname "$0")/../../docs/operator.md")
grep -q 'listen 8443 ssl;' <<<"$doc" || fail "no HTTPS block in docs/operator.md: $doc"
doc=${doc//listen 8443 ssl;/listen 10.77.0.1:8441 ssl;}
doc=${doc//tarn.example.org\/fullchain.pem/x}
doc=${doc//\/etc\/letsencrypt\/live\/x/$pki/good.crt}
doc=${doc//\/etc\/letsencrypt\/live\/tarn.example.org\/privkey.pem/$pki/good.key}
doc=${doc//tarn.example.org/tarn.test}
doc=${doc//127.0.0.1:8090/127.0.0.1:8091}
servers+="$doc"$'\n'
for port in "${!cases[@]}"; do
  cert=${cases[$port]}
  listen="listen 10.77.0.1:$port"
  tls=""
  if [ -n "$cert" ]; then
    listen+=" ssl"
    tls="ssl_certificate $pki/$cert.crt; ssl_certificate_key $pki/$cert.key;"
  fi
  servers+="server { $listen; server_name tarn.test; $tls location / { proxy_pass http://127.0.0.1:8091; } }"$'\n'
done
nginx_config "    log_format port '\$server_port \$request_method \$request_uri \$status \$connection';" \
  "    access_log $work/nginx/access.log port;" \
  "$servers"
nginx_start
for _ in $(seq 100); do
  [ -s "$work/service-ready" ] && curl -s -o /dev/null https://tarn.test:8441/api/news && break
  sleep 0.1
done
# The servers answer to anyone who does not care: curl over the same
# system bundle for the good one, without checks for the rest.
curl -sf -o /dev/null https://tarn.test:8441/api/news ||
  fail "nginx does not serve: $(cat "$work/nginx/stderr" "$work/nginx/error.log" 2>/dev/null | tail -n 5)"
for port in 8442 8443 8444; do
  curl -sfk -o /dev/null "https://tarn.test:$port/api/news" || fail "port $port does not serve"
  curl -s -o /dev/null "https://tarn.test:$port/api/news" && fail "curl trusted port $port"
done
curl -sf -o /dev/null http://tarn.test:8445/api/news || fail "the plain port does not serve"
# nginx logs a request after its answer has gone out, so on a busy machine
# the line of this last check can land after curl has returned: wait for
# it before emptying the log, or it would read as a launcher's request.
for _ in $(seq 100); do
  grep -q '^8445 ' "$work/nginx/access.log" && break
  sleep 0.1
done
: >"$work/nginx/access.log"

# One launcher copy per address; the script adds an account, asks for the
# news and the environment, and installs the client.
run() {  # folder, address
  local dir="$work/$1"
  mkdir -p "$dir" "$dir-games" "$work/home"
  cp "$build/host/tarn-headless" "$dir/"
  printf '%s\n' "$2" >"$dir/service.url"
  printf '%s\n' '"account.add\n{\"login\":\"demo\",\"password\":\"demo\"}"' ':wait' '"ui.ready"' ':wait' \
    ":pick $dir-games" '"install.folder"' ':wait' |
    HOME="$work/home" "$dir/tarn-headless" 2>>"$work/launcher.err"
}
requests() { awk -v p="$1" '$1 == p' "$work/nginx/access.log" | wc -l; }

step "a good certificate: accounts, news and an install over HTTPS"
events=$(run good https://tarn.test:8441)
grep -qF 'Аккаунт добавлен' <<<"$events" || fail "good: no account: $events"
grep -q '"news":\[ *{' <<<"$events" || fail "good: no news: $events"
grep -qF '"service":"https://tarn.test:8441"' <<<"$events" || fail "good: env: $events"
[ "$(sums "$work/site/client")" = "$(sums "$work/good-games/ТАРН")" ] ||
  fail "good: the installed client differs from the site's"
[ "$(requests 8441)" -gt 6 ] || fail "good: too few requests reached nginx"

# The log says which address is in use, and why nothing came of it.
said() {  # folder, address, reason: exactly one line, and no secret in the log
  local log
  log=$(logs "$work/$1/launcher.log")
  [ "$(grep -cxF "служба $2: $3" <<<"$log")" = 1 ] && return 0
  fail "$1: the log does not say once \"$3\": $log"
}
refused="сертификат сервера отклонён:"
for c in wrong-name:8442:"выдан на другое имя" expired:8443:"истёк или ещё не действует" \
  unknown-ca:8444:"выдан неизвестным удостоверяющим центром"; do
  IFS=: read -r name port why <<<"$c"
  step "$name: refused before a request"
  unreachable "$(run "$name" "https://tarn.test:$port")" "https://tarn.test:$port"
  [ "$(requests "$port")" = 0 ] || fail "$name: requests reached nginx: $(cat "$work/nginx/access.log")"
  log=$(logs "$work/$name/launcher.log")
  line=$(grep -F "служба https://tarn.test:$port: $refused $why" <<<"$log") || fail "$name: no reason in the log: $log"
  [ "$(wc -l <<<"$line")" = 1 ] || fail "$name: the reason is told more than once: $log"
done

step "a redirect: answered, not followed, and told without its query"
unreachable "$(run redirect https://tarn.test:8446)" https://tarn.test:8446
said redirect https://tarn.test:8446 "ответ 302 переадресует на https://moved.test:9443; переадресации не выполняются"
logs "$work/redirect/launcher.log" | grep -qE 'T0K|:pw@' && fail "redirect: a secret in the log"

for address in http://tarn.test:8445 http://10.77.0.1:8445; do
  step "$address: plain http to another machine is never sent"
  unreachable "$(run "plain-${address##*/}" "$address")" "$address"
  said "plain-${address##*/}" "$address" "запрос не отправлен: без https допускается только этот компьютер"
done
[ "$(requests 8445)" = 0 ] || fail "plain: requests reached nginx: $(cat "$work/nginx/access.log")"
grep -q '^служба http://10.77.0.1:8445: без https допускается только этот' <<<"$(logs "$work"/plain-*/launcher.log)" ||
  fail "plain: no log line says why"
grep -qx 'служба https://tarn.test:8443' <<<"$(logs "$work/expired/launcher.log")" || fail "expired: the log has no address"
echo "TLS test passed"
