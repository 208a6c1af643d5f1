#!/usr/bin/env bash
#
# dfu-util_simulator.sh - stands in for dfu-util so that the Kelvora Firmware Upgrade Tool
# (option -s) and its tests can run the whole upgrade flow without a unit.
#
# Invocation (the tool starts it directly, one process per command):
#
#   dfu-util_simulator.sh --dfu-util-command NAME [--fast-progress] ARGS...
#
#   NAME                   ARGS as the tool passes them           what happens
#   version                -V                                     banner, exit 0
#   list                   -d 0483 -l                             banner, then 4 lines per unit
#   upload_OTP             -d 0483 -a 2 -s 0x1FFF7800:512 -U F    OTP area (512 bytes) into F
#   upload_FW              -d 0483 -a 0 -s 0x08000000:2048 -U F   first 2048 bytes of flash
#   upload_FW              -d 0483 -a 0 -s 0x08000000:LEN -U F    first LEN bytes of flash
#   download_FW            -d 0483 -a 0 -s 0x08000000:leave -D F  F into flash, unit leaves DFU
#                                                                 mode and comes back shortly
#   setup_prepared_config  CONFIG                                 load a configuration or action
#
#   --fast-progress shortens every simulated time (transfers, the return after "leave") to a
#   fraction of a second; without it transfers take realistic times (about 8 s to download a
#   625900-byte image, about 2 s until the unit is back after "leave").
#
#   Uploads refuse an existing output file (exit 73), as dfu-util does. A download file
#   without a DFU suffix gets dfu-util's warning on stderr; a suffix is stripped.
#
# The simulated unit (OTP area, flash, attached or not, serial number, the time at which it
# comes back after "leave") lives in a state folder:
#   $KELVORA_SIM_STATE_DIR                   when set (tests give each run its own folder)
#   ${TMPDIR:-/tmp}/kelvora-sim-<user id>    otherwise
# Files: unit.state (key=value lines), otp.bin, flash.bin. Every file is replaced atomically
# (written beside it, then renamed), so a killed run never leaves a half-written file. A new
# or unreadable state folder starts with the configuration older_revision. One state folder
# serves one caller at a time.
#
# Environment:
#   KELVORA_SIM_STATE_DIR           state folder (see above)
#   KELVORA_SIM_FIRMWARE            the carried firmware image the configurations derive the
#                                   unit's flash from; default <script folder>/firmware.bin
#                                   where the package installs it, else
#                                   <script folder>/../software/resources/firmware.bin
#   KELVORA_SIM_DFU_UTIL_RELEASE    banner to print: 0.9 or 0.11; default 0.9 on macOS
#                                   (Darwin), 0.11 elsewhere, as the build there expects
#   KELVORA_SIM_RETURN_MS           milliseconds until the unit is back after "leave"
#                                   (default 2000, 300 with --fast-progress)
#
# Configurations (setup_prepared_config CONFIG; each load is a fresh unit with a new serial):
#   older_revision            carried product, carried image with an older revision (default)
#   same_revision             carried product and exactly the carried image
#   other_product             OTP and firmware of another product of the table
#   blank_otp                 OTP area all 0xFF, older firmware of the carried product
#   unknown_type              OTP type code 0x51 (no product row)
#   otp_type_0x23             OTP type code 0x23, firmware block of type 0x2B
#   otp_fw_mismatch           OTP names the carried product, the firmware another product
#   no_fw_info                flash without a firmware information block
#   empty_revision            carried product, empty revision field
#   no_device                 no unit attached ("plug" attaches an older_revision unit)
#   two_devices               two units with different serial numbers
#   three_interfaces          one unit that lists only three alternate settings
#   list_fails                listing exits 74 with an error on stderr
#   otp_upload_fails          OTP upload exits 74 with an error on stderr
#   download_fails            download exits 74 part-way; flash left partly written and
#                             erased, the unit stays in DFU mode
#   readback_differs          downloads are stored, but every flash upload other than the
#                             2048-byte information read returns one flipped byte
#   no_return_after_download  after a download with "leave" the unit never comes back
# Actions (same command):
#   unplug                    the unit is detached
#   plug                      the unit is attached again (at once, also after "leave")
#   swap_unit                 a fresh unit of the current configuration, with a new serial
#
# Exit codes: 0 success; 2 unknown configuration or unusable carried image; 64 bad
# invocation (unknown command, option or missing argument); 66 download file unreadable;
# 73 upload file exists or cannot be created; 74 no unit, several units, a simulated USB
# failure or an unusable state folder.
#
# Needs only bash (3.2 or later) and the usual file tools (od, dd, head, tail, tr, wc,
# mktemp, mv, sleep, date).

prog=dfu-util_simulator.sh

usage_error() {
    printf '%s: %s\n' "$prog" "$*" >&2
    printf 'Usage: %s --dfu-util-command NAME [--fast-progress] [dfu-util arguments]\n' \
        "$prog" >&2
    exit 64
}

fail() {
    local code=$1
    shift
    printf '%s: %s\n' "$prog" "$*" >&2
    exit "$code"
}

# An error as dfu-util reports it.
dfu_fail() {
    local code=$1
    shift
    printf 'dfu-util: %s\n' "$*" >&2
    exit "$code"
}

temp_files=()
cleanup() {
    local f
    for f in "${temp_files[@]}"; do
        rm -f "$f"
    done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" >/dev/null 2>&1 && pwd)

# ---------------------------------------------------------------------------------------
# Small byte helpers (binary data never passes through shell variables).

# Writes the bytes given as hexadecimal words ("11 47 23 01") to standard output.
put_hex() {
    local fmt='' b
    for b in "$@"; do
        fmt="$fmt\\$(printf '%03o' "0x$b")"
    done
    # shellcheck disable=SC2059 # the format holds only octal escapes
    printf "$fmt"
}

put_ff() {
    if [ "$1" -gt 0 ]; then head -c "$1" /dev/zero | tr '\000' '\377'; fi
    return 0
}

put_zero() {
    if [ "$1" -gt 0 ]; then head -c "$1" /dev/zero; fi
    return 0
}

# Overwrites the bytes of file $1 from offset $2 on with standard input.
patch_at() {
    dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

file_size() {
    wc -c <"$1" | tr -d ' '
}

# Byte at offset $2 of file $1 as two lower-case hex digits.
byte_at() {
    od -An -v -tx1 -j "$2" -N1 "$1" | tr -d ' \n'
}

# Offset of the first occurrence of the marker $2 ("12 47 23 01") within the first 2048
# bytes of file $1, or -1.
find_marker() {
    local hex prefix
    hex=" $(od -An -v -tx1 -N2048 "$1" | tr '\n' ' ' | tr -s ' ')"
    prefix=${hex%%" $2"*}
    if [ "$prefix" = "$hex" ]; then
        echo -1
    else
        echo $((${#prefix} / 3))
    fi
}

# The string in the 32-byte field at offset $2 of file $1 (text up to the first NUL).
string_field() {
    head -c "$(($2 + 32))" "$1" | tail -c 32 | tr '\000' '\n' | head -n 1
}

# Overwrites the 32-byte field at offset $2 of file $1 with the text $3 (at most 31 bytes).
set_string_field() {
    local text=$3
    local LC_ALL=C
    text=${text:0:31}
    { printf '%s' "$text"; put_zero $((32 - ${#text})); } | patch_at "$1" "$2"
}

make_temp() {
    local t
    t=$(mktemp "$state_dir/.tmp.XXXXXX") || fail 74 "cannot write into the state folder $state_dir"
    temp_files+=("$t")
    printf '%s' "$t"
}

now_ms() {
    local t
    t=$(date +%s%N 2>/dev/null)
    case $t in
    '' | *[!0-9]*) t="$(date +%s)000" ;;
    *) t=${t:0:${#t}-6} ;;
    esac
    printf '%s' "$t"
}

sleep_ms() {
    if [ "$1" -gt 0 ]; then sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; fi
}

# ---------------------------------------------------------------------------------------
# Output that imitates dfu-util.

print_banner() {
    local release=${KELVORA_SIM_DFU_UTIL_RELEASE:-}
    if [ -z "$release" ]; then
        case $(uname -s 2>/dev/null) in
        Darwin) release=0.9 ;;
        *) release=0.11 ;;
        esac
    fi
    case $release in
    0.9)
        printf 'dfu-util 0.9\n\n'
        printf 'Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n'
        printf 'Copyright 2010-2016 Tormod Volden and Stefan Schmidt\n'
        ;;
    0.11)
        printf 'dfu-util 0.11\n\n'
        printf 'Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n'
        printf 'Copyright 2010-2021 Tormod Volden and Stefan Schmidt\n'
        ;;
    *) usage_error "KELVORA_SIM_DFU_UTIL_RELEASE must be 0.9 or 0.11, not \"$release\"" ;;
    esac
    printf 'This program is Free Software and has ABSOLUTELY NO WARRANTY\n'
    printf 'Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n\n'
}

# The four alternate settings of the STM32 DfuSe bootloader, highest first.
alt_name() {
    case $1 in
    3) printf '%s' '@Device Feature/0xFFFF0000/01*004 e' ;;
    2) printf '%s' '@OTP Memory /0x1FFF7800/01*512 e,01*016 e' ;;
    1) printf '%s' '@Option Bytes  /0x1FFFC000/01*016 e' ;;
    0) printf '%s' '@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg' ;;
    esac
}

# Listing lines of one unit: serial, devnum, path, number of alternate settings.
list_unit() {
    local alt=$(($4 - 1))
    while [ "$alt" -ge 0 ]; do
        printf 'Found DFU: [0483:df11] ver=2200, devnum=%s, cfg=1, intf=0, path="%s", alt=%s, name="%s", serial="%s"\n' \
            "$2" "$3" "$alt" "$(alt_name "$alt")" "$1"
        alt=$((alt - 1))
    done
}

print_opening() {
    printf 'Opening DFU capable USB device...\n'
    printf 'Device ID 0483:df11\n'
    printf 'Device DFU version 011a\n'
    printf 'Claiming USB DFU Interface...\n'
    printf 'Setting Alternate Interface #%s ...\n' "$1"
    printf 'Determining device status...\n'
    printf 'DFU state(2) = dfuIDLE, status(0) = No error condition is present\n'
    printf 'DFU mode device DFU version 011a\n'
    printf 'Device returned transfer size 2048\n'
}

# Progress bar over $3 ms for $2 bytes; stops at $4 percent (default 100).
progress() {
    local desc=$1 total=$2 duration=$3 stop=${4:-100}
    local steps=10 step=0 percent bar
    while [ "$step" -le "$steps" ]; do
        percent=$((step * 100 / steps))
        [ "$percent" -gt "$stop" ] && break
        bar=$(printf '%*s' $((percent / 4)) '' | tr ' ' '=')
        printf '\r%s\t[%-25s] %3d%% %12d bytes' "$desc" "$bar" "$percent" $((total * percent / 100))
        [ "$percent" -ge "$stop" ] && break
        sleep_ms $((duration / steps))
        step=$((step + 1))
    done
    printf '\n'
}

# ---------------------------------------------------------------------------------------
# Simulated times in ms.

upload_ms() { # bytes
    if [ "$fast" = 1 ]; then echo 20; else echo $((150 + $1 / 160)); fi
}
erase_ms() {
    if [ "$fast" = 1 ]; then echo 40; else echo $((200 + $1 / 200)); fi
}
download_ms() {
    if [ "$fast" = 1 ]; then echo 80; else echo $((200 + $1 / 120)); fi
}
return_ms() {
    case ${KELVORA_SIM_RETURN_MS:-} in
    '' | *[!0-9]*) if [ "$fast" = 1 ]; then echo 300; else echo 2000; fi ;;
    *) echo "$KELVORA_SIM_RETURN_MS" ;;
    esac
}

# ---------------------------------------------------------------------------------------
# State.

flash_size=1048576
serial_base=$((0x387838933234))

is_configuration() {
    case $1 in
    older_revision | same_revision | other_product | blank_otp | unknown_type | otp_type_0x23 | \
        otp_fw_mismatch | no_fw_info | empty_revision | no_device | two_devices | \
        three_interfaces | list_fails | otp_upload_fails | download_fails | readback_differs | \
        no_return_after_download) return 0 ;;
    esac
    return 1
}

open_state_dir() {
    if [ -n "${KELVORA_SIM_STATE_DIR:-}" ]; then
        state_dir=$KELVORA_SIM_STATE_DIR
        mkdir -p "$state_dir" 2>/dev/null
    else
        state_dir="${TMPDIR:-/tmp}"
        state_dir="${state_dir%/}/kelvora-sim-$(id -u)"
        mkdir -m 700 "$state_dir" 2>/dev/null
        # A folder in the shared temporary directory must be our own.
        [ -d "$state_dir" ] && [ ! -O "$state_dir" ] &&
            fail 74 "the state folder $state_dir belongs to another user"
    fi
    { [ -d "$state_dir" ] && [ -w "$state_dir" ]; } || fail 74 "cannot use the state folder $state_dir"
}

# Sets config, attached, back_at, unit_no; false when the state is missing or unusable.
read_state() {
    config='' attached='' back_at='' unit_no=''
    [ -f "$state_dir/unit.state" ] || return 1
    local key value
    while IFS='=' read -r key value; do
        case $key in
        config) config=$value ;;
        attached) attached=$value ;;
        back_at) back_at=$value ;;
        unit_no) unit_no=$value ;;
        esac
    done <"$state_dir/unit.state"
    is_configuration "$config" || return 1
    case $attached in 0 | 1) ;; *) return 1 ;; esac
    case $back_at in '' | *[!0-9]*) return 1 ;; esac
    case $unit_no in '' | *[!0-9]*) return 1 ;; esac
    [ -f "$state_dir/otp.bin" ] && [ -f "$state_dir/flash.bin" ]
}

write_state() {
    local t
    t=$(make_temp)
    {
        printf 'config=%s\nattached=%s\nback_at=%s\nunit_no=%s\n' \
            "$config" "$attached" "$back_at" "$unit_no" >"$t" &&
            mv -f "$t" "$state_dir/unit.state"
    } || fail 74 "cannot write into the state folder $state_dir"
}

# Installs the file $1 as the state file $2 (otp.bin, flash.bin).
install_file() {
    mv -f "$1" "$state_dir/$2" || fail 74 "cannot write into the state folder $state_dir"
}

serial_of() { # unit number, index of the unit (0 or 1)
    printf '%012X' $((serial_base + 2 * $1 + $2))
}

product_name() {
    case $1 in
    03) echo "Lx-20" ;;
    04) echo "Lx-21" ;;
    2b) echo "M4" ;;
    0b) echo "M4 Industrial" ;;
    84) echo "Q5X" ;;
    1e) echo "Q50" ;;
    8c) echo "T8X" ;;
    *) echo "Unknown" ;;
    esac
}

# Builds otp.bin and flash.bin of configuration $1 from the carried image.
build_unit() {
    local name=$1
    local image=${KELVORA_SIM_FIRMWARE:-}
    if [ -z "$image" ]; then
        # Installed, the image lies beside the script; in the source tree, in the resources.
        image=$script_dir/firmware.bin
        [ -f "$image" ] || image=$script_dir/../software/resources/firmware.bin
    fi
    { [ -f "$image" ] && [ -r "$image" ]; } || fail 2 "the carried firmware image $image cannot be read"
    local size
    size=$(file_size "$image")
    { [ "$size" -gt 0 ] && [ "$size" -le "$flash_size" ]; } ||
        fail 2 "the carried firmware image $image has $size bytes"

    local begin end
    begin=$(find_marker "$image" "12 47 23 01")
    end=$(find_marker "$image" "13 47 23 01")
    { [ "$begin" -ge 0 ] && [ "$end" -gt "$begin" ]; } ||
        fail 2 "the carried firmware image $image has no firmware information block"

    local carried_type carried_revision older other t
    carried_type=$(byte_at "$image" $((begin + 4)))
    carried_revision=$(string_field "$image" $((begin + 40)))
    older=2.3.0
    [ "$carried_revision" = "$older" ] && older=2.2.0
    for t in 03 04 2b 0b 84 1e 8c; do
        if [ "$t" != "$carried_type" ]; then
            other=$t
            break
        fi
    done

    local otp_type=$carried_type fw_type=$carried_type revision=$older fw_name=''
    case $name in
    same_revision) revision=$carried_revision ;;
    other_product)
        otp_type=$other
        fw_type=$other
        fw_name="$(product_name "$other") main firmware"
        ;;
    blank_otp) otp_type= ;;
    unknown_type) otp_type=51 ;;
    otp_type_0x23)
        otp_type=23
        fw_type=2b
        ;;
    otp_fw_mismatch)
        fw_type=$other
        fw_name="$(product_name "$other") main firmware"
        ;;
    empty_revision) revision= ;;
    esac

    local flash otp
    flash=$(make_temp)
    cp "$image" "$flash" || fail 74 "cannot write into the state folder $state_dir"
    if [ "$name" = no_fw_info ]; then
        put_ff $((end + 4 - begin)) | patch_at "$flash" "$begin"
    else
        put_hex "$fw_type" | patch_at "$flash" $((begin + 4))
        [ -n "$fw_name" ] && set_string_field "$flash" $((begin + 8)) "$fw_name"
        set_string_field "$flash" $((begin + 40)) "$revision"
    fi

    otp=$(make_temp)
    if [ -z "$otp_type" ]; then
        put_ff 512 >"$otp"
    else
        # Slot 0: marker, type code, three unused identification bytes, eight data bytes.
        { put_hex 11 47 23 01 "$otp_type" ff ff ff 20 26 10 14 00 00 01 2a; put_ff 496; } >"$otp"
    fi
    install_file "$flash" flash.bin
    install_file "$otp" otp.bin
}

# Reads the state; a new or unusable folder starts with older_revision.
load_state() {
    if ! read_state; then
        config=older_revision
        attached=1
        back_at=0
        unit_no=0
        build_unit "$config"
        write_state
    fi
}

unit_count() {
    case $vendor in '' | 0483 | 0483:*) ;; *) echo 0; return ;; esac
    if [ "$attached" != 1 ] || [ "$(now_ms)" -lt "$back_at" ]; then
        echo 0
    elif [ "$config" = two_devices ]; then
        echo 2
    else
        echo 1
    fi
}

require_one_unit() {
    case $(unit_count) in
    0) dfu_fail 74 "No DFU capable USB device available" ;;
    1)
        # -S names the one unit to act on; another unit is not touched.
        if [ -n "$wanted_serial" ] && [ "$wanted_serial" != "$(serial_of "$unit_no" 0)" ]; then
            dfu_fail 74 "No DFU capable USB device available"
        fi
        ;;
    *) dfu_fail 74 "More than one DFU capable USB device found! Try \`--list' and specify the serial number or disconnect all but one device" ;;
    esac
}

# ---------------------------------------------------------------------------------------
# Commands.

cmd_list() {
    print_banner
    if [ "$config" = list_fails ]; then
        dfu_fail 74 "unable to initialize libusb: LIBUSB_ERROR_OTHER"
    fi
    local count alts=4
    count=$(unit_count)
    [ "$config" = three_interfaces ] && alts=3
    [ "$count" -ge 1 ] && list_unit "$(serial_of "$unit_no" 0)" 20 2-2 "$alts"
    [ "$count" -ge 2 ] && list_unit "$(serial_of "$unit_no" 1)" 21 2-3 4
    exit 0
}

cmd_upload() {
    [ -n "$upload_file" ] || usage_error "$command needs -U and a file"
    case $dfuse_address in *:*) ;; *) usage_error "$command needs -s ADDRESS:LENGTH" ;; esac
    local address=${dfuse_address%%:*} length=${dfuse_address#*:} source max alt
    case $length in '' | *[!0-9]*) usage_error "bad upload length in \"$dfuse_address\"" ;; esac
    length=$((10#$length))
    case $(printf '%s' "$address" | tr 'A-F' 'a-f') in
    0x1fff7800)
        source=otp.bin
        max=512
        alt=2
        ;;
    0x08000000)
        source=flash.bin
        max=$flash_size
        alt=0
        ;;
    *) usage_error "no simulated memory at address $address" ;;
    esac

    print_banner
    require_one_unit
    if [ "$length" -lt 1 ] || [ "$length" -gt "$max" ]; then
        dfu_fail 74 "Upload of $length bytes does not fit the memory segment at $address"
    fi
    if [ -e "$upload_file" ] || [ -L "$upload_file" ]; then
        dfu_fail 73 "Cannot open file $upload_file for writing: File exists"
    fi
    (set -C && : >"$upload_file") 2>/dev/null ||
        dfu_fail 73 "Cannot open file $upload_file for writing"
    print_opening "$alt"
    if [ "$source" = otp.bin ] && [ "$config" = otp_upload_fails ]; then
        progress Upload "$length" "$(upload_ms "$length")" 50
        dfu_fail 74 "Error during upload (LIBUSB_ERROR_PIPE)"
    fi
    progress Upload "$length" "$(upload_ms "$length")"

    local have
    have=$(file_size "$state_dir/$source")
    {
        head -c "$length" "$state_dir/$source"
        put_ff $((length - have))
    } >"$upload_file" || dfu_fail 74 "Error writing $upload_file"

    if [ "$config" = readback_differs ] && [ "$source" = flash.bin ] &&
        [ "$dfuse_address" != "0x08000000:2048" ]; then
        local at=$((length / 2)) value
        value=$(byte_at "$upload_file" "$at")
        put_hex "$(printf '%02x' $((0x$value ^ 0x01)))" | patch_at "$upload_file" "$at"
    fi
    printf 'Upload done.\n'
    exit 0
}

# End of the flash sector that holds byte offset $1 - 1 (sectors 4 x 16K, 64K, 7 x 128K).
sector_end() {
    local n=$1
    if [ "$n" -le 65536 ]; then
        echo $(((n + 16383) / 16384 * 16384))
    elif [ "$n" -le 131072 ]; then
        echo 131072
    else
        echo $(((n + 131071) / 131072 * 131072))
    fi
}

cmd_download() {
    [ -n "$download_file" ] || usage_error "$command needs -D and a file"
    local address=${dfuse_address%%:*} modifiers='' leave=0
    case $dfuse_address in *:*) modifiers=${dfuse_address#*:} ;; esac
    case ":$modifiers:" in *:leave:*) leave=1 ;; esac
    case $(printf '%s' "$address" | tr 'A-F' 'a-f') in
    0x08000000) ;;
    *) usage_error "downloads are simulated to 0x08000000 only, not to \"$address\"" ;;
    esac

    print_banner
    { [ -f "$download_file" ] && [ -r "$download_file" ]; } ||
        dfu_fail 66 "Could not open file $download_file for reading: No such file or directory"
    local size payload
    size=$(file_size "$download_file")
    payload=$size
    if [ "$size" -ge 16 ] && [ "$(tail -c 8 "$download_file" | head -c 3)" = UFD ]; then
        payload=$((size - 16))
    else
        printf 'dfu-util: Warning: Invalid DFU suffix signature\n' >&2
        printf 'dfu-util: A valid DFU suffix will be required in a future dfu-util release\n' >&2
    fi
    require_one_unit
    [ "$payload" -gt 0 ] || dfu_fail 74 "Nothing to download: $download_file holds no data"
    [ "$payload" -le "$flash_size" ] ||
        dfu_fail 74 "Download of $payload bytes does not fit the internal flash"

    print_opening 0
    printf 'Downloading element to address = 0x08000000, size = %s\n' "$payload"
    progress 'Erase   ' "$payload" "$(erase_ms "$payload")"
    printf 'Erase    done.\n'
    local written=$payload
    if [ "$config" = download_fails ]; then
        progress Download "$payload" "$(download_ms "$payload")" 40
        written=$((payload * 40 / 100))
    else
        progress Download "$payload" "$(download_ms "$payload")"
    fi

    # The unit may have been unplugged or swapped while the transfer ran.
    local started_as=$unit_no
    { read_state && [ "$unit_no" = "$started_as" ] && [ "$(unit_count)" = 1 ]; } ||
        dfu_fail 74 "Error during download (LIBUSB_ERROR_NO_DEVICE)"

    # Erased pages read 0xFF; sectors past the erased ones keep their content.
    local erased_end old flash
    erased_end=$(sector_end "$payload")
    old=$(file_size "$state_dir/flash.bin")
    flash=$(make_temp)
    {
        head -c "$written" "$download_file"
        put_ff $((erased_end - written))
        if [ "$old" -gt "$erased_end" ]; then
            tail -c $((old - erased_end)) "$state_dir/flash.bin"
        fi
    } >"$flash" || fail 74 "cannot write into the state folder $state_dir"
    install_file "$flash" flash.bin

    if [ "$config" = download_fails ]; then
        printf 'dfuse_download: libusb_control_transfer returned -9 (LIBUSB_ERROR_PIPE)\n' >&2
        dfu_fail 74 "Error during download (LIBUSB_ERROR_PIPE)"
    fi
    printf 'Download done.\n'
    printf 'File downloaded successfully\n'
    if [ "$leave" = 1 ]; then
        printf 'Submitting leave request...\n'
        printf 'Transitioning to dfuMANIFEST state\n'
        if [ "$config" = no_return_after_download ]; then
            attached=0
        else
            back_at=$(($(now_ms) + $(return_ms)))
        fi
        write_state
    fi
    exit 0
}

cmd_setup() {
    [ -n "$positional" ] || usage_error "setup_prepared_config needs a configuration name"
    local name=$positional previous=-1
    case $name in
    unplug | plug | swap_unit) ;;
    *)
        if ! is_configuration "$name"; then
            printf '%s: unknown configuration "%s"\n' "$prog" "$name" >&2
            printf 'Known: older_revision same_revision other_product blank_otp unknown_type otp_type_0x23 otp_fw_mismatch no_fw_info empty_revision no_device two_devices three_interfaces list_fails otp_upload_fails download_fails readback_differs no_return_after_download; actions: unplug plug swap_unit\n' >&2
            exit 2
        fi
        ;;
    esac
    if read_state; then previous=$unit_no; else load_state; fi
    case $name in
    unplug)
        attached=0
        ;;
    plug)
        attached=1
        back_at=0
        ;;
    swap_unit)
        build_unit "$config"
        unit_no=$((unit_no + 1))
        attached=1
        back_at=0
        ;;
    *)
        build_unit "$name"
        config=$name
        unit_no=$((previous + 1))
        attached=1
        [ "$name" = no_device ] && attached=0
        back_at=0
        ;;
    esac
    write_state
    printf 'Simulated unit: configuration %s, serial %s, %s\n' "$config" \
        "$(serial_of "$unit_no" 0)" "$([ "$attached" = 1 ] && echo attached || echo detached)"
    exit 0
}

# ---------------------------------------------------------------------------------------
# Arguments.

[ "${1:-}" = --dfu-util-command ] || usage_error "the first argument must be --dfu-util-command"
[ $# -ge 2 ] || usage_error "--dfu-util-command needs a name"
command=$2
shift 2
fast=0
if [ "${1:-}" = --fast-progress ]; then
    fast=1
    shift
fi

vendor='' dfuse_address='' upload_file='' download_file='' positional='' wanted_serial=''
while [ $# -gt 0 ]; do
    case $1 in
    -d | -a | -s | -U | -D | -S)
        [ $# -ge 2 ] || usage_error "option $1 needs an argument"
        case $1 in
        -d) vendor=$(printf '%s' "$2" | tr 'A-F' 'a-f') ;;
        -a) ;;
        -s) dfuse_address=$2 ;;
        -U) upload_file=$2 ;;
        -D) download_file=$2 ;;
        -S) wanted_serial=$2 ;;
        esac
        shift 2
        ;;
    -l | -V) shift ;;
    -*) usage_error "unknown option \"$1\"" ;;
    *)
        [ -z "$positional" ] || usage_error "unexpected argument \"$1\""
        positional=$1
        shift
        ;;
    esac
done

case $command in
version)
    print_banner
    exit 0
    ;;
list | upload_OTP | upload_FW | download_FW)
    [ -z "$positional" ] || usage_error "unexpected argument \"$positional\""
    ;;
setup_prepared_config) ;;
*) usage_error "unknown command \"$command\"" ;;
esac

open_state_dir
case $command in
setup_prepared_config) cmd_setup ;;
esac
load_state
case $command in
list) cmd_list ;;
upload_OTP | upload_FW) cmd_upload ;;
download_FW) cmd_download ;;
esac
