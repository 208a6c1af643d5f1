#include "dfu/dfu_util_parser.h"

#include "device/unit_text.h"

#include <QDebug>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <map>

QString const DfuUtilParser::prefix_RE = QStringLiteral("^Found DFU: \\[0483:df11\\] ver=2200");
QString const DfuUtilParser::extract_serial_RE = QStringLiteral("serial=\\\"([0-9a-fA-F]+)\\\"");

namespace {

// Everything dfu-util prints before the unit's own strings: a line that breaks off after
// this still tells its port.
QString const head_RE =
    QStringLiteral("^Found DFU: \\[0483:df11\\] ver=2200, devnum=[0-9]+, cfg=[0-9]+, intf=[0-9]+, "
                   "path=\"([0-9]+-[0-9]+(?:\\.[0-9]+)*)\", alt=[0-9]+, name=\"");

} // namespace

QString const DfuUtilParser::device_line_RE = head_RE + QStringLiteral("(.*)\", serial=\"(.*)\"$");

namespace {

QRegularExpression const& prefix_expression() {
    static QRegularExpression const re(DfuUtilParser::prefix_RE);
    return re;
}

QRegularExpression const& serial_expression() {
    static QRegularExpression const re(DfuUtilParser::extract_serial_RE);
    return re;
}

QRegularExpression const& line_expression() {
    static QRegularExpression const re(DfuUtilParser::device_line_RE);
    return re;
}

QRegularExpression const& head_expression() {
    static QRegularExpression const re(head_RE);
    return re;
}

struct DeviceLine {
    QString path;   // empty when the line does not tell it
    QString serial; // as printed, or as far as it could be read
    bool trusted = false;
};

DeviceLine read_device_line(QString const& line) {
    DeviceLine read;
    QRegularExpressionMatch const whole = line_expression().match(line);
    if (whole.hasMatch()) {
        read.path = whole.captured(1);
        read.serial = whole.captured(3);
        // A quote in the name could as well end it early, with the rest a forged serial.
        read.trusted =
            !whole.captured(2).contains('"') && DfuUtilParser::readable_serial(read.serial);
        return read;
    }
    read.path = head_expression().match(line).captured(1);
    int const field = line.lastIndexOf(QStringLiteral("serial=\""));
    if (field >= 0)
        read.serial = line.mid(field + 8);
    if (read.serial.endsWith('"'))
        read.serial.chop(1);
    return read;
}

} // namespace

bool DfuUtilParser::readable_serial(QString const& serial) {
    return std::none_of(serial.begin(), serial.end(), [](QChar c) {
        char16_t const u = c.unicode();
        return u == '"' || u < 0x20 || (u >= 0x7F && u <= 0x9F);
    });
}

bool DfuUtilParser::hex_serial(QString const& serial) {
    QString const field = QStringLiteral("serial=\"") + serial + '"';
    QRegularExpressionMatch const match = serial_expression().match(
        field, 0, QRegularExpression::NormalMatch, QRegularExpression::AnchoredMatchOption);
    return match.hasMatch() && match.capturedLength() == field.size();
}

DfuUtilParser::DfuUtilParser(QString const& output) {
    int lines_with_serial = 0;
    bool every_serial_hex = true;
    QString previous_path;
    QSet<QString> logged_paths;
    for (QString line : output.split('\n')) {
        if (!prefix_expression().match(line).hasMatch())
            continue;
        if (line.endsWith('\r'))
            line.chop(1);
        DeviceLine const read = read_device_line(line);
        auto const same_path = [&read](ListedUnit const& unit) { return unit.path == read.path; };
        auto unit = std::find_if(units.begin(), units.end(), same_path);
        if (unit == units.end()) {
            units.append({read.path, read.serial, {}, 0, false, false});
            unit = units.end() - 1;
        } else if (read.path != previous_path) {
            unit->scattered = true;
        }
        previous_path = read.path;
        ++unit->lines;
        if (!unit->serials.contains(read.serial))
            unit->serials.append(read.serial);

        bool const hex = read.trusted && hex_serial(read.serial);
        // The first such line of each port is enough to tell which unit it is.
        if (!hex && !logged_paths.contains(read.path)) {
            logged_paths.insert(read.path);
            qDebug().noquote() << "\"" + Device::loggable(line) + "\"";
        }
        unit->unreadable = unit->unreadable || !read.trusted;
        if (!hex) {
            every_serial_hex = false;
            continue;
        }
        if (serials.isEmpty() || serials.last() != read.serial)
            serials.append(read.serial);
        ++lines_with_serial;
    }

    // A unit without a serial of hex digits cannot be the one unit; beside another unit it
    // still makes them several.
    if (!every_serial_hex) {
        status = units.size() > 1 ? multiple_dfu_devices : no_dfu_device;
        return;
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
