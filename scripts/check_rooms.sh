#!/usr/bin/env bash
# Checks that every include of the program runs down the room order that the README lists
# under "For developers": a room includes only itself and rooms above it.
set -euo pipefail
cd "$(dirname "$0")/.."

# The backquotes are the README's own, not a command.
# shellcheck disable=SC2016
mapfile -t rooms < <(sed -n 's/^  - `\([a-z_]*\)\/`:.*/\1/p' README.md)
if ((${#rooms[@]} < 2)); then
  echo "check_rooms: no room list found in README.md" >&2
  exit 1
fi
declare -A rank
for i in "${!rooms[@]}"; do rank[${rooms[$i]}]=$i; done

bad=0
checked=0
while IFS= read -r file; do
  room=${file#software/}
  room=${room%%/*}
  [[ -v rank[$room] ]] || { echo "$file: room '$room' is not in the README's list" >&2; bad=1; continue; }
  while IFS= read -r included; do
    other=${included%%/*}
    [[ -v rank[$other] ]] || continue
    if ((rank[$other] > rank[$room])); then
      echo "$file includes $included: $other/ lies below $room/" >&2
      bad=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
  checked=$((checked + 1))
done < <(git ls-files 'software/*/*.cpp' 'software/*/*.h')
((checked > 0)) || { echo "check_rooms: no source files" >&2; exit 1; }
((bad == 0)) || exit 1
echo "$checked files include only their own room and rooms above it (${rooms[*]})"
