#!/usr/bin/env bash
# Draws the key icons of the key dialogs (res/key_*.ico) with ImageMagick: a green key,
# an orange key (a key with a parameter file) and a green key in a circle. Each .ico
# holds 16, 20, 24, 32 and 48 pixel images, scaled down from one 64-pixel drawing, with
# binary transparency.
# Run it after changing the drawing; the .ico files are committed.
set -euo pipefail
out=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# key FILL DARK OUTPUT [circle]: the key as one shape, outlined in DARK.
key() {
  local fill=$1 dark=$2 png=$3 shape
  shape='circle 20,32 20,19 rectangle 30,28 58,36 rectangle 45,36 51,47 rectangle 53,36 58,44'
  convert -size 64x64 xc:none \
    -fill "$dark" -stroke "$dark" -strokewidth 5 -draw "$shape" \
    -fill "$fill" -stroke none -draw "$shape" \
    -fill "$dark" -draw "circle 20,32 20,25" \
    \( -size 64x64 xc:none -fill black -draw "circle 20,32 20,27" \) \
    -compose DstOut -composite \
    -compose Over -fill '#ffffff80' -stroke none -draw "rectangle 32,29 56,30" \
    "$png"
}

icon() {  # PNG ICO
  local sizes=() s
  for s in 16 20 24 32 48; do
    # Binary transparency: a list view with a masked image list draws every pixel that
    # is not fully transparent opaque, so soft edges would turn into dark specks.
    convert "$1" -filter Lanczos -resize ${s}x${s} -channel A -threshold 50% +channel \
      "$tmp/s$s.png"
    sizes+=("$tmp/s$s.png")
  done
  convert "${sizes[@]}" "$2"
}

key '#3cb44b' '#14581e' "$tmp/green.png"
key '#f5a02a' '#8a4a05' "$tmp/orange.png"

# The green key inside a ring: the ring first, the key scaled into it.
convert -size 64x64 xc:none \
  -fill '#e9f7ea' -stroke '#14581e' -strokewidth 4 -draw 'circle 32,32 32,3' \
  \( "$tmp/green.png" -resize 44x44 \) -gravity center -compose Over -composite \
  "$tmp/circle.png"

icon "$tmp/green.png" "$out/key_green.ico"
icon "$tmp/orange.png" "$out/key_orange.ico"
icon "$tmp/circle.png" "$out/key_green_circle.ico"
