#include "dfu/device_scan.h"

#include "dfu/command.h"
#include "dfu/dfu_util_parser.h"

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
    Result const listing = run_command(list);
    if (listing.first != 0)
        return {1, {}};
    return scan_for_devices(listing.second);
}

} // namespace DFU
