#!/usr/bin/env bash
# Makes the Windows program's icon and About picture from the pictures the Qt program
# uses, so both look alike:
#   resources/qt/kestrune.svg       -> resources/win32/kestrune.ico (icon 113)
#   resources/qt/about_picture.png  -> resources/win32/about.bmp    (bitmap 112)
# Both outputs are committed; rerun this after changing either source. Needs ImageMagick
# only: its build here reads no SVG, so the shield's three paths are taken from the SVG
# and drawn with ImageMagick's own SVG-syntax path primitive.
set -euo pipefail
cd "$(dirname "$0")/.."

svg=resources/qt/kestrune.svg
png=resources/qt/about_picture.png
out=resources/win32
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The d attribute of the path with the given fill.
path_with_fill() {
    tr '\n' ' ' <"$svg" | grep -o "<path d=\"[^\"]*\" *fill=\"$1\"" |
        sed 's/<path d="\([^"]*\)".*/\1/'
}
rim=$(path_with_fill '#c8642a')
shield=$(path_with_fill '#1f4e79')
check=$(path_with_fill none)
if [ -z "$rim" ] || [ -z "$shield" ] || [ -z "$check" ]; then
    echo "draw_win32_resources: $svg no longer has the rim, shield and check paths" >&2
    exit 1
fi

# The SVG's 64-unit canvas drawn at 256 px, then every size Windows asks for: 16 and 20
# (small icons at 100 and 125 %), 24, 32 (large icons), 40, 48, 64 and 256.
convert -size 256x256 xc:none \
    -draw "scale 4,4 fill '#c8642a' path '$rim'" \
    -draw "scale 4,4 fill '#1f4e79' path '$shield'" \
    -draw "scale 4,4 fill none stroke white stroke-width 6.5 stroke-linecap round stroke-linejoin round path '$check'" \
    "PNG32:$tmp/256.png"
sizes=(16 20 24 32 40 48 64)
frames=()
for s in "${sizes[@]}"; do
    convert "$tmp/256.png" -resize "${s}x${s}" "PNG32:$tmp/$s.png"
    frames+=("$tmp/$s.png")
done
convert "${frames[@]}" "$tmp/256.png" "$out/kestrune.ico"

# The About picture at the size the dialog shows it (189 x 54 dialog units of an
# 8-point dialog font: 284 x 88 pixels), 24-bit, as the picture static expects.
convert "$png" -background white -flatten -resize '284x88!' -type TrueColor "BMP3:$out/about.bmp"
echo "wrote $out/kestrune.ico and $out/about.bmp"
