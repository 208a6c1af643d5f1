#include "dfu/device_scan.h"

#include "dfu/command.h"
#include "dfu/dfu_util_parser.h"

#include <QRegularExpression>

namespace DFU {

ScanResult scan_for_devices(QString const& output) {
    DfuUtilParser const parser(output);
    ScanResult result;
    auto& [status, items] = result;
    status = parser.status == DfuUtilParser::one_dfu_device ? 0 : 1;
    items.reserve(static_cast<std::size_t>(parser.serials.size()));
    for (QString const& serial : parser.serials)
        items.push_back(DeviceItem{serial});
    return result;
}

ScanResult make_scan() {
    return make_scan(nullptr);
}

QVector<Refusal> open_refusals(QString const& error_output) {
    static QRegularExpression const pattern(
        R"(Cannot open DFU device 0483:df11 found on devnum (\d+) \(([^()\n]{1,80})\))");
    QVector<Refusal> refusals;
    for (auto found = pattern.globalMatch(error_output); found.hasNext();) {
        QRegularExpressionMatch const one = found.next();
        refusals.append({one.captured(1), one.captured(2)});
    }
    return refusals;
}

QString open_refusal(QString const& error_output) {
    return open_refusals(error_output).value(0).reason;
}

Listing list_units(Address const& unit, int limit_ms) {
    QByteArray error_output;
    OutputTaps taps;
    taps.error_output = &error_output;
    taps.limit_ms = limit_ms;
    auto const [code, output] = run_command(list, unit.arguments(), taps);
    return {code == 0, output, open_refusals(QString::fromUtf8(error_output))};
}

ScanResult make_scan(QString* refusal) {
    Listing const listing = list_units();
    auto [status, items] = listing.ran ? scan_for_devices(listing.output) : ScanResult{1, {}};
    // dfu-util leaves such a unit out of its listing; it is attached all the same.
    if (!listing.refusals.isEmpty())
        status = 1;
    if (refusal)
        *refusal = listing.refusals.value(0).reason;
    return {status, std::move(items)};
}

} // namespace DFU
