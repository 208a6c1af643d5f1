#pragma once

// The files of one virtual unit. Every unit is a folder below the folder that
// KELVORA_VUSB_DIR names; the folder holds
//   config     knobs, one "key=value" a line ('#' starts a comment); see README.md
//   flash.bin  the 1 MiB of internal flash (missing or short: the rest reads erased, 0xFF)
//   otp.bin    the 512 OTP bytes followed by the 16 lock bytes (missing: erased)
//   state      what the unit keeps between dfu-util runs: DFU state and status, address
//              pointer, USB device address
//   back_at    when the unit is on the bus again: milliseconds since the epoch, or "never"
//   lock       taken (flock) while a process has claimed the unit's interface
// Every file is replaced as a whole (temporary file + rename), so a process killed at any
// moment leaves either the old or the new content.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace vusb {

// A data transfer kind that a fault knob applies to.
enum class Op { none, upload, download, open };

struct Fault {
    Op op = Op::none;
    long after = 0; // transfers of that kind that succeed first
};

struct BitAddress {
    bool set = false;
    uint32_t address = 0;
    int bit = 0;
};

// What libusb_open says to this user: yes, no permission (no udev rule), or the unit is held
// by another program.
enum class Access { granted, denied, busy };

struct Knobs {
    std::string serial = "3276375B3333";
    uint16_t bcd_device = 0x2200;
    int alt_settings = 4;
    Access access = Access::granted;
    Fault unplug;
    long short_upload = -1; // upload blocks answered in full before an empty one; < 0: all
    Fault hang;
    long hang_ms = -1; // < 0: until the process is killed
    BitAddress flip_bit;
    BitAddress stuck_bit;
    bool back_after_leave = true;
    long back_after_ms = 300;
    bool leave_status_answered = true;
    bool real_timing = false;
    double timing_scale = 1.0;
};

// Milliseconds since the epoch.
int64_t now_ms();

// The folders of the attached units in name order; empty when KELVORA_VUSB_DIR is unset.
std::vector<std::string> unit_folders();

// Reads "config" of the folder; unknown keys and bad values are reported on stderr and
// leave the default in place.
Knobs read_knobs(std::string const& folder);

bool read_file(std::string const& path, std::vector<uint8_t>* content);
bool write_file_atomically(std::string const& path, void const* data, size_t size);

// The bytes of a memory that changed since its file was written: [from, to).
struct DirtyRange {
    size_t from = SIZE_MAX;
    size_t to = 0;
    void add(size_t at, size_t count) {
        from = std::min(from, at);
        to = std::max(to, at + count);
    }
    bool any() const { return from < to; }
};
// Writes the changed bytes of a memory of size bytes into its file in place, as a flash cell
// keeps what was programmed even when the program is killed a moment later. A file that does
// not hold the whole memory yet is written whole, atomically. Writing the whole memory for
// every block made sixteen units written at once spend the machine on copying files.
bool write_file_range(std::string const& path, uint8_t const* data, size_t size,
                      DirtyRange const& range);

// "back_at": absent or in the past means on the bus.
constexpr int64_t never = INT64_MAX;
int64_t read_back_at(std::string const& folder);
void write_back_at(std::string const& folder, int64_t when_ms);

} // namespace vusb
