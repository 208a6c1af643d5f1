#include "device/otp_info.h"

#include <QFile>

#include <algorithm>

namespace Device {

using namespace otp_layout;

QString OTP_Info::product_name() const {
    return product.product_name();
}

OTP_Info::operator QString() const {
    return QStringLiteral("OTP info:\nMarker %1\nProduct: %2\n")
        .arg(valid ? QStringLiteral("valid") : QStringLiteral("invalid"), QString(product));
}

OTP_Info make_OTP_Info(QString const& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return OTP_Info{}; // an unreadable area is not reported as blank
    return make_OTP_Info(file.readAll());
}

OTP_Info make_OTP_Info(QByteArray const& bytes) {
    OTP_Info info;
    bool const all_erased = std::all_of(
        bytes.begin(), bytes.end(), [](char c) { return static_cast<std::uint8_t>(c) == erased; });
    if (all_erased) {
        info.blank = true;
        return info;
    }

    QByteArray const marker_bytes(marker.data(), static_cast<int>(marker.size()));
    int const at = bytes.lastIndexOf(marker_bytes);
    if (at < 0 || at % slot_size != 0 || at > last_record_offset)
        return info;

    // A record cut short by the end of the data reads as erased flash beyond it.
    std::array<std::uint8_t, record_size> record;
    record.fill(erased);
    int const available = std::min(record_size, bytes.size() - at);
    for (int i = 0; i < available; ++i)
        record[i] = static_cast<std::uint8_t>(bytes[at + i]);

    if (record[type_offset] == legacy_FENK_code)
        record[type_offset] = static_cast<std::uint8_t>(Type::FENK);

    info.product = make_ProductInfo({record[type_offset], record[extra_offset],
                                     record[extra_offset + 1], record[extra_offset + 2]});
    std::copy_n(record.begin() + data_offset, data_size, info.data.begin());

    if (!is_valid(info.product.type)) {
        qInfo() << "Device not used, has invalid info in its OTP info.";
    } else if (!is_known(info.product.type)) {
        qInfo().noquote() << "Unknown device type according to OTP info, " + QString(info.product);
        info.product.type = Type::invalid;
    } else {
        info.valid = true;
    }
    return info;
}

QDebug operator<<(QDebug debug, OTP_Info const& info) {
    QDebugStateSaver saver(debug);
    debug.noquote() << QString(info);
    return debug;
}

} // namespace Device
