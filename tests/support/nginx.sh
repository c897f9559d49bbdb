# A private Debian nginx for the shell tests that put it in front of the
# reference service. Source it after defining fail(); then:
#   nginx_workdir NAME     a work folder $work (removed on exit with every
#                          process whose pid is added to pids) and $nginx
#   nginx_config HTTP...   writes $work/nginx/nginx.conf: a server that runs
#                          unprivileged inside $work/nginx, with the given
#                          lines inside its http block
#   nginx_start            starts it in the background
#   free_port BUILD        prints a loopback port nothing listens on
#   service_start BUILD    a demo site published in $work/site and the
#                          reference service on 127.0.0.1:8091 serving it
# Set KEEP=1 to keep the work folder for a look after a failure.

nginx_workdir() {  # name
  nginx=$(command -v nginx || echo /usr/sbin/nginx)
  [ -x "$nginx" ] || fail "nginx is missing (tools/setup.sh installs it)"
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  chmod 755 "$work"  # nginx's workers read what it serves from here
  pids=()
  trap nginx_cleanup EXIT
}

nginx_cleanup() {
  set +e
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}

nginx_config() {  # lines of the http block...
  mkdir -p "$work/nginx"
  {
    echo "daemon off;"
    echo "pid $work/nginx/nginx.pid;"
    echo "error_log $work/nginx/error.log info;"
    [ "$(id -u)" != 0 ] || echo "user root;"
    echo "events {}"
    echo "http {"
    local temp
    for temp in client_body proxy fastcgi uwsgi scgi; do echo "    ${temp}_temp_path $work/nginx/$temp;"; done
    printf '%s\n' "$@"
    echo "}"
  } >"$work/nginx/nginx.conf"
}

# A loopback port on which nothing listens now, as the system hands one
# out: a reference service of the build started on port 0, asked for its
# port, and ended.
free_port() {  # build folder
  local dir port=""
  dir=$(mktemp -d "$work/port.XXXXXX")
  "$1/tools/tarn-service" --site "$dir" --port 0 --ready-file "$dir/ready" >/dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 100); do
    port=$(cat "$dir/ready" 2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
  rm -rf "$dir"
  [ -n "$port" ] || fail "no free port"
  echo "$port"
}

nginx_start() {
  "$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>"$work/nginx/stderr" &
  pids+=($!)
}

service_start() {  # build folder
  "$1/tools/tarn-publish" demo --site "$work/site" --size-mib 2 --files 6 >/dev/null
  "$1/tools/tarn-service" --site "$work/site" --port 8091 --ready-file "$work/service-ready" >/dev/null 2>&1 &
  pids+=($!)
}
