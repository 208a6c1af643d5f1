#include "device/fw_info.h"

#include "device/unit_text.h"

#include <QFile>

#include <algorithm>

namespace Device {

using namespace fw_layout;

FW_Info::operator QString() const {
    QString text = QStringLiteral("FW info:\n");
    if (!valid)
        return text + QStringLiteral("\tInvalid");
    text += QStringLiteral("  Type: %1\n").arg(QString(product));
    text += QStringLiteral("  Name: ") + loggable(name) + QStringLiteral("\n");
    text += QStringLiteral("  Rev.: ") + loggable(revision) + QStringLiteral("\n");
    text += QStringLiteral("  Details:");
    for (auto const& [key, value] : details) {
        text += QStringLiteral("\n    ") + loggable(key).leftJustified(31) + QStringLiteral(": ") +
                loggable(value).leftJustified(31);
    }
    return text;
}

FW_Info make_FW_Info(QString const& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return FW_Info{};
    return make_FW_Info(file.readAll());
}

int local_strlen(char const* s) {
    for (int i = 0; i < field_size; ++i) {
        if (s[i] == '\0')
            return i;
    }
    return -1;
}

QString get_string(QByteArray const& bytes, int pos) {
    if (pos < 0 || pos >= bytes.size())
        return QStringLiteral("");
    // A short tail is padded with NUL, so that its text ends at the end of the data.
    std::array<char, field_size> field;
    field.fill('\0');
    int const available = std::min(field_size, bytes.size() - pos);
    std::copy_n(bytes.constData() + pos, available, field.begin());
    int const length = local_strlen(field.data());
    if (length < 0)
        return QString();
    if (length == 0)
        return QStringLiteral("");
    return QString::fromUtf8(field.data(), length);
}

FW_Info make_FW_Info(QByteArray const& bytes) {
    QByteArray const begin(begin_marker.data(), marker_size);
    QByteArray const end(end_marker.data(), marker_size);
    int const B = bytes.indexOf(begin);
    int const E = bytes.indexOf(end);
    if (B < 0 || E < 0) {
        qDebug() << "index_beg = " << B << "index_end = " << E;
        return FW_Info{};
    }
    if (B > last_marker_offset || E > last_marker_offset)
        return FW_Info{};
    int const P = E - B - pairs_offset;
    if (P < 0 || P % pair_size != 0) {
        qDebug() << "index_beg = " << B << "index_end = " << E << "nr_of_pair_bytes =" << P;
        return FW_Info{};
    }
    // The end marker lies behind every field, so the whole block is inside bytes.
    FW_Info info;
    auto const byte = [&bytes](int pos) { return static_cast<std::uint8_t>(bytes.at(pos)); };
    info.product = make_ProductInfo({byte(B + type_offset), byte(B + extra_offset),
                                     byte(B + extra_offset + 1), byte(B + extra_offset + 2)});
    info.name = get_string(bytes, B + name_offset);
    info.revision = get_string(bytes, B + revision_offset);
    for (int i = 0; i < P / pair_size; ++i) {
        int const at = B + pairs_offset + pair_size * i;
        QString key = get_string(bytes, at);
        QString value = get_string(bytes, at + field_size);
        if (key.isEmpty() || value.isEmpty())
            break;
        info.details.emplace_back(std::move(key), std::move(value));
    }
    info.valid = true;
    return info;
}

QDebug operator<<(QDebug debug, FW_Info const& info) {
    QDebugStateSaver saver(debug);
    debug.noquote() << QString(info);
    return debug;
}

} // namespace Device
