#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it as a person's machine would
# see it: control fields and file list, lintian, the desktop entry, AppStream metadata,
# icons, udev rule, manual page, copyright and changelog; then starts the unpacked
# executable from a scratch root, offscreen, in simulator mode and in real-device mode
# against the virtual USB bus (empty, then with one unit), and reads its log until it
# reaches its no-unit and connected states.
#
#   scripts/check_package.sh [PACKAGE.deb]   checks the given package instead of building one
#
# Any failed check ends the script with status 1 and says what is wrong.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }
check() { # description, command...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

if [ $# -ge 1 ]; then
  deb=$(realpath "$1")
  scripts/setup.sh package
else
  deb=$(scripts/package.sh | tail -n 1)
fi
[ -f "$deb" ] || { echo "check_package.sh: no package at '$deb'" >&2; exit 1; }

# The virtual USB bus: the test suite's preloaded libusb stand-in, from the normal build.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVORA_WERROR=ON >/dev/null
cmake --build build --target kelvora_vusb >/dev/null
vusb_lib=$root/build/tests/instruments/vusb/libkelvora_vusb.so
[ -f "$vusb_lib" ] || { echo "check_package.sh: $vusb_lib was not built" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvora-package-check.XXXXXX")
tool_pid=""
cleanup() {
  if [ -n "$tool_pid" ]; then kill -KILL "$tool_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

version=$(sed -n 's/^project(KelvoraUpgrade VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "check_package.sh: no version in CMakeLists.txt" >&2; exit 1; }
app_id=com.kelvora.FirmwareUpgradeTool

echo "== Package $deb"
check "file name is kelvora-upgrade_${version}_${arch}.deb" \
  test "$(basename "$deb")" = "kelvora-upgrade_${version}_${arch}.deb"

field() { dpkg-deb -f "$deb" "$1"; }
check "Package: kelvora-upgrade" test "$(field Package)" = kelvora-upgrade
check "Version: $version" test "$(field Version)" = "$version"
check "Architecture: $arch" test "$(field Architecture)" = "$arch"
check "Section: electronics" test "$(field Section)" = electronics
check "Maintainer is set" test -n "$(field Maintainer)"
description=$(field Description)
check "Description has a summary line and a long description" \
  test "$(printf '%s\n' "$description" | wc -l)" -ge 3
depends=$(field Depends)
# The package names in Depends, one a line, without versions and alternatives' bars.
depends_names=$(sed 's/(.*)//; s/^ *//; s/ *$//' <<<"${depends//[,|]/$'\n'}" | grep -v '^$')
for lib in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5widgets5 libqt5dbus5 libsystemd0 libudev1; do
  check "Depends names $lib (computed from the executable)" grep -qxF "$lib" <<<"$depends_names"
done
check "Recommends at-spi2-core (the bus that screen readers use)" \
  grep -qw at-spi2-core <<<"$(field Recommends)"
# Nothing a build needs: the package must install on a machine without build tools. Nor
# dfu-util: the executable carries its own.
check "Depends names no build tool, -dev package or dfu-util" \
  test -z "$(grep -E '(-dev|^cmake|^ninja-build|^g\+\+.*|^gcc.*|^clang.*|^patchelf|^dfu-util)$' <<<"$depends_names")"

# Everything that installing the package pulls in, as apt resolves it from the archive:
# no compiler, build tool or development package among it.
if ! apt-cache show libqt5widgets5 >/dev/null 2>&1; then
  fail "apt knows no packages (run apt-get update): cannot resolve what the package pulls in"
else
  # shellcheck disable=SC2086 # one word a package name
  closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances $depends_names | grep -v '^ ' | LC_ALL=C sort -u)
  check "installing pulls in Qt's widgets library" grep -qx libqt5widgets5 <<<"$closure"
  build_tools=$(grep -E -- '-dev$|^gcc(-[0-9]+)?$|^g\+\+|^cpp(-[0-9]+)?$|^cmake|^clang|^binutils$|^make$|^ninja-build$|^patchelf$|^dpkg-dev$' \
    <<<"$closure" || true)
  if [ -z "$build_tools" ]; then
    pass "installing pulls in no build tool"
  else
    fail "installing pulls in build tools: ${build_tools//$'\n'/ }"
  fi
fi

# The exact list of files (directories aside), so a file that goes missing or a stray one
# (a test program, a build-tree file) is seen.
expected_files=$(
  cat <<EOF
./lib/udev/rules.d/70-kelvora-upgrade.rules
./usr/bin/kelvora-flash
./usr/bin/kelvora-upgrade
./usr/share/bash-completion/completions/kelvora-flash
./usr/share/man/man1/kelvora-flash.1.gz
./usr/share/applications/$app_id.desktop
./usr/share/doc/kelvora-upgrade/changelog.gz
./usr/share/doc/kelvora-upgrade/copyright
./usr/share/icons/hicolor/128x128/apps/kelvora-upgrade.png
./usr/share/icons/hicolor/16x16/apps/kelvora-upgrade.png
./usr/share/icons/hicolor/22x22/apps/kelvora-upgrade.png
./usr/share/icons/hicolor/24x24/apps/kelvora-upgrade.png
./usr/share/icons/hicolor/256x256/apps/kelvora-upgrade.png
./usr/share/icons/hicolor/32x32/apps/kelvora-upgrade.png
./usr/share/icons/hicolor/48x48/apps/kelvora-upgrade.png
./usr/share/icons/hicolor/64x64/apps/kelvora-upgrade.png
./usr/share/icons/hicolor/scalable/apps/kelvora-upgrade.svg
./usr/share/kelvora-upgrade/dfu-util_simulator.sh
./usr/share/kelvora-upgrade/firmware.bin
./usr/share/lintian/overrides/kelvora-upgrade
./usr/share/man/man1/kelvora-upgrade.1.gz
./usr/share/metainfo/$app_id.metainfo.xml
EOF
)
actual_files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | LC_ALL=C sort)
if [ "$actual_files" = "$(LC_ALL=C sort <<<"$expected_files")" ]; then
  pass "file list"
else
  fail "file list differs (< expected, > in the package):"
  diff <(LC_ALL=C sort <<<"$expected_files") <(echo "$actual_files") >&2 || true
fi
check "no file owned by anyone but root" \
  test -z "$(dpkg-deb -c "$deb" | awk '{print $2}' | grep -vx 'root/root')"

control=$scratch/control
dpkg-deb -e "$deb" "$control"
# The maintainer scripts run with a udevadm that records its arguments, once for each
# action that dpkg may give them: what they ask of udev, and that they succeed.
stub=$scratch/stub
mkdir -p "$stub"
printf '#!/bin/sh\necho "$*" >>"%s"\n' "$stub/calls" >"$stub/udevadm"
chmod +x "$stub/udevadm"
udev_calls() { # script, action: the udevadm calls it makes, one a line
  rm -f "$stub/calls"
  if ! PATH=$script_path "$control/$1" "$2" >/dev/null 2>&1; then
    echo "exit status $?"
  fi
  cat "$stub/calls" 2>/dev/null || true
}
script_path=$stub:/usr/bin:/bin # the recording udevadm comes first
reload=$'control --reload-rules'
trigger=$'trigger --subsystem-match=usb --attr-match=idVendor=0483 --attr-match=idProduct=df11'
check "postinst configure reloads the rules and applies them to plugged-in units" \
  test "$(udev_calls postinst configure)" = "$reload"$'\n'"$trigger"
check "postinst abort-upgrade leaves udev alone" test -z "$(udev_calls postinst abort-upgrade)"
check "postrm remove reloads the rules" test "$(udev_calls postrm remove)" = "$reload"
check "postrm purge reloads the rules" test "$(udev_calls postrm purge)" = "$reload"
check "postrm upgrade leaves udev alone" test -z "$(udev_calls postrm upgrade)"
rm "$stub/udevadm"
script_path=$stub # no udevadm at all (a container, a chroot)
check "postinst succeeds where udevadm is missing" test -z "$(udev_calls postinst configure)"
check "postrm succeeds where udevadm is missing" test -z "$(udev_calls postrm remove)"

echo "== lintian"
# Errors and warnings fail; every warning that does not apply is overridden, with its reason,
# in the overrides file that the package ships.
if lintian --fail-on error,warning --display-info --tag-display-limit 0 "$deb"; then
  pass "lintian: no errors, no warnings"
else
  fail "lintian reported errors or warnings"
fi

echo "== Unpacked files"
sysroot=$scratch/root
dpkg-deb -x "$deb" "$sysroot"
desktop=$sysroot/usr/share/applications/$app_id.desktop
metainfo=$sysroot/usr/share/metainfo/$app_id.metainfo.xml
check "desktop-file-validate" desktop-file-validate "$desktop"
check "appstreamcli validate" appstreamcli validate --no-net --pedantic "$metainfo"
check "desktop entry starts kelvora-upgrade" grep -qx 'Exec=kelvora-upgrade' "$desktop"

# The service bench runs without a display: it links QtCore and no GUI library at all.
bench_needs=$(objdump -p "$sysroot/usr/bin/kelvora-flash" | awk '$1 == "NEEDED" {print $2}')
check "kelvora-flash links QtCore" grep -q '^libQt5Core' <<<"$bench_needs"
check "kelvora-flash links no GUI library" \
  test -z "$(grep -E '^libQt5(Gui|Widgets)' <<<"$bench_needs")"
check "kelvora-flash prints its usage" "$sysroot/usr/bin/kelvora-flash" --help
check "desktop entry names the icon kelvora-upgrade" grep -qx 'Icon=kelvora-upgrade' "$desktop"
check "metainfo launches the desktop entry" \
  grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo"
check "metainfo names release $version" grep -q "<release version=\"$version\"" "$metainfo"
describes_screenshot() {
  grep -q "docs/screenshots/$1.png" README.md && grep -q "/screenshots/$1.png</image>" "$metainfo"
}
for shot in connected upgrading "done"; do
  check "metainfo describes the README's $shot screenshot" describes_screenshot "$shot"
done
for size in 16 22 24 32 48 64 128 256; do
  png=$sysroot/usr/share/icons/hicolor/${size}x${size}/apps/kelvora-upgrade.png
  check "icon ${size}x${size} is a ${size}x${size} PNG" \
    grep -q "^PNG image data, $size x $size," < <(file -b "$png")
done
check "scalable icon is SVG" test "$(xmllint --xpath 'local-name(/*)' \
  "$sysroot/usr/share/icons/hicolor/scalable/apps/kelvora-upgrade.svg")" = svg

rule=$sysroot/lib/udev/rules.d/70-kelvora-upgrade.rules
check "udev rule gives the seat's user access to 0483:df11" \
  grep -Eq '^SUBSYSTEM=="usb", ATTRS\{idVendor\}=="0483", ATTRS\{idProduct\}=="df11", .*TAG\+="uaccess"' "$rule"
check "udev rule gives the plugdev group access to 0483:df11 (0660)" \
  grep -Eq '^SUBSYSTEM=="usb", ATTRS\{idVendor\}=="0483", .*GROUP="plugdev", MODE="0660"' "$rule"

manpage=$scratch/kelvora-upgrade.1
gzip -dc "$sysroot/usr/share/man/man1/kelvora-upgrade.1.gz" >"$manpage" || fail "manual page cannot be read"
man_text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$manpage" 2>"$scratch/man.err" | col -b) ||
  fail "manual page does not render"
check "manual page renders without warnings" test ! -s "$scratch/man.err"
for section in NAME SYNOPSIS OPTIONS FILES ENVIRONMENT "EXIT STATUS"; do
  check "manual page has $section" grep -qx "$section" <<<"$man_text"
done
# Every option that the command line registers is documented, short and long.
options=$(grep -o '{{"[A-Za-z]", "[a-z-]*"}' software/launch/command_line.cpp | tr -d '{}"' | tr ',' ' ')
[ -n "$options" ] || fail "no options found in software/launch/command_line.cpp"
while read -r short long; do
  check "manual page documents -$short, --$long" \
    grep -Eq -- "-$short, --$long" <<<"$man_text"
done <<<"$options"

copyright=$sysroot/usr/share/doc/kelvora-upgrade/copyright
check "copyright is machine-readable" \
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright"
# paragraph REGEX: the paragraphs of the copyright file whose text matches REGEX.
paragraph() { awk -v RS= -v re="$1" '$0 ~ re' "$copyright"; }
for licence in GPL-2.0-or-later OFL-1.1 LGPL-2.1-or-later; do
  # A stand-alone licence paragraph: the short name, then the licence's text.
  check "copyright has the stand-alone $licence paragraph" \
    test "$(paragraph "^License: $licence\n" | wc -l)" -ge 5
done
check "copyright: the tool is GPL-2.0-or-later" \
  grep -qx "License: GPL-2.0-or-later" < <(paragraph '^Files: \\*\n')
check "copyright: the fonts are OFL-1.1" grep -qx "License: OFL-1.1" < <(paragraph '^Files: .*KelvoraSans')
for pair in dfu-util:dfu-util:GPL-2.0-or-later libusb-1.0-0:libusb-1.0.so.0:LGPL-2.1-or-later; do
  IFS=: read -r package file licence <<<"$pair"
  read -r bin_version src_package src_version < <(dpkg-query -W -f='${Version} ${source:Package} ${source:Version}\n' "$package")
  files_paragraph=$(paragraph "^Files: ${file//./[.]}\n")
  check "copyright: $file is $licence" grep -qx "License: $licence" <<<"$files_paragraph"
  check "copyright: $file names the carried version $bin_version" grep -qF " $bin_version" <<<"$files_paragraph"
  check "copyright: $file names its source package $src_package $src_version" \
    grep -qF "apt-get source $src_package=$src_version" <<<"$files_paragraph"
done
check "copyright holds no unfilled placeholder" test -z "$(grep -E '@[A-Z_]+@' "$copyright")"
changelog_version=$(gzip -dc "$sysroot/usr/share/doc/kelvora-upgrade/changelog.gz" |
  sed -n '1s/^kelvora-upgrade (\([^)]*\)).*/\1/p') || true
check "changelog's newest entry is $version" test "$changelog_version" = "$version"

# Nothing in the executable points back into the source or build folders.
executable=$sysroot/usr/bin/kelvora-upgrade
check "executable names no source or build folder" \
  test -z "$({ strings -a "$executable"; strings -a -e l "$executable"; } | grep -F "$root")"

echo "== The unpacked executable"
# Starts the unpacked executable with a clean environment and its own temporary folder,
# waits until every expected text is in its log (standard error), then ends it with SIGTERM.
# run_tool NAME ARGS... -- EXPECTED... ; extra environment in the array run_env.
run_tool() {
  local name=$1
  shift
  local args=()
  while [ "$1" != "--" ]; do
    args+=("$1")
    shift
  done
  shift
  local dir=$scratch/run-$name
  mkdir -p "$dir/tmp" "$dir/runtime"
  chmod 700 "$dir/runtime"
  local log=$dir/stderr
  env -i HOME="$dir" PATH=/usr/bin:/bin LANG=C.UTF-8 TMPDIR="$dir/tmp" \
    XDG_RUNTIME_DIR="$dir/runtime" QT_QPA_PLATFORM=offscreen "${run_env[@]}" \
    "$sysroot/usr/bin/kelvora-upgrade" "${args[@]}" >"$dir/stdout" 2>"$log" &
  tool_pid=$!
  local text deadline=$((SECONDS + 90)) missing=""
  for text in "$@"; do
    until grep -qF -- "$text" "$log"; do
      if [ $SECONDS -ge $deadline ] || ! kill -0 "$tool_pid" 2>/dev/null; then
        missing=$text
        break 2
      fi
      sleep 0.2
    done
  done
  kill -TERM "$tool_pid" 2>/dev/null || true
  local status=0
  wait "$tool_pid" || status=$?
  tool_pid=""
  if [ -n "$missing" ]; then
    fail "$name: \"$missing\" not in the log:"
    sed 's/^/    /' "$log" >&2
    return
  fi
  pass "$name: the log reached every expected line"
  check "$name: SIGTERM ends the run with status 143" test "$status" -eq 143
  check "$name: the working directory is removed" \
    test -z "$(find "$dir/tmp" -mindepth 1 -maxdepth 1 -print -quit)"
  if grep -qF "$root" "$log"; then fail "$name: the log names the source folder $root"; fi
}

run_env=("KELVORA_SIM_STATE_DIR=$scratch/sim-unit")
run_tool simulator -s -- \
  "Will use simulator" \
  "Start  \"$sysroot/usr/share/kelvora-upgrade/dfu-util_simulator.sh\"" \
  "Result of execution test: status was ok" \
  "SM_B: /sig_DeviceConnected" \
  "SM_B: /sig_UpgradePossible"

bus=$scratch/bus
mkdir -p "$bus"
run_env=("LD_PRELOAD=$vusb_lib" "KELVORA_VUSB_DIR=$bus")
run_tool empty-bus -- \
  "Will use real device" \
  "Result of execution test: status was ok" \
  "SM_B: entered B1: No (DFU-SE) dev. conn." \
  "SM_A: /sig_NoDevConn"
if grep -qF "SM_A: /sig_DevConn\"" "$scratch/run-empty-bus/stderr"; then
  fail "empty-bus: a unit was reported on an empty bus"
fi

# One virtual unit with an older revision of the image that the package carries.
tests/instruments/vusb/make_unit.sh --image "$sysroot/usr/share/kelvora-upgrade/firmware.bin" "$bus/unit1" >/dev/null
run_tool one-unit -- \
  "Will use real device" \
  "Result of execution test: status was ok" \
  "SM_B: /sig_DeviceConnected" \
  "SM_B: /sig_UpgradePossible"

if [ "$failures" -ne 0 ]; then
  echo "== Package check FAILED: $failures check(s)" >&2
  exit 1
fi
echo "== Package check passed"
