#!/usr/bin/env bash
# Draws the program's two icons (protection on: the program icon; protection off) with ImageMagick.
# The results are committed under src/resources/icons; run again only to change the artwork.
set -euo pipefail
out=$(cd "$(dirname "$0")/../src/resources/icons" && pwd)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
shield() { # $1 file, $2 fill, $3 rim, $4 mark colour, $5 mark (check|bar)
  local mark
  if [ "$5" = check ]; then mark="stroke $4 stroke-width 14 fill none polyline 38,66 56,84 92,44"
  else mark="stroke $4 stroke-width 14 fill none line 40,64 88,64"; fi
  convert -size 128x128 xc:none \
    -fill "$2" -stroke "$3" -strokewidth 6 \
    -draw "path 'M 64,8 L 112,24 L 112,60 C 112,92 90,110 64,122 C 38,110 16,92 16,60 L 16,24 Z'" \
    -draw "$mark" "$1"
}
shield "$tmp/on.png" '#1f9d3a' '#0d5c20' white check
shield "$tmp/off.png" '#c02020' '#6b0f0f' white bar
for s in 16 32 48 128; do convert "$tmp/on.png" -resize ${s}x${s} "$tmp/on-$s.png"; done
for s in 16 32; do convert "$tmp/off.png" -resize ${s}x${s} "$tmp/off-$s.png"; done
convert "$tmp"/on-16.png "$tmp"/on-32.png "$tmp"/on-48.png "$tmp"/on-128.png "$out/corvane.ico"
convert "$tmp"/off-16.png "$tmp"/off-32.png -colors 16 "$out/protection_off.ico"
cp "$tmp/on-128.png" "$out/corvane.png"
