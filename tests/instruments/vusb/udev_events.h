#pragma once

// What udevd sends after its rules ran when a virtual unit arrives or leaves: one message in
// libudev's netlink format to udev's multicast group. Only sent where KELVORA_VUSB_UDEV is set,
// which the wrapper udev_namespace.sh does for a command that it runs in a network namespace
// of its own; elsewhere the messages would reach the real udev's listeners of the machine.

#include <cstdint>
#include <string>

namespace vusb {

enum class UdevAction { add, remove };

// The unit on port "1-<port>" with device release bcd_device and USB device address
// `address`. False when nothing was sent (not asked for, or the socket failed).
bool announce(UdevAction action, int port, uint16_t bcd_device, uint8_t address);

// Announces `add` for the unit at `back_at` (milliseconds since the epoch), from a child
// process, unless the unit's "back_at" file then says something else: the unit re-enumerates
// after it left its bootloader, while the dfu-util that made it leave has long ended.
void announce_return(std::string const& folder, int64_t back_at, int port, uint16_t bcd_device,
                     uint8_t address);

// The message itself; `seqnum` numbers it as the kernel numbers its events.
std::string udev_message(UdevAction action, int port, uint16_t bcd_device, uint8_t address,
                         uint64_t seqnum);

} // namespace vusb
