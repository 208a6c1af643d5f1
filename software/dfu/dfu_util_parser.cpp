#include "dfu/dfu_util_parser.h"

#include "device/unit_text.h"

#include <QDebug>
#include <QRegularExpression>

#include <algorithm>
#include <map>

QString const DfuUtilParser::prefix_RE = QStringLiteral("^Found DFU: \\[0483:df11\\] ver=2200");
QString const DfuUtilParser::extract_serial_RE = QStringLiteral("serial=\\\"([0-9a-fA-F]+)\\\"");
QString const DfuUtilParser::extract_path_RE = QStringLiteral("path=\\\"([0-9.-]+)\\\"");

namespace {

QRegularExpression const& prefix_expression() {
    static QRegularExpression const re(DfuUtilParser::prefix_RE);
    return re;
}

QRegularExpression const& serial_expression() {
    static QRegularExpression const re(DfuUtilParser::extract_serial_RE);
    return re;
}

QRegularExpression const& path_expression() {
    static QRegularExpression const re(DfuUtilParser::extract_path_RE);
    return re;
}

} // namespace

DfuUtilParser::DfuUtilParser(QString const& output) {
    int lines_with_serial = 0;
    for (QString const& line : output.split('\n')) {
        if (!prefix_expression().match(line).hasMatch())
            continue;
        QRegularExpressionMatch const match = serial_expression().match(line);
        if (!match.hasMatch()) {
            qDebug().noquote() << "\"" + Device::loggable(line) + "\"";
            status = no_dfu_device;
            return;
        }
        QString const serial = match.captured(1);
        if (serials.isEmpty() || serials.last() != serial)
            serials.append(serial);
        ++lines_with_serial;
        QString const path = path_expression().match(line).captured(1);
        auto const same_path = [&path](ListedUnit const& unit) { return unit.path == path; };
        auto const unit = std::find_if(units.begin(), units.end(), same_path);
        if (unit == units.end())
            units.append({path, serial, 1});
        else
            ++unit->lines;
    }

    device_count = serials.size();
    if (device_count == 0)
        status = no_dfu_device;
    else if (device_count == 1)
        status = lines_with_serial == 4 ? one_dfu_device : invalid_dfu_device;
    else
        status = multiple_dfu_devices;
}

QString DfuUtilParser::status_as_string() const {
    // Read-only after its thread-safe construction: parsers run on more than one thread.
    static std::map<Status, QString> const texts = {
        {no_dfu_device, QStringLiteral("no_dfu_device")},
        {one_dfu_device, QStringLiteral("one_dfu_device")},
        {invalid_dfu_device, QStringLiteral("invalid_dfu_device")},
        {multiple_dfu_devices, QStringLiteral("multiple_dfu_devices")},
    };
    for (auto const& [known, text] : texts)
        if (known == status)
            return text;
    return QString();
}
