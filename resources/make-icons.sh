#!/usr/bin/env bash
# Renders the scalable icon (rsvg-convert, from librsvg2-bin) to the PNG sizes desktops ask for. The PNGs are committed.
set -euo pipefail
cd "$(dirname "$0")"
for s in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$s" -h "$s" wrenkeyer.svg -o "icons/wrenkeyer-${s}.png"
done
