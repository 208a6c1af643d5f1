#pragma once

#include "dfu/command.h"
#include "dfu/device_info.h"
#include "dfu/device_scan.h"

#include "device/fw_info.h"

#include <QString>

#include <functional>

// What the worker does with the attached unit. Every operation runs fixed dfu-util commands
// and exchanges data with dfu-util only through files in the working directory. All of them
// block the calling thread while dfu-util runs.
namespace DFU {

// Uploads the OTP area and the firmware information block and fills *info. Returns the
// OTP upload's result; past a successful OTP upload the code is 0, also when the two blocks
// name different products (then the mismatch is appended to the text). item does not
// address the unit: dfu-util acts on the one unit under vendor 0483.
Result read_device_info(DeviceItem const* item, DeviceInfo* info);

// Uploads the first 2048 bytes of flash and decodes them; a failed upload gives the
// empty block.
Device::FW_Info read_FW_Info(DeviceItem const* item);

// Told, on the calling thread, how far a running download or upload is: 0 to 100 of the
// whole command, from dfu-util's own progress bars (erase and write, or read).
using ProgressHandler = std::function<void(int percent)>;

// Downloads the image to 0x08000000; the unit leaves DFU mode afterwards. Returns the
// exit code.
// With a serial, dfu-util acts only on the unit of that serial ("-S") and fails when it is
// not attached.
int download_FW_to_device(QString const& file, QString const& serial = QString(),
                          ProgressHandler const& on_progress = {});

// Uploads size bytes of flash from 0x08000000 into file. Returns the exit code.
int upload_FW_from_device(QString const& file, int size, QString const& serial = QString(),
                          ProgressHandler const& on_progress = {});

// Uploads exactly as many bytes as desired holds into uploaded and compares both files.
// Runs nothing when desired is empty or unreadable.
bool upload_and_compare_FW_bin(QString const& desired, QString const& uploaded);

// Uploads exactly image.size() bytes of flash into uploaded and compares them with image,
// the carried firmware itself rather than a file that could have changed since start-up.
// Runs nothing for an empty image.
bool upload_and_compare_FW(QByteArray const& image, QString const& uploaded,
                           QString const& serial = QString(),
                           ProgressHandler const& on_progress = {});

// True when file holds exactly image. Otherwise writes image to file (replacing it whole) and
// reads it back; true only when it then holds exactly image. Logs what it found and did.
bool ensure_file_holds(QString const& file, QByteArray const& image);

// Size in bytes, or -1 when the file cannot be opened (or does not fit an int).
int size_of_binary_file(QString const& file);

// True only for two readable, non-empty files with the same bytes.
bool compare_FW_bin_files(QString const& a, QString const& b);

// The information block of the carried "firmware.bin" in the working directory.
Device::FW_Info read_FW_Info_from_desired_FW();

// The same, read once on the first call and kept until exit. The first call happens during
// start-up, before the worker thread exists.
Device::FW_Info const& desired_FW_Info();

} // namespace DFU
