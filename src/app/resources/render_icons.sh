#!/usr/bin/env bash
# Renders the application icon from ql480tx-upgrade.svg into the PNG sizes the
# program embeds (16 to 128 px). Run again after changing the SVG; the PNGs
# are kept in the repository, so building needs no SVG renderer.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 96 128; do
  rsvg-convert --width "$size" --height "$size" --format png \
    --output "ql480tx-upgrade-$size.png" ql480tx-upgrade.svg
done
