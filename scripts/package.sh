#!/usr/bin/env bash
# Builds the Debian package kelvora-upgrade_<version>_<arch>.deb in one command: installs
# what is missing, builds a release of the tool with Debian's hardening flags in
# build-package/ (or the folder given as the first argument) and packs it with CPack.
# Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-build-package}

scripts/setup.sh package

# Debian's compiler and linker flags for packages, with every hardening feature.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CPPFLAGS=$(dpkg-buildflags --get CPPFLAGS)
CXXFLAGS=$(dpkg-buildflags --get CXXFLAGS)
CFLAGS=$(dpkg-buildflags --get CFLAGS)
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVORA_WERROR=ON \
      -DKELVORA_BUILD_TESTS=OFF -DKELVORA_SOURCE_TREE_SIMULATOR=OFF \
      -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" \
      -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build "$out"
rm -f "$out"/kelvora-upgrade_*.deb
(cd "$out" && cpack -G DEB >/dev/null)

debs=("$out"/kelvora-upgrade_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: cpack made no single kelvora-upgrade package in $out" >&2
  exit 1
fi
case ${debs[0]} in
  /*) echo "${debs[0]}" ;;
  *) echo "$root/${debs[0]}" ;;
esac
