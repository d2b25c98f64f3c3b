#!/bin/sh
# Draws the splash picture (181 x 205): a kestrel hovering over a rising price line on a dusk
# sky, the program's name below. Run again after changing it and commit assets/splash.jpg;
# the build compiles that file in and does not need ImageMagick.
set -eu
out=${1:-"$(dirname "$0")/../assets/splash.jpg"}
convert -size 181x205 gradient:'#1b2a4a-#e8a54b' \
  -stroke '#2f3f5f' -strokewidth 1 \
  -draw "line 10,150 171,150" -draw "line 10,120 171,120" -draw "line 10,90 171,90" \
  -stroke '#f4f4f4' -strokewidth 3 -fill none \
  -draw "line 8,168 30,160" -draw "line 30,160 46,164" -draw "line 46,164 64,146" -draw "line 64,146 80,152" -draw "line 80,152 98,126" -draw "line 98,126 114,132" -draw "line 114,132 132,100" -draw "line 132,100 150,108" -draw "line 150,108 172,70" \
  -stroke none -fill '#ff3b30' -draw "circle 172,70 176,70" \
  -fill '#2b1a10' \
  -draw "polygon 90,36 74,28 52,22 30,26 48,32 66,40 78,48 70,54 62,66 78,58 88,52 94,60 100,56 98,48 110,44 126,40 148,30 160,24 138,26 112,34 100,38 96,30" \
  -fill '#f0c040' -draw "polygon 96,30 100,28 98,33" \
  -fill '#ffffff' -font DejaVu-Sans-Bold -pointsize 22 -gravity south \
  -annotate +0+10 'KESTREL' \
  -quality 90 -sampling-factor 2x2 -strip "$out"
echo "wrote $out"
