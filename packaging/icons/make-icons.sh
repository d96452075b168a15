#!/usr/bin/env bash
# Renders the program icon (src/gui/resources/icon.svg) into the PNG sizes of the hicolor theme.
# The PNGs are committed, so the build needs no converter; run again after changing the icon.
# Needs rsvg-convert (librsvg2-bin).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
svg="$here/../../src/gui/resources/icon.svg"
for size in 16 22 24 32 48 64 128 256; do
  dir="$here/hicolor/${size}x${size}/apps"
  mkdir -p "$dir"
  rsvg-convert -w "$size" -h "$size" "$svg" -o "$dir/org.quorin.Quorin.png"
done
mkdir -p "$here/hicolor/scalable/apps"
cp "$svg" "$here/hicolor/scalable/apps/org.quorin.Quorin.svg"
