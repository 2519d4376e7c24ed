#!/usr/bin/env bash
# The team deployment on one machine: mattivo-backend nodes on loopback and
# nginx in front of them with TLS and the secret prefix. Nodes on other
# machines join with --remote.
#   team.sh start [options]   start what is not running, print the team's URL
#   team.sh stop  [--run-dir DIR]
#   team.sh status [--run-dir DIR]
# Options of start:
#   --nodes N            local nodes, named n1..nN (default 3)
#   --base-port P        the local nodes listen on P+1..P+N (default 8750)
#   --listen [ADDR:]PORT where nginx takes HTTPS (default 8443, every address)
#   --name HOST          the name (or address) artists use for this machine;
#                        it goes into a generated certificate (default: hostname)
#   --cert FILE --key FILE   your own certificate instead of a generated one
#   --remote NAME=HOST:PORT  a node on another machine (repeatable; remembered
#                        in the run folder for the next starts)
#   --forget NAME        no longer send anything to the remote node NAME
#   --workers N          sessions each local node mattes at once (default 1)
#   --run-dir DIR        nginx's folder, logs, pids, the prefix
#                        (default $XDG_STATE_HOME/mattivo-team)
#   --data-root DIR      the local nodes' data folders DIR/n1.. (default $XDG_DATA_HOME/mattivo-team)
#   --backend FILE       the mattivo-backend to run (default build/backend/mattivo-backend)
# Anything after "--" goes to every local node (e.g. -- --max-sessions 8).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

cmd=${1:-}
[ -n "$cmd" ] && shift
state_home=${XDG_STATE_HOME:-$HOME/.local/state}
data_home=${XDG_DATA_HOME:-$HOME/.local/share}
run_dir=$state_home/mattivo-team data_root=$data_home/mattivo-team
nodes=3 base_port=8750 listen=8443 name=$(hostname) cert="" key="" workers=1
backend=$root/build/backend/mattivo-backend
remotes=() forget=() extra=()
die() { echo "team.sh: $*" >&2; exit 2; }
while (($#)); do
  case $1 in
    --) shift; extra=("$@"); break ;;
  esac
  (($# >= 2)) || die "$1 needs a value"
  case $1 in
    --nodes) nodes=$2 ;;
    --base-port) base_port=$2 ;;
    --listen) listen=$2 ;;
    --name) name=$2 ;;
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --remote) remotes+=("$2") ;;
    --forget) forget+=("$2") ;;
    --workers) workers=$2 ;;
    --run-dir) run_dir=$2 ;;
    --data-root) data_root=$2 ;;
    --backend) backend=$2 ;;
    *) die "unknown option $1" ;;
  esac
  shift 2
done

# Debian keeps nginx in /usr/sbin, which is not on every user's PATH.
find_nginx() {
  if [ -n "${MATTIVO_NGINX:-}" ]; then echo "$MATTIVO_NGINX"; return; fi
  command -v nginx 2>/dev/null || { [ -x /usr/sbin/nginx ] && echo /usr/sbin/nginx; } ||
    die "nginx is not installed (apt-get install nginx, or ./dev deps)"
}

# A killed node whose parent is gone can linger as a zombie where nobody
# reaps them (some containers): that is not running.
alive() {
  [ -s "$1" ] || return 1
  local state
  state=$(ps -o stat= -p "$(cat "$1")" 2>/dev/null) && [[ $state != Z* ]]
}

nginx_cmd() { "$(find_nginx)" -p "$run_dir" -e "$run_dir/logs/error.log" -c "$run_dir/nginx.conf" "$@"; }

start() {
  [[ $nodes =~ ^[0-9]+$ ]] || die "--nodes must be a number"
  [ -x "$backend" ] || die "no backend at $backend (./dev build)"
  mkdir -p "$run_dir/logs" "$data_root"
  chmod 700 "$run_dir"
  # The prefix is made once and kept: the URL artists pasted stays good.
  [ -s "$run_dir/prefix" ] || (umask 077 && echo "/k/$(openssl rand -hex 16)" >"$run_dir/prefix")
  prefix=$(cat "$run_dir/prefix")
  if [ -z "$cert" ]; then
    "$here/make-cert.sh" "$run_dir/tls" "$name" >/dev/null
    cert=$run_dir/tls/cert.pem key=$run_dir/tls/key.pem
  fi
  [ -n "$key" ] || die "--cert needs --key"

  local specs=() i
  for ((i = 1; i <= nodes; i++)); do
    local node=n$i port=$((base_port + i))
    specs+=(--node "$node=127.0.0.1:$port")
    if alive "$run_dir/$node.pid"; then continue; fi
    # A node that stopped or crashed takes its sessions back from its folder.
    nohup "$backend" --host 127.0.0.1 --port "$port" --node "$node" --prefix "$prefix" \
      --data-dir "$data_root/$node" --workers "$workers" "${extra[@]}" \
      >"$run_dir/logs/$node.out" 2>"$run_dir/logs/$node.log" </dev/null &
    echo $! >"$run_dir/$node.pid"
  done
  # Remote nodes given once stay in the team: a restart must not strand their sessions.
  local kept=() r f
  [ -s "$run_dir/remotes" ] && mapfile -t kept <"$run_dir/remotes"
  for r in "${remotes[@]}"; do
    kept=($(printf '%s\n' "${kept[@]}" | grep -v "^${r%%=*}=")) || true
    kept+=("$r")
  done
  for f in "${forget[@]}"; do
    kept=($(printf '%s\n' "${kept[@]}" | grep -v "^$f=")) || true
  done
  printf '%s\n' "${kept[@]}" | grep . >"$run_dir/remotes" || : >"$run_dir/remotes"
  for r in "${kept[@]}"; do specs+=(--node "$r"); done
  for ((i = 1; i <= nodes; i++)); do
    local t=0
    until grep -q "^listening on" "$run_dir/logs/n$i.out" 2>/dev/null; do
      alive "$run_dir/n$i.pid" || die "node n$i did not start: see $run_dir/logs/n$i.log"
      ((t++ < 300)) || die "node n$i did not start in 30 s: see $run_dir/logs/n$i.log"
      sleep 0.1
    done
  done

  # nginx must let through the largest frame the nodes take.
  local max_body=33m a
  for ((a = 0; a + 1 < ${#extra[@]}; a++)); do
    if [ "${extra[a]}" = --max-frame-bytes ]; then max_body=$(echo "${extra[a + 1]}" | sed "s/B$//" | tr KMG kmg); fi
  done
  "$here/render-nginx.sh" --run-dir "$run_dir" --listen "$listen" --prefix "$prefix" \
    --cert "$cert" --key "$key" --max-body "$max_body" "${specs[@]}" >/dev/null
  nginx_cmd -t -q || die "nginx refused the configuration in $run_dir/nginx.conf"
  if alive "$run_dir/nginx.pid"; then
    nginx_cmd -s reload
  else
    nginx_cmd
  fi
  local port=${listen##*:}
  echo "team URL: https://$name:$port$prefix"
  [ "$cert" != "$run_dir/tls/cert.pem" ] ||
    echo "certificate for the artists' machines to trust: $run_dir/tls/cert.pem"
}

stop() {
  if alive "$run_dir/nginx.pid"; then nginx_cmd -s quit; fi
  local pidfile
  for pidfile in "$run_dir"/n*.pid; do
    [ -e "$pidfile" ] || continue
    # SIGTERM: running jobs stop between frames and stay queued on disk.
    alive "$pidfile" && kill -TERM "$(cat "$pidfile")"
    rm -f "$pidfile"
  done
}

status() {
  local prefix port
  prefix=$(cat "$run_dir/prefix" 2>/dev/null) || die "no team in $run_dir"
  port=$(sed -n 's/^ *listen \([^ ]*\) ssl;/\1/p' "$run_dir/nginx.conf")
  port=${port##*:}
  alive "$run_dir/nginx.pid" && echo "nginx: running" || echo "nginx: stopped"
  for node in $(sed -n 's|.*/nodes/\([a-z0-9]*\)/healthz {|\1|p' "$run_dir/nginx.conf"); do
    printf '%s: ' "$node"
    # -k: this asks after the nodes, not the certificate, which may name another host.
    curl -sk --max-time 5 "https://127.0.0.1:$port$prefix/nodes/$node/healthz" ||
      printf 'not answering'
    echo
  done
}

case $cmd in
  start) start ;;
  stop) stop ;;
  status) status ;;
  *) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
