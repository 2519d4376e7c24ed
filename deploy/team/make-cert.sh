#!/usr/bin/env bash
# A self-signed certificate for the team's nginx, for teams without one.
#   make-cert.sh DIR [NAME ...]
# Writes DIR/cert.pem and DIR/key.pem, valid for localhost, 127.0.0.1, this
# machine's name and each NAME (host names or IP addresses). An existing pair
# is kept, so the machines that already trust it go on doing so.
set -euo pipefail
dir=${1:?usage: make-cert.sh DIR [NAME ...]}
shift
if [ -s "$dir/cert.pem" ] && [ -s "$dir/key.pem" ]; then
  echo "$dir/cert.pem"
  exit 0
fi
mkdir -p "$dir"
chmod 700 "$dir"
names=(localhost "$(hostname)" "$@")
alt="IP:127.0.0.1"
for n in "${names[@]}"; do
  [ -n "$n" ] || continue
  if [[ $n =~ ^[0-9.]+$ || $n == *:* ]]; then alt+=",IP:$n"; else alt+=",DNS:$n"; fi
done
umask 077
# ECDSA P-256: its handshakes cost a fraction of RSA's, which counts when a
# whole team connects at once.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 -days 825 \
  -subj "/CN=${names[2]:-$(hostname)}/O=Corvane Mattivo team" \
  -addext "subjectAltName=$alt" \
  -keyout "$dir/key.pem.new" -out "$dir/cert.pem.new" 2>/dev/null
mv "$dir/key.pem.new" "$dir/key.pem"
mv "$dir/cert.pem.new" "$dir/cert.pem"
chmod 644 "$dir/cert.pem"
echo "$dir/cert.pem"
