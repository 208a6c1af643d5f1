#pragma once

#include <QString>

#include <utility>
#include <vector>

namespace DFU {

// One attached unit, identified by the serial that dfu-util lists for it (case kept).
struct DeviceItem {
    QString serial;
};

// Status 0 when exactly one usable unit is attached, 1 otherwise, and one item per serial
// of the listing, in listing order, whatever the status.
using ScanResult = std::pair<int, std::vector<DeviceItem>>;

// The scan result for a listing text.
ScanResult scan_for_devices(QString const& output);

// Runs the listing command and scans its output. A failed command gives 1 and no items.
// Blocks the calling thread while dfu-util runs.
ScanResult make_scan();

} // namespace DFU
