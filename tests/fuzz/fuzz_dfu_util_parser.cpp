#include "dfu/device_scan.h"
#include "dfu/dfu_util_parser.h"
#include "quiet_messages.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelvora_fuzz_quiet_messages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    QString const listing =
        QString::fromUtf8(reinterpret_cast<char const*>(data), static_cast<int>(size));
    DfuUtilParser const parser(listing);
    (void)parser.status_as_string();
    if (parser.device_count != 0 && parser.device_count != parser.serials.size())
        __builtin_trap();

    // Every port once; a unit the parser distrusts never passes for the one unit.
    for (int i = 0; i < parser.units.size(); ++i) {
        DfuUtilParser::ListedUnit const& unit = parser.units[i];
        if (unit.lines < 1 || unit.serials.isEmpty() || unit.serials.first() != unit.serial)
            __builtin_trap();
        for (int j = i + 1; j < parser.units.size(); ++j)
            if (parser.units[j].path == unit.path)
                __builtin_trap();
        if ((unit.unreadable || !DfuUtilParser::hex_serial(unit.serial)) &&
            parser.status == DfuUtilParser::one_dfu_device)
            __builtin_trap();
        if (!unit.path.isEmpty() && unit.path.contains('"'))
            __builtin_trap();
    }
    for (QString const& serial : parser.serials)
        if (!DfuUtilParser::hex_serial(serial) || !DfuUtilParser::readable_serial(serial))
            __builtin_trap();

    DFU::ScanResult const result = DFU::scan_for_devices(listing);
    if (result.second.size() != static_cast<std::size_t>(parser.serials.size()))
        __builtin_trap();
    if (result.first == 0 && parser.status != DfuUtilParser::one_dfu_device)
        __builtin_trap();

    // The same bytes as the listing's standard error.
    QString const reason = DFU::open_refusal(listing);
    if (reason.size() > 80 || reason.contains('\n'))
        __builtin_trap();
    return 0;
}
