#!/usr/bin/env bash
# Draws the About dialog's picture (a kestrel on a shield beside the product name) into
# resources/qt/about_picture.png. The PNG is committed; rerun this after changing it.
# Needs ImageMagick and the DejaVu fonts (both in scripts/setup.sh's list).
set -euo pipefail
cd "$(dirname "$0")/.."

out=resources/qt/about_picture.png
# Twice the size the dialog shows it at, so it stays sharp on high-density screens.
convert -size 568x176 -define gradient:direction=east gradient:'#0f2a44-#1f6f78' \
  -fill '#e8b04a' -stroke white -strokewidth 5 \
  -draw "path 'M 38,20 L 138,20 L 138,90 Q 138,138 88,162 Q 38,138 38,90 Z'" \
  -fill '#0f2a44' -stroke none \
  -draw "path 'M 50,70 Q 70,56 84,78 L 88,72 L 92,78 Q 106,56 126,70 Q 108,70 96,92 L 98,112 L 88,132 L 78,112 L 80,92 Q 68,70 50,70 Z'" \
  -fill '#e8b04a' -draw "circle 86,79 86,77" \
  -fill white -font DejaVu-Sans-Bold -pointsize 58 -draw "text 168,100 'Kestrune'" \
  -fill '#e8b04a' -draw "rectangle 170,114 530,117" \
  -fill '#cfe3ea' -font DejaVu-Sans -pointsize 24 -draw "text 172,150 'Brimtal Software'" \
  -strip "PNG32:$out"
echo "wrote $out"
