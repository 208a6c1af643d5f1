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
// of the listing, in listing order, whatever the status. make_scan counts a unit that
// dfu-util saw but could not open as attached: beside it, no unit is the only one.
using ScanResult = std::pair<int, std::vector<DeviceItem>>;

// The scan result for a listing text.
ScanResult scan_for_devices(QString const& output);

// Runs the listing command and scans its output. A failed command gives 1 and no items.
// Blocks the calling thread while dfu-util runs.
ScanResult make_scan();

// Why dfu-util could not open a DfuSe unit that it saw, from what the listing wrote on
// standard error, for example
//   dfu-util: Cannot open DFU device 0483:df11 found on devnum 3 (LIBUSB_ERROR_ACCESS)
// gives "LIBUSB_ERROR_ACCESS" (this user lacks the permission: no udev rule), and
// "LIBUSB_ERROR_BUSY" means that another program holds the unit. The reason of the first
// such line; empty when there is none.
QString open_refusal(QString const& error_output);

// make_scan, and in *refusal why a unit could not be opened (empty when every unit could).
ScanResult make_scan(QString* refusal);

} // namespace DFU
