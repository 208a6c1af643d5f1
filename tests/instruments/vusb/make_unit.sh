#!/usr/bin/env bash
# Makes the folder of one virtual unit (see README.md) from a firmware image: a unit in its
# bootloader whose flash holds the image with another revision in its firmware information
# block, and whose OTP area holds one product record.
#
#   make_unit.sh [options] <unit folder>
#     --revision TEXT   revision written into the flash image's block (default 2.3.0)
#     --type HEX        product type of the OTP record and of the image's block (default: the
#                       image's own type)
#     --serial TEXT     the unit's serial number (default 3276375B3333); \xNN is the byte NN
#     --image FILE      the image (default software/resources/firmware.bin)
#     --knob KEY=VALUE  a further config line, for example --knob after_leave=gone
#
# The folder's parent is the bus: KELVORA_VUSB_DIR=<parent>. An existing unit folder is
# replaced whole.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
revision=2.3.0
type=""
serial=3276375B3333
image=$here/../../../software/resources/firmware.bin
knobs=()

usage() {
  sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case $1 in
    --revision) revision=${2?}; shift 2 ;;
    --type) type=${2?}; shift 2 ;;
    --serial) serial=${2?}; shift 2 ;;
    --image) image=${2?}; shift 2 ;;
    --knob) knobs+=("${2?}"); shift 2 ;;
    -h|--help) usage ;;
    -*) echo "make_unit.sh: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || usage
folder=$1

[[ $serial =~ ^[[:graph:]]*$ && $serial != *"#"* ]] || { echo "make_unit.sh: write blanks, \"#\" and control bytes of the serial as \\xNN" >&2; exit 2; }
[ ${#revision} -le 31 ] || { echo "make_unit.sh: the revision has at most 31 bytes" >&2; exit 2; }
[ -r "$image" ] || { echo "make_unit.sh: cannot read $image" >&2; exit 2; }
if [ -n "$type" ]; then
  [[ $type =~ ^(0x)?[0-9A-Fa-f]{1,2}$ ]] || { echo "make_unit.sh: --type takes one hex byte" >&2; exit 2; }
  type=${type#0x}
fi

# The firmware information block begins with the marker 12 47 23 01; the type byte follows
# it, the 32-byte name and the 32-byte revision come after the three extra bytes.
block=$(grep -obUaP '\x12\x47\x23\x01' "$image" | head -n 1 | cut -d: -f1 || true)
[ -n "$block" ] || { echo "make_unit.sh: no firmware information block in $image" >&2; exit 1; }
[ "$block" -lt 2048 ] || { echo "make_unit.sh: the block lies beyond the first 2048 bytes" >&2; exit 1; }
if [ -z "$type" ]; then
  type=$(od -An -tx1 -j $((block + 4)) -N1 "$image" | tr -d ' \n')
fi

# Write next to the folder, then put it in place, so that a running tool never sees half a unit.
parent=$(dirname "$folder")
mkdir -p "$parent"
staging=$(mktemp -d "$parent/.make_unit.XXXXXX")
chmod 755 "$staging"
trap 'rm -rf "$staging"' EXIT

put() { # bytes (backslash escapes such as \x12) at offset into file
  printf '%b' "$1" | dd of="$3" bs=1 seek="$2" conv=notrunc status=none
}

cp "$image" "$staging/flash.bin"
chmod u+w "$staging/flash.bin"
put "\\x$type" $((block + 4)) "$staging/flash.bin"
head -c 32 /dev/zero | dd of="$staging/flash.bin" bs=1 seek=$((block + 40)) conv=notrunc status=none
printf '%s' "$revision" | dd of="$staging/flash.bin" bs=1 seek=$((block + 40)) conv=notrunc status=none

# OTP: one record in slot 0 (marker 11 47 23 01, type, three unused extra bytes, eight data
# bytes), the rest of the 512 bytes and the 16 lock bytes erased.
head -c 528 /dev/zero | tr '\0' '\377' >"$staging/otp.bin"
put "\\x11\\x47\\x23\\x01\\x$type\\xff\\xff\\xff\\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07" 0 "$staging/otp.bin"

{
  echo "serial=$serial"
  for knob in ${knobs[@]+"${knobs[@]}"}; do echo "$knob"; done
} >"$staging/config"

rm -rf "$folder"
mv "$staging" "$folder"
trap - EXIT
echo "Unit $serial (type 0x$type, revision $revision) in $folder"
