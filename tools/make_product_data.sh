#!/usr/bin/env bash
# Makes the product data that the tool carries, reproducibly, into software/resources:
# the sample firmware image, the background picture and the fonts with their licence;
# and the application icon that the package installs, into packaging/icons.
# settings_GUI.json is written by hand and kept as it is.
# Needs: python3, imagemagick, fonts-cantarell.
set -euo pipefail
out="$(cd "$(dirname "$0")/../software/resources" && pwd)"

python3 "$(dirname "$0")/make_firmware_image.py" "$out/firmware.bin"

# Dark where the light-grey labels sit, a light band at the bottom for the black status line.
convert -size 1024x706 gradient:'#26323f'-'#0e141b' \
        \( -size 1024x4 xc:'#5a6b7c' \) \
        \( -size 1024x86 gradient:'#eef1f4'-'#d9dee3' \) -append \
        -strip -quality 92 "$out/background.jpg"
# The same picture drawn at twice the pixels, for screens with a device pixel ratio of 2.
convert -size 2048x1412 gradient:'#26323f'-'#0e141b' \
        \( -size 2048x8 xc:'#5a6b7c' \) \
        \( -size 2048x172 gradient:'#eef1f4'-'#d9dee3' \) -append \
        -strip -quality 92 "$out/background@2x.jpg"

cp /usr/share/fonts/opentype/cantarell/Cantarell-Regular.otf "$out/KelvoraSans-Regular.otf"
cp /usr/share/fonts/opentype/cantarell/Cantarell-Bold.otf "$out/KelvoraSans-Bold.otf"
cp /usr/share/doc/fonts-cantarell/copyright "$out/FONTS-LICENSE.txt"
# Which release the fonts came from, for the package's copyright file.
dpkg-query -W -f='${Package} ${Version} ${source:Package} ${source:Version}\n' fonts-cantarell \
    >"$out/FONTS-SOURCE.txt"

# The application icon: the background picture in a rounded square (its dark gradient, the
# light band at the bottom) with an upward arrow in the band's colour. The scalable icon
# draws the same shapes with colours read from the picture; the PNG sizes of the icon theme
# are drawn from the picture itself at 1024 pixels and scaled down.
icons="$(cd "$(dirname "$0")/.." && pwd)/packaging/icons"
mkdir -p "$icons"
pixel() { convert "$out/background.jpg" -format "#%[hex:p{10,$1}]" info:; }
top=$(pixel 5)
bottom=$(pixel 700)
band=$(pixel 760)
# In a 256 x 256 view: the square from 16 to 240 with corner radius 40; the band begins where
# the picture's band begins (710 of 796 rows); the arrow points up from its base at 176.
band_y=$((16 + 224 * 710 / 796))
arrow="128,44 196,116 156,116 156,176 100,176 100,116 60,116"
cat >"$icons/kelvora-upgrade.svg" <<SVG
<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <defs>
    <linearGradient id="dark" x1="0" y1="16" x2="0" y2="$band_y" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="$top"/>
      <stop offset="1" stop-color="$bottom"/>
    </linearGradient>
    <clipPath id="square"><rect x="16" y="16" width="224" height="224" rx="40" ry="40"/></clipPath>
  </defs>
  <g clip-path="url(#square)">
    <rect x="16" y="16" width="224" height="224" fill="url(#dark)"/>
    <rect x="16" y="$band_y" width="224" height="$((240 - band_y))" fill="$band"/>
  </g>
  <polygon points="$arrow" fill="$band"/>
</svg>
SVG

scaled_arrow=$(for p in $arrow; do printf '%d,%d ' $((${p%,*} * 4)) $((${p#*,} * 4)); done)
big=$(mktemp --suffix=.png)
trap 'rm -f "$big"' EXIT
convert "$out/background.jpg" -resize '896x896!' \
        \( -size 896x896 xc:none -fill white -draw 'roundrectangle 0,0 895,895 160,160' \) \
        -alpha set -compose DstIn -composite \
        -background none -compose Over -gravity center -extent 1024x1024 \
        -fill "$band" -draw "polygon $scaled_arrow" "$big"
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "$icons/${size}x${size}"
    convert "$big" -filter Lanczos -resize "${size}x${size}" -strip \
            -define png:exclude-chunks=date,time "$icons/${size}x${size}/kelvora-upgrade.png"
done
