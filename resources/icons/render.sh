#!/usr/bin/env bash
# Renders the 32x32 PNGs from the SVG drawings beside them (ImageMagick).
set -euo pipefail
cd "$(dirname "$0")"
for f in *.svg; do convert -background none "$f" -depth 8 "${f%.svg}.png"; done
