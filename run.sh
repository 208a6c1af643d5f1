#!/usr/bin/env bash
# Sets up, builds and starts the Kelvora Firmware Upgrade Tool; arguments go to the tool.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kelvora-upgrade
exec build/kelvora-upgrade "$@"
