#pragma once

#include "dfu/command.h"

#include <QString>
#include <QVector>

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

// A DfuSe unit that dfu-util saw but could not open, from the listing's standard error:
//   dfu-util: Cannot open DFU device 0483:df11 found on devnum 3 (LIBUSB_ERROR_ACCESS)
// "LIBUSB_ERROR_ACCESS": no permission (no udev rule); "LIBUSB_ERROR_BUSY": another program.
struct Refusal {
    QString devnum;
    QString reason;
};

// Every such line, in order.
QVector<Refusal> open_refusals(QString const& error_output);

// The reason of the first such line; empty when there is none.
QString open_refusal(QString const& error_output);

// One run of the listing command, limited to the addressed unit when one is named; within
// limit_ms when that is above 0 (a unit that hangs when it is opened holds the listing).
struct Listing {
    bool ran = false; // dfu-util ran and ended with 0
    QString output;   // what it listed
    QVector<Refusal> refusals;
};

Listing list_units(Address const& unit = Address(), int limit_ms = 0);

// make_scan, and in *refusal why a unit could not be opened (empty when every unit could).
ScanResult make_scan(QString* refusal);

} // namespace DFU
