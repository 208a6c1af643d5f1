#pragma once

#include "bus/unit_watch.h"
#include "device/fw_info.h"
#include "dfu/device_info.h"
#include "flash/bench_event.h"
#include "flash/bench_listing.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace Flash {

// What every unit's job shares: the carried firmware and where the record goes.
struct JobSettings {
    QByteArray image;           // the carried image, byte for byte what a unit must hold
    QString image_file;         // the same bytes as a file in the working folder, for dfu-util
    QString image_sha256;       // of the image, for the record
    Device::FW_Info carried;    // the image's information block
    QString record_file;        // the upgrade record; empty: none
    bool dry_run = false;       // read everything, write nothing
    int return_wait_ms = 20000; // how long a unit may take to come back after its write
    // The units that udev reported arriving, by port; none where udev does not run: the
    // return after a write is then found by listing the unit's port until it shows it.
    Bus::Arrivals const* arrivals = nullptr;
};

// The carried image from the working folder, its information block and the user's record:
// what the bench, the station and the bench window write with. Its image is empty when the
// carried firmware cannot be read.
JobSettings carried_job_settings();

using Sink = std::function<void(Event const&)>;

// The unit's OTP record and information block, read by its port as the window reads its unit.
// valid is false when the OTP area could not be read.
DFU::DeviceInfo read_identity(ListedUnit const& unit);

// The "found" event for a unit and what was read of it.
Event found_event(ListedUnit const& unit, DFU::DeviceInfo const& info,
                  Device::FW_Info const& carried);

// One unit from its identity to its verdict over the window's steps; after a write that sent
// every block, whatever dfu-util's exit code, the unit is awaited on its port and read back.
// Reports each step to sink and returns the last event (done, skipped, failed), whose reason
// is the outcome's record text. A termination signal starts no step that writes; a transfer
// under way ends first.
Event upgrade_unit(ListedUnit const& unit, JobSettings const& settings, Sink const& sink);

// Reads the unit's flash back and compares it with the image; writes nothing.
Event check_unit(ListedUnit const& unit, JobSettings const& settings, Sink const& sink);

} // namespace Flash
