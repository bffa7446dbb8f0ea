#!/usr/bin/env bash
# Renders the program's artwork from its SVG sources (src/resources/artwork) into OUT_DIR; the build runs
# it (src/resources/artwork.cmake), nothing rendered is kept in the repository.
#   OUT_DIR/icons/corvane.ico         program icon (protection on): 16, 32, 48, 128 pixels
#   OUT_DIR/icons/protection_off.ico  protection off: 16 and 32 pixels, 16 colours
#   OUT_DIR/icons/<name>.ico          the command buttons' pictures (options, update, help, tray, exit):
#                                     24 pixels, and 48 for screens at twice the density
#   OUT_DIR/hicolor/<n>x<n>/apps/corvane.png and hicolor/scalable/apps/corvane.svg  for the desktop menu
# Tools: rsvg-convert (Debian librsvg2-bin) draws, ImageMagick's convert packs the .ico files.
set -euo pipefail
src=$(cd "$(dirname "$0")/../src/resources/artwork" && pwd)
out=${1:?usage: make_icons.sh OUT_DIR}
mkdir -p "$out/icons"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

render() { # svg size png
  rsvg-convert --width "$2" --height "$2" --keep-aspect-ratio --format png --output "$3" "$1"
}

pngs=()
for s in 16 32 48 128; do
  render "$src/corvane.svg" "$s" "$tmp/corvane-$s.png"
  pngs+=("$tmp/corvane-$s.png")
  mkdir -p "$out/hicolor/${s}x${s}/apps"
  cp "$tmp/corvane-$s.png" "$out/hicolor/${s}x${s}/apps/corvane.png"
done
mkdir -p "$out/hicolor/scalable/apps"
cp "$src/corvane.svg" "$out/hicolor/scalable/apps/corvane.svg"
convert "${pngs[@]}" "$out/icons/corvane.ico"

render "$src/protection_off.svg" 16 "$tmp/off-16.png"
render "$src/protection_off.svg" 32 "$tmp/off-32.png"
# A 16-colour icon has no partial transparency: each pixel is drawn or not (its mask).
convert "$tmp/off-16.png" "$tmp/off-32.png" -channel A -threshold 50% +channel -colors 16 \
  "$out/icons/protection_off.ico"

for name in options update help tray exit; do
  render "$src/$name.svg" 24 "$tmp/$name-24.png"
  render "$src/$name.svg" 48 "$tmp/$name-48.png"
  convert "$tmp/$name-24.png" "$tmp/$name-48.png" "$out/icons/$name.ico"
done
