#!/usr/bin/env bash
# The main job: make a sample clip with known alpha, pull its matte through the
# plug-in in our headless host against a private local backend, write the RGBA
# frames, mattes and a contact sheet, and score the mattes against the truth.
# Usage: tools/main_job.sh [OUT_DIR]   (after ./dev build; ./dev run does both)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=${1:-mattivo-demo}
frames=${MATTIVO_DEMO_FRAMES:-48}
width=${MATTIVO_DEMO_WIDTH:-960}
height=${MATTIVO_DEMO_HEIGHT:-540}
quality=${MATTIVO_DEMO_QUALITY:-fine}

for tool in bin/mattivo backend/mattivo-backend backend/mattivo-clipgen backend/mattivo-eval; do
  [ -x "$build/$tool" ] || { echo "missing $build/$tool: run ./dev build first" >&2; exit 1; }
done

mkdir -p "$out"
clip="$out/sample-clip"
rm -rf "$clip"
mkdir -p "$clip"
echo "== making a ${width}x${height} sample clip of $frames frames with known alpha"
"$build/backend/mattivo-clipgen" --out "$clip" --scenario mixed --frames "$frames" \
  --width "$width" --height "$height" --seed 7

# The generator names the anchor frame and a box around the character on it.
json=$(cat "$clip/clip.json")
num() { sed -E "s/.*\"$1\":(-?[0-9.eE+-]+).*/\1/" <<<"$json"; }
anchor=$(num anchor_frame)
bbox=$(sed -E 's/.*"bbox":\{([^}]*)\}.*/\1/' <<<"$json")
field() { sed -E "s/.*\"$1\":(-?[0-9.eE+-]+).*/\1/" <<<"$bbox"; }
box="$(field x),$(field y),$(field w),$(field h)"

echo "== pulling the matte through the plug-in (anchor frame $anchor, box $box, quality $quality)"
"$build/bin/mattivo" pull --input "$clip/frames" --anchor "$anchor" --box "$box" \
  --quality "$quality" --fps 24 --out "$out"

echo "== scores against the ground truth"
"$build/backend/mattivo-eval" --pred "$out/matte" --truth "$clip/alpha"
echo
echo "Results in $(cd "$out" && pwd):"
echo "  rgba/              premultiplied RGBA frames (PNG)"
echo "  matte/             grey mattes (PNG)"
echo "  contact_sheet.png  frames over a checkerboard, to look at"
echo "  sample-clip/       the input clip and its true alpha"
