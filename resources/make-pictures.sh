#!/usr/bin/env bash
# Renders our own drawings to the images the program compiles in: the author
# picture (a JPEG, by rsvg-convert and ImageMagick) and the hand cursor over
# the About box's mail link (32 x 32 PNG, hot spot 5, 0). The results are
# committed, so the build needs neither tool; run this only to change a drawing.
set -euo pipefail
cd "$(dirname "$0")"
mkdir -p images

rsvg-convert -w 178 -h 194 authpic.svg -o "/tmp/wren-authpic-$$.png"
convert "/tmp/wren-authpic-$$.png" -background white -flatten -strip -quality 88 images/authpic.jpg
rm -f "/tmp/wren-authpic-$$.png"

rsvg-convert -w 32 -h 32 linkhand.svg -o images/linkhand.png
