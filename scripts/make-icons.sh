#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the program's icon, dist/icons/com.corvane.qmere.svg, into the PNG sizes of the
# hicolor theme beside it (dist/icons/NxN/). Needs rsvg-convert (Debian: librsvg2-bin). Run it
# again after changing the drawing and commit the results; the build only copies them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
svg=$here/dist/icons/com.corvane.qmere.svg
command -v rsvg-convert >/dev/null || { echo "make-icons: needs rsvg-convert (librsvg2-bin)" >&2; exit 1; }
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "$here/dist/icons/${size}x${size}"
    rsvg-convert -w "$size" -h "$size" "$svg" -o "$here/dist/icons/${size}x${size}/com.corvane.qmere.png"
done
