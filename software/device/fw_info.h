#pragma once

#include "device/product_table.h"

#include <QByteArray>
#include <QDebug>
#include <QString>

#include <array>
#include <utility>
#include <vector>

// The firmware information block near the start of every firmware image. Offsets are
// relative to the block's first byte B:
//
//   offset      width   content
//   0           4       begin marker 12 47 23 01
//   4           1       type code
//   5           3       extra1..extra3, 0xFF when not used
//   8           32      name (string field)
//   40          32      revision (string field)
//   72          64 * n  n pairs: key string field (32) followed by value string field (32)
//   72 + 64n    4       end marker 13 47 23 01
//
// A string field holds UTF-8 text ended by a NUL inside the field (so at most 31 bytes);
// bytes after the NUL are not read. A field without any NUL holds no string (null QString).
// Both markers must start at image offset 1948 or below, so that a block in the first
// 2048 bytes of an image is complete in the 2048 bytes uploaded from a unit.
namespace Device {

namespace fw_layout {
constexpr std::array<char, 4> begin_marker = {0x12, 0x47, 0x23, 0x01};
constexpr std::array<char, 4> end_marker = {0x13, 0x47, 0x23, 0x01};
constexpr int marker_size = 4;
constexpr int last_marker_offset = 1948;
constexpr int type_offset = 4;
constexpr int extra_offset = 5;
constexpr int name_offset = 8;
constexpr int revision_offset = 40;
constexpr int pairs_offset = 72;
constexpr int field_size = 32;
constexpr int pair_size = 2 * field_size;
} // namespace fw_layout

struct FW_Info {
    ProductInfo product;
    QString name;
    QString revision;
    std::vector<std::pair<QString, QString>> details; // key, value in block order
    bool valid = false;                               // a block was found and read

    // "FW info:\n" then "\tInvalid", or the type, name, revision and one line per pair.
    // No final line feed.
    operator QString() const;
};

// Decodes a file; a file that cannot be opened gives the empty FW_Info.
FW_Info make_FW_Info(QString const& path);
// Decodes the first block in bytes. Never fails; every problem gives the empty FW_Info.
FW_Info make_FW_Info(QByteArray const& bytes);

// The string field of 32 bytes at pos. A field cut short by the end of the data ends there;
// a pos outside the data gives the empty string.
QString get_string(QByteArray const& bytes, int pos);

// Length of the string in a 32-byte field: 0 when the first byte is NUL, the index of the
// first NUL otherwise, -1 when none of the 32 bytes is NUL. s must have 32 readable bytes.
int local_strlen(char const* s);

QDebug operator<<(QDebug debug, FW_Info const& info);

} // namespace Device
