#!/usr/bin/env bash
# Writes the team's nginx configuration into a run folder.
#   render-nginx.sh --run-dir DIR --listen [ADDR:]PORT --prefix /k/TOKEN \
#       --cert FILE --key FILE --node NAME=HOST:PORT [--node NAME=HOST:PORT ...] \
#       [--max-body 33m]
# The first --node also holds the sessions made before nodes had names.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

run_dir="" listen="" prefix="" cert="" key="" max_body=33m
nodes=()
die() { echo "render-nginx.sh: $*" >&2; exit 2; }
while (($#)); do
  (($# >= 2)) || die "$1 needs a value"
  case $1 in
    --run-dir) run_dir=$2 ;;
    --listen) listen=$2 ;;
    --prefix) prefix=$2 ;;
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --node) nodes+=("$2") ;;
    --max-body) max_body=$2 ;;
    *) die "unknown option $1" ;;
  esac
  shift 2
done
[ -n "$run_dir" ] && [ -n "$listen" ] && [ -n "$cert" ] && [ -n "$key" ] || die "--run-dir, --listen, --cert and --key are needed"
((${#nodes[@]})) || die "at least one --node NAME=HOST:PORT is needed"
# The same shape the backend takes for --prefix; nginx needs it non-empty.
[[ $prefix =~ ^(/[A-Za-z0-9_~-][A-Za-z0-9._~-]*)+$ && $prefix != */. && $prefix != */.. && $prefix != */./* && $prefix != */../* ]] ||
  die "the prefix must look like /k/<token>"

mkdir -p "$run_dir/logs" "$run_dir/tmp"
run_dir=$(cd "$run_dir" && pwd)
abs() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
cert=$(abs "$cert") key=$(abs "$key")

# "." is the only character of a prefix a regular expression reads otherwise.
prefix_re=${prefix//./[.]}
node_map="" node_upstreams="" any_servers="" node_health="" seen=" "
first=""
addr_re='^[][A-Za-z0-9.:_-]+:[0-9]+$'
for spec in "${nodes[@]}"; do
  name=${spec%%=*} addr=${spec#*=}
  [[ $name =~ ^[a-z0-9]{1,16}$ ]] || die "node names are 1 to 16 of a-z and 0-9: $name"
  [[ $addr =~ $addr_re && $spec == *=* ]] || die "a node is NAME=HOST:PORT: $spec"
  [[ $seen == *" $name "* ]] && die "node $name given twice"
  seen+="$name "
  [ -n "$first" ] || first=$name
  node_map+="    \"~^${prefix_re}/api/matte/sessions/${name}-[0-9a-f]{32}(/|\$)\" ${name};"$'\n'
  node_upstreams+="  upstream mattivo_${name} {"$'\n'"    zone mattivo_${name} 64k;"$'\n'"    server ${addr};"$'\n'"    keepalive 16;"$'\n'"    keepalive_timeout 20s;"$'\n'"  }"$'\n'
  any_servers+="    server ${addr} max_fails=0;"$'\n'
  node_health+="    location = ${prefix}/nodes/${name}/healthz {"$'\n'"      proxy_pass http://mattivo_${name}${prefix}/healthz;"$'\n'"    }"$'\n'
done
node_map+="    \"~^${prefix_re}/api/matte/sessions/[0-9a-f]{32}(/|\$)\" ${first};"

# Started as root (a container, a CI job), nginx would hand its workers to
# "nobody", who cannot use the run folder: they run as its owner instead.
user_line=""
if [ "$(id -u)" = 0 ]; then
  user_line="user $(stat -c %U "$run_dir") $(stat -c %G "$run_dir");"
fi

export RUN_DIR=$run_dir LISTEN=$listen PREFIX=$prefix CERT=$cert KEY=$key MAX_BODY=$max_body USER_LINE=$user_line \
  NODE_MAP=$node_map NODE_UPSTREAMS=${node_upstreams%$'\n'} ANY_SERVERS=${any_servers%$'\n'} NODE_HEALTH=${node_health%$'\n'}
awk '
  $1 == "@NODE_MAP@" { print ENVIRON["NODE_MAP"]; next }
  $1 == "@NODE_UPSTREAMS@" { print ENVIRON["NODE_UPSTREAMS"]; next }
  $1 == "@ANY_SERVERS@" { print ENVIRON["ANY_SERVERS"]; next }
  $1 == "@NODE_HEALTH@" { print ENVIRON["NODE_HEALTH"]; next }
  $1 == "@USER@" { print ENVIRON["USER_LINE"]; next }
  {
    n = split("RUN_DIR LISTEN PREFIX CERT KEY MAX_BODY", keys, " ")
    for (i = 1; i <= n; i++) {
      k = "@" keys[i] "@"
      while ((at = index($0, k)) > 0) $0 = substr($0, 1, at - 1) ENVIRON[keys[i]] substr($0, at + length(k))
    }
    print
  }
' "$here/nginx.conf.in" >"$run_dir/nginx.conf.new"
mv "$run_dir/nginx.conf.new" "$run_dir/nginx.conf"
echo "$run_dir/nginx.conf"
