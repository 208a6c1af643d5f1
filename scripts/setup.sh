#!/usr/bin/env bash
# Installs the Debian packages that the project needs and that are missing.
#   scripts/setup.sh run    build and run the tool
#   scripts/setup.sh test   also what the test suite needs
#   scripts/setup.sh ci     also the sanitizer and fuzzing tool chain, the format and shell
#                           checkers and the package checks
#   scripts/setup.sh package build the Debian package and check it
set -euo pipefail

profile=${1:-run}

packages=(cmake ninja-build g++ pkg-config qtbase5-dev qtbase5-dev-tools
          dfu-util libusb-1.0-0 libusb-1.0-0-dev libudev-dev patchelf libsystemd-dev)
# Building the Debian package and checking it.
package_tools=(dpkg-dev fakeroot file lintian desktop-file-utils appstream man-db bsdextrautils
               libxml2-utils binutils)
# Whole-program tests under Xvfb: keys and screenshots, a screen reader's AT-SPI client, and
# a private session bus with a notification daemon.
desktop_tests=(xvfb xauth xdotool x11-utils imagemagick python3 at-spi2-core python3-pyatspi
               gir1.2-atspi-2.0 dbus-daemon dbus-bin dunst)
case "$profile" in
  run) ;;
  test) packages+=("${desktop_tests[@]}") ;;
  ci) packages+=("${desktop_tests[@]}" clang libclang-rt-14-dev
                 clang-format shellcheck "${package_tools[@]}") ;;
  package) packages+=("${package_tools[@]}") ;;
  *) echo "setup.sh: unknown profile '$profile' (run, test, ci or package)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
