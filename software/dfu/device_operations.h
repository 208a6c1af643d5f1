#pragma once

#include "dfu/command.h"
#include "dfu/device_info.h"
#include "dfu/device_scan.h"

#include "device/fw_info.h"

#include <QString>

#include <functional>

// The steps that both programs take with a unit: read its identity, write it, read it back.
// Every operation runs fixed dfu-util commands and exchanges data with dfu-util only through
// files in the working directory. All of them block the calling thread while dfu-util runs.
namespace DFU {

// The working file `name` of a unit: the name itself, or for a unit named by its port the name
// with the port before its extension, so that units side by side never share a file.
QString working_file(QString const& name, Address const& unit = Address());

// Uploads the OTP area and the firmware information block and fills *info. Returns the
// OTP upload's result; past a successful OTP upload the code is 0, also when the two blocks
// name different products (then the mismatch is appended to the text).
Result read_device_info(Address const& unit, DeviceInfo* info);

// Uploads the first 2048 bytes of flash and decodes them; a failed upload gives the
// empty block.
Device::FW_Info read_FW_Info(Address const& unit);

// Told, on the calling thread, how far a running download or upload is: 0 to 100 of the
// whole command, from dfu-util's own progress bars (erase and write, or read).
using ProgressHandler = std::function<void(int percent)>;

// How a write ended, as far as dfu-util tells; only the unit's check says what it holds.
struct WriteEnd {
    int code = -1;         // dfu-util's exit code; -1: it did not end normally or not run
    bool all_sent = false; // every block was written and acknowledged
    // To be followed through the restart to the check: also when dfu-util failed after the
    // last block, as with the many STM32 bootloaders that reset on "leave" without an answer.
    bool followed() const { return code == 0 || all_sent; }
};

// From dfu-util's result: "File downloaded successfully", or its download bar at 100 %.
WriteEnd write_end(Result const& result);

// Downloads the image to 0x08000000; the unit leaves DFU mode afterwards. With an address,
// dfu-util acts only on that unit and fails when it is not attached.
WriteEnd download_FW_to_device(QString const& file, Address const& unit = Address(),
                               ProgressHandler const& on_progress = {});

// Uploads size bytes of flash from 0x08000000 into file. Returns the exit code.
int upload_FW_from_device(QString const& file, int size, Address const& unit = Address(),
                          ProgressHandler const& on_progress = {});

// Uploads exactly as many bytes as desired holds into uploaded and compares both files.
// Runs nothing when desired is empty or unreadable.
bool upload_and_compare_FW_bin(QString const& desired, QString const& uploaded);

// What a read-back tells: the flash holds the image, or something else, or nothing is known
// (cut: dfu-util failed, the file is short, the unit left).
enum class Readback { matches, differs, cut };

// Uploads exactly image.size() bytes of flash into file and compares them with image; an
// empty image differs from every unit.
Readback read_back(QByteArray const& image, QString const& file, Address const& unit,
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
