#pragma once

#include "device/fw_info.h"
#include "device/otp_info.h"
#include "device/product_table.h"

#include <QDebug>
#include <QMetaType>
#include <QString>

namespace DFU {

// What has been read from the attached unit. The worker fills one; the flow machine keeps a
// copy of the record that the worker reported.
struct DeviceInfo {
    bool valid = false;  // the OTP area was uploaded
    QString FW_revision; // set only when OTP and firmware block name the same product
    Device::OTP_Info OTP_info;
    Device::FW_Info FW_info;                          // its valid is cleared on a product mismatch
    Device::Type device_type = Device::Type::invalid; // from OTP_info
    QString serial; // as dfu-util lists it; set by the worker, not part of the text form

    // "DeviceInfo:\n" then the type and revision lines, or "Invalid".
    operator QString() const;
};

// Writes the text form unquoted and leaves the stream's quoting as it was.
QDebug operator<<(QDebug debug, DeviceInfo const& info);

} // namespace DFU

Q_DECLARE_METATYPE(DFU::DeviceInfo)
