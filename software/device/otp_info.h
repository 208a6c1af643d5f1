#pragma once

#include "device/product_table.h"

#include <QByteArray>
#include <QDebug>
#include <QString>

#include <array>
#include <cstdint>

// The product identification in the one-time-programmable area.
//
// The area is 512 bytes, 32 slots of 16 bytes; an erased byte reads 0xFF. OTP bytes can be
// written only once, so a newer record goes into a later slot and the last record wins.
// One record:
//
//   offset  width  content
//   0       4      marker 11 47 23 01 (0x01234711 little-endian)
//   4       1      type code
//   5       3      extra1..extra3, 0xFF when not used
//   8       8      data, carried along uninterpreted
namespace Device {

namespace otp_layout {
constexpr int area_size = 512;
constexpr int slot_size = 16;
constexpr int record_size = 16;
constexpr int last_record_offset = 497; // a marker beyond this cannot start a slot in the area
constexpr std::array<char, 4> marker = {0x11, 0x47, 0x23, 0x01};
constexpr int type_offset = 4;
constexpr int extra_offset = 5;
constexpr int data_offset = 8;
constexpr int data_size = 8;
constexpr std::uint8_t erased = 0xFF;
// Early units stored FENK under this code.
constexpr std::uint8_t legacy_FENK_code = 0x23;
} // namespace otp_layout

struct OTP_Info {
    ProductInfo product;
    std::array<std::uint8_t, otp_layout::data_size> data{};
    bool valid = false; // a record was found and names a product of the table
    bool blank = false; // the area holds no record at all

    QString product_name() const;

    // "OTP info:\nMarker valid|invalid\nProduct: <product>\n"
    operator QString() const;
};

// Decodes a file; a file that cannot be opened gives valid and blank both false.
OTP_Info make_OTP_Info(QString const& path);
// Decodes the area. Never fails; every problem gives valid false.
OTP_Info make_OTP_Info(QByteArray const& bytes);

QDebug operator<<(QDebug debug, OTP_Info const& info);

} // namespace Device
