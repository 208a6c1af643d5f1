#!/usr/bin/env bash
# Runs a command in a network and a mount namespace of its own in which udev seems to run:
# /run/udev/control exists, and KELVORA_VUSB_UDEV is set, so that the virtual units announce
# their arrivals and departures on udev's netlink group (udev_events.h), where only the
# listeners of this network namespace hear them. Needs root (unshare).
#
#   udev_namespace.sh [--without-udev] COMMAND [ARGUMENTS...]
#     --without-udev   the same namespaces without /run/udev/control: as in a container
#                      where udev does not run
set -euo pipefail

if [ "${1:-}" = --inside ]; then
  with_udev=$2
  shift 2
  mount --make-rprivate /
  # A /run of its own, with everything of the machine's bound back except udev's folder.
  old=$(mktemp -d)
  mount --bind /run "$old"
  mount -t tmpfs -o mode=755 tmpfs /run
  for entry in "$old"/*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    name=${entry##*/}
    [ "$name" = udev ] || [ -e "/run/$name" ] && continue
    if [ -L "$entry" ]; then
      cp -P "$entry" /run/
      continue
    elif [ -d "$entry" ]; then
      mkdir "/run/$name"
    else
      : >"/run/$name"
    fi
    mount --bind "$entry" "/run/$name"
  done
  umount -l "$old"
  rmdir "$old"
  mkdir /run/udev
  if [ "$with_udev" = yes ]; then
    : >/run/udev/control
    export KELVORA_VUSB_UDEV=1
  else
    unset KELVORA_VUSB_UDEV
  fi
  exec "$@"
fi

with_udev=yes
if [ "${1:-}" = --without-udev ]; then
  with_udev=no
  shift
fi
[ $# -gt 0 ] || { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
exec unshare --net --mount -- "$0" --inside "$with_udev" "$@"
