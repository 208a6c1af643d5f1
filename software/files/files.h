#pragma once

#include "files/working_dir.h"

#include <QString>

#include <map>
#include <vector>

// The private working directory of this process and the fixed names of the files in it.
// dfu-util and the firmware are extracted into it at start-up, and every upload from a unit
// lands in it. It is removed with its content when the process ends.
namespace Files {

enum ID {
    dfu_util_executable = 0,
    libusb_dylib = 1,
    desired_FW_dfu = 2,
    desired_FW_bin = 3,
    uploaded_FW_bin = 4,
    uploaded_FW_info_bin = 5,
    uploaded_OTP_bin = 6,
};

extern WorkingDir external_dir;
extern std::map<ID, QString> basename;

extern QString const dfu_util_executable_fileName;
extern QString const desired_FW_fileName_dfu;
extern QString const desired_FW_fileName_bin;
extern QString const uploaded_FW_fileName_bin;
extern QString const uploaded_FW_info_fileName_bin;
extern QString const uploaded_OTP_fileName_bin;

// Copies ":resources/<name>" of each id into the working directory, never overwriting, and
// reads each copy back against its resource. Returns false only when the directory is
// missing, or a copy failed and the flag is set; extraction_error() then says which file
// failed and why.
bool extract_resources(std::vector<ID> ids, bool fail_on_error);
QString extraction_error();

// Why the extracted file at path differs from its resource, or an empty text.
QString differs_from_resource(QString const& path, QString const& resource);

// Why bytes more bytes cannot be written to path on this computer (folder not writable, disk
// full), or an empty text when nothing local stands in the way. bytes < 0: size unknown.
QString cannot_write(QString const& path, qint64 bytes);
// Why path cannot be read, or an empty text.
QString cannot_read(QString const& path);

// The working directory's path, "/" and the file name of the id.
QString path_of(ID id);

} // namespace Files
