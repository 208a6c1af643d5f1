#pragma once
// Whole files, and the fields of the firmware information block in an image, for the tests.
// The block's layout comes from the decoder's own constants.
#include "device/fw_info.h"
#include "device/otp_info.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace test_files {

// The whole file; empty when it cannot be read.
inline QByteArray read_all(QString const& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces the file's content; false when it cannot be written completely.
inline bool write_all(QString const& path, QByteArray const& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

inline QByteArray fw_begin_marker() {
    return QByteArray(Device::fw_layout::begin_marker.data(), Device::fw_layout::marker_size);
}

inline QByteArray fw_end_marker() {
    return QByteArray(Device::fw_layout::end_marker.data(), Device::fw_layout::marker_size);
}

inline QByteArray otp_marker() {
    return QByteArray(Device::otp_layout::marker.data(), int(Device::otp_layout::marker.size()));
}

// Offset of the first firmware information block in image, -1 when it has none.
inline int fw_block_offset(QByteArray const& image) {
    return image.indexOf(fw_begin_marker());
}

// A 32-byte string field holding text, NUL-padded.
inline QByteArray string_field(QByteArray const& text) {
    return text.leftJustified(Device::fw_layout::field_size, '\0', true);
}

// The revision field of the block at block in image.
inline QString fw_revision(QByteArray const& image, int block) {
    return Device::get_string(image, block + Device::fw_layout::revision_offset);
}

// Writes revision into the revision field of the block at block in image.
inline void set_fw_revision(QByteArray* image, int block, QByteArray const& revision) {
    image->replace(block + Device::fw_layout::revision_offset, Device::fw_layout::field_size,
                   string_field(revision));
}

// Writes the type code of the block at block in image.
inline void set_fw_type(QByteArray* image, int block, char type) {
    (*image)[block + Device::fw_layout::type_offset] = type;
}

} // namespace test_files
