#!/usr/bin/env bash
# Draws the program's icon (a small boat under a house roof on a blue tile) at 16, 32
# and 48 pixels with ImageMagick and packs the three into skiffhouse.ico beside this
# script. The .ico is committed; run this again only to change the drawing.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Drawn once at 48 px on a 48-unit grid, then scaled down with a sharp filter.
convert -size 48x48 xc:none \
  -fill '#1f5fa8' -draw 'roundrectangle 1,1 46,46 8,8' \
  -fill '#f4f1e8' -draw 'polygon 8,24 24,9 40,24' \
  -fill '#f4f1e8' -draw 'rectangle 13,24 35,30' \
  -fill '#c8452d' -draw 'rectangle 21,22 27,30' \
  -fill '#7a4a22' -draw 'polygon 5,32 43,32 37,40 11,40' \
  -fill '#9fd0f0' -draw 'rectangle 5,42 43,43' \
  "$work/icon-48.png"
convert "$work/icon-48.png" -filter Box -resize 32x32 "$work/icon-32.png"
convert "$work/icon-48.png" -filter Triangle -resize 16x16 "$work/icon-16.png"
convert "$work/icon-16.png" "$work/icon-32.png" "$work/icon-48.png" skiffhouse.ico
identify skiffhouse.ico
