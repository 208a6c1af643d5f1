#pragma once

#include "device/fw_info.h"
#include "device/otp_info.h"
#include "flash/bench_event.h"
#include "flash/bench_listing.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace Flash {

// What every unit's job shares: the carried firmware and where files go.
struct JobSettings {
    QByteArray image;           // the carried image, byte for byte what a unit must hold
    QString image_file;         // the same bytes as a file in the working folder, for dfu-util
    Device::FW_Info carried;    // the image's information block
    QString folder;             // the working folder; each unit's uploads are named by its port
    QString record_file;        // the upgrade record; empty: none
    bool dry_run = false;       // read everything, write nothing
    int return_wait_ms = 20000; // how long a unit may take to come back after its write
};

using Sink = std::function<void(Event const&)>;

// The unit's identity as read by port: its OTP record and its information block.
struct Identity {
    bool read = false; // the OTP area could be uploaded
    Device::OTP_Info otp;
    Device::FW_Info info;
};

Identity read_identity(ListedUnit const& unit, QString const& folder);

// The "found" event for a unit and what was read of it.
Event found_event(ListedUnit const& unit, Identity const& identity, Device::FW_Info const& carried);

// Takes the unit through identity, "already current", write, return on the same port and
// read-back. Reports each step to sink and returns the last event (done, skipped, failed).
// A termination signal starts no step that writes; a transfer under way ends first.
Event upgrade_unit(ListedUnit const& unit, JobSettings const& settings, Sink const& sink);

// Reads the unit's flash back and compares it with the image; writes nothing.
Event check_unit(ListedUnit const& unit, JobSettings const& settings, Sink const& sink);

} // namespace Flash
