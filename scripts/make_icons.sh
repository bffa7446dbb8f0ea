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

# The command buttons' pictures, 32 x 32 icons shown at 24 pixels.
glyph() { # $1 name, $2 colour, $3.. draw primitives
  local name=$1 colour=$2; shift 2
  convert -size 32x32 xc:none -fill none -stroke "$colour" -strokewidth 3 "$@" "$tmp/$name.png"
  convert "$tmp/$name.png" "$out/$name.ico"
}
glyph options '#2b5797' -draw "circle 16,16 16,8" -draw "line 16,1 16,6" -draw "line 16,26 16,31" \
  -draw "line 1,16 6,16" -draw "line 26,16 31,16" -draw "line 5,5 9,9" -draw "line 23,23 27,27" \
  -draw "line 5,27 9,23" -draw "line 23,9 27,5"
glyph update '#1f9d3a' -draw "arc 5,5 27,27 200,520" -strokewidth 1 -fill '#1f9d3a' -draw "polygon 20,2 28,9 19,12"
glyph help '#2b5797' -draw "circle 16,16 16,2" -fill '#2b5797' -stroke none -pointsize 20 -gravity center -annotate +0+1 '?'
glyph exit '#c02020' -draw "line 8,8 24,24" -draw "line 24,8 8,24"
glyph tray '#555555' -draw "rectangle 3,6 29,26" -fill '#555555' -draw "rectangle 18,19 26,23"
