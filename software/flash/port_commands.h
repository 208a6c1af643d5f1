#pragma once

#include "dfu/dfu_util_progress.h"

#include <QString>

#include <functional>

// The dfu-util commands of the bench, each addressed to one unit by its USB port path
// ("-p 1-2"): dfu-util then opens no other unit, whichever serials the units report.
// Every call blocks while dfu-util runs, within the runner's bound.
namespace Flash {

using Percent = std::function<void(int percent)>;

// Uploads the OTP area (512 bytes) into file. True on success.
bool read_otp(QString const& port, QString const& file);
// Uploads the first 2048 bytes of flash, where the information block lies, into file.
bool read_info_block(QString const& port, QString const& file);
// Uploads size bytes of flash from its start into file.
bool read_flash(QString const& port, QString const& file, int size, Percent const& on_percent);
// Downloads file to the start of flash; the unit leaves its bootloader afterwards. The exit
// code of dfu-util (-1: it did not end normally).
int write_flash(QString const& port, QString const& file, Percent const& on_percent);

} // namespace Flash
