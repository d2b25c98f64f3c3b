#!/bin/sh
# Draws the program's icon (256 x 256 PNG): the splash picture's kestrel over its rising price
# line on the same dusk sky, without the name, in a rounded square. Drawn at four times the
# splash's scale and shrunk, so the edges are smooth. Run again after changing it and commit
# assets/kestrel.png; the build installs that file and does not need ImageMagick.
set -eu
out=${1:-"$(dirname "$0")/../assets/kestrel.png"}
convert -size 724x724 gradient:'#1b2a4a-#e8a54b' \
  \( -size 724x724 xc:none -fill white -draw "roundrectangle 0,0 723,723 96,96" \) \
  -compose DstIn -composite -compose Over \
  -draw "scale 4,4 stroke '#2f3f5f' stroke-width 1 line 10,150 171,150 line 10,120 171,120 line 10,90 171,90" \
  -draw "scale 4,4 stroke '#f4f4f4' stroke-width 6 stroke-linecap round stroke-linejoin round fill none
         polyline 12,166 30,160 46,164 64,146 80,152 98,126 114,132 132,100 150,108 166,76" \
  -draw "scale 4,4 fill '#ff3b30' circle 166,76 173,76" \
  -draw "scale 4,4 fill '#2b1a10' polygon 90,36 74,28 52,22 30,26 48,32 66,40 78,48 70,54 62,66 78,58 88,52 94,60 100,56 98,48 110,44 126,40 148,30 160,24 138,26 112,34 100,38 96,30" \
  -draw "scale 4,4 fill '#f0c040' polygon 96,30 100,28 98,33" \
  -resize 256x256 -strip "PNG32:$out"
echo "wrote $out"
