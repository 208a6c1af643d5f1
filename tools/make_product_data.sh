#!/usr/bin/env bash
# Makes the product data that the tool carries, reproducibly, into software/resources:
# the sample firmware image, the background picture and the fonts with their licence.
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

cp /usr/share/fonts/opentype/cantarell/Cantarell-Regular.otf "$out/KelvoraSans-Regular.otf"
cp /usr/share/fonts/opentype/cantarell/Cantarell-Bold.otf "$out/KelvoraSans-Bold.otf"
cp /usr/share/doc/fonts-cantarell/copyright "$out/FONTS-LICENSE.txt"
