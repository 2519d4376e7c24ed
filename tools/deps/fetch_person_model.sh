#!/usr/bin/env bash
# Fetches the person segmentation model (weights only) into the build tree:
# a pinned npm tarball, checked by sha256, unpacked with tar, never installed.
# Usage: tools/deps/fetch_person_model.sh DEST_DIR   (e.g. build/models)
# Leaves DEST_DIR/selfie_segmentation/{*.tflite,package.json,LICENSE.txt}.
set -euo pipefail

readonly package="@mediapipe/selfie_segmentation"
readonly version="0.1.1675465747"
readonly tarball="mediapipe-selfie_segmentation-${version}.tgz"
readonly sha256="7767b33eaa68990ee06c28bbb89f39a13a47ebb07ff0f1fd4947d9e817bb9bf9"
readonly expected_licence="Apache-2.0"

[ $# -eq 1 ] && [ -n "$1" ] || { echo "usage: $0 DEST_DIR" >&2; exit 2; }
dest=$1
out="$dest/selfie_segmentation"
stamp="$out/.fetched-$version"

checksum_ok() { [ -f "$1" ] && [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$sha256" ]; }

# The stamp holds the tarball's checksum; the models must still be there too.
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sha256" ] && [ -f "$out/selfie_segmentation.tflite" ]; then
  echo "person model $version already in $out (licence: $(cat "$out/LICENCE-ID"))"
  exit 0
fi

mkdir -p "$dest"
work=$(mktemp -d "$dest/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT

if checksum_ok "$dest/$tarball"; then
  cp "$dest/$tarball" "$work/"
else
  # npm pack only downloads the tarball: no scripts run, nothing is installed.
  (cd "$work" && npm pack --silent --ignore-scripts "$package@$version" >/dev/null)
fi
if ! checksum_ok "$work/$tarball"; then
  echo "refusing $tarball: sha256 is $(sha256sum "$work/$tarball" | cut -d' ' -f1), expected $sha256" >&2
  exit 1
fi

mkdir "$work/x"
tar -xzf "$work/$tarball" -C "$work/x" --no-same-owner --no-same-permissions
pkg="$work/x/package"

# We never run its scripts, but a package that wants install hooks is not what
# we pinned; stop rather than guess why.
if grep -Eq '"(preinstall|install|postinstall|prepare)"[[:space:]]*:' "$pkg/package.json"; then
  echo "refusing $tarball: package.json declares install scripts" >&2
  exit 1
fi

licence=$(sed -nE 's/^[[:space:]]*"license"[[:space:]]*:[[:space:]]*"([^"]+)".*/\1/p' "$pkg/package.json")
if [ "$licence" != "$expected_licence" ]; then
  echo "refusing $tarball: licence is '${licence:-none}', expected $expected_licence" >&2
  exit 1
fi

rm -rf "$out"
mkdir -p "$out"
cp "$pkg"/*.tflite "$pkg/package.json" "$out/"
# The package ships no LICENSE file; its licence is the package.json field.
for f in LICENSE LICENSE.txt LICENSE.md LICENCE; do
  [ -f "$pkg/$f" ] && cp "$pkg/$f" "$out/LICENSE.txt"
done
[ -f "$out/LICENSE.txt" ] || printf '%s %s: licence "%s" (declared in package.json; the package has no LICENSE file)\n' \
  "$package" "$version" "$licence" >"$out/LICENSE.txt"
echo "$licence" >"$out/LICENCE-ID"
chmod 0644 "$out"/*  # data, whatever modes the tarball carried
cp "$work/$tarball" "$dest/$tarball"
echo "$sha256" >"$stamp"
echo "person model $version fetched into $out"
echo "licence: $licence"
ls -l "$out"/*.tflite
