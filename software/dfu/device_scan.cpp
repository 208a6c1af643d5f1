#include "dfu/device_scan.h"

#include "dfu/command.h"
#include "dfu/dfu_util_parser.h"

#include <QRegularExpression>

namespace DFU {

ScanResult scan_for_devices(QString const& output) {
    DfuUtilParser const parser(output);
    ScanResult result;
    result.first = parser.status == DfuUtilParser::one_dfu_device ? 0 : 1;
    result.second.reserve(static_cast<std::size_t>(parser.serials.size()));
    for (QString const& serial : parser.serials)
        result.second.push_back(DeviceItem{serial});
    return result;
}

ScanResult make_scan() {
    return make_scan(nullptr);
}

QString open_refusal(QString const& error_output) {
    static QRegularExpression const pattern(
        R"(Cannot open DFU device 0483:df11 found on devnum \d+ \(([^()\n]{1,80})\))");
    return pattern.match(error_output).captured(1);
}

ScanResult make_scan(QString* refusal) {
    QByteArray error_output;
    OutputTaps taps;
    taps.error_output = &error_output;
    Result const listing = run_command(list, {}, taps);
    ScanResult result = listing.first == 0 ? scan_for_devices(listing.second) : ScanResult{1, {}};
    // dfu-util leaves such a unit out of its listing; it is attached all the same.
    QString const reason = open_refusal(QString::fromUtf8(error_output));
    if (!reason.isEmpty())
        result.first = 1;
    if (refusal)
        *refusal = reason;
    return result;
}

} // namespace DFU
