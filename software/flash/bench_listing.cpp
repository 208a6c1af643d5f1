#include "flash/bench_listing.h"

#include "device/unit_text.h"
#include "dfu/device_scan.h"
#include "dfu/dfu_util_parser.h"
#include "system/quit_on_signal.h"

#include <libusb.h>

#include <algorithm>

namespace Flash {

int bus_listing_ms = 10000;
int port_listing_ms = 5000;

namespace {

// One dfu-util listing within limit_ms, of the whole bus or of one port; false when it did
// not end with exit code 0.
bool run_listing(DFU::Address const& where, int limit_ms, Listing* listing, QString* output) {
    DFU::Listing const listed = DFU::list_units(where, limit_ms);
    for (auto const& [devnum, reason] : listed.refusals)
        listing->refusals.append("devnum " + devnum + ": " + refusal_text(reason));
    *output = listed.output;
    return listed.ran;
}

QString why_ambiguous(DfuUtilParser::ListedUnit const& unit) {
    if (unit.serials.size() > 1) {
        QStringList shown;
        for (QString const& serial : unit.serials)
            shown << "\"" + Device::loggable(serial) + "\"";
        return "the listing shows serials " + shown.join(" and ") +
               " on this port; nothing is written to it";
    }
    return "the listing shows this port's lines between another port's; nothing is written "
           "to it";
}

} // namespace

QString refusal_text(QString const& libusb_error) {
    if (libusb_error == "LIBUSB_ERROR_ACCESS")
        return "no permission";
    if (libusb_error == "LIBUSB_ERROR_BUSY")
        return "busy";
    return libusb_error;
}

QVector<ListedUnit> listed_units(QString const& output, QString const& listed) {
    QVector<ListedUnit> units;
    bool forged = false;
    for (DfuUtilParser::ListedUnit const& unit : DfuUtilParser(output).units) {
        if (!listed.isEmpty() && unit.path != listed) {
            forged = true;
            continue;
        }
        // Lines without a port cannot be told apart from the units that have one.
        if (unit.path.isEmpty())
            continue;
        units.append({unit.path,
                      unit.serial,
                      unit.serials,
                      unit.ambiguous() ? why_ambiguous(unit) : QString(),
                      {}});
    }
    if (forged)
        for (ListedUnit& unit : units)
            unit.refused = "its strings hold device lines of another port; nothing is written "
                           "to it";
    return units;
}

QStringList dfuse_ports() {
    QStringList ports;
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0)
        return ports;
    libusb_device** devices = nullptr;
    ssize_t const count = libusb_get_device_list(context, &devices);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) != 0 ||
            descriptor.idVendor != 0x0483 || descriptor.idProduct != 0xdf11)
            continue;
        uint8_t numbers[8];
        int const depth = libusb_get_port_numbers(devices[i], numbers, int(sizeof numbers));
        if (depth <= 0)
            continue;
        QStringList path;
        for (int d = 0; d < depth; ++d)
            path << QString::number(numbers[d]);
        ports << QString::number(libusb_get_bus_number(devices[i])) + "-" + path.join('.');
    }
    if (count >= 0)
        libusb_free_device_list(devices, 1);
    libusb_exit(context);
    return ports;
}

Listing list_bus() {
    Listing listing;
    QString output;
    if (run_listing(DFU::Address(), bus_listing_ms, &listing, &output)) {
        listing.ran = true;
        listing.units = listed_units(output);
        return listing;
    }
    // A stop cut the listing short: nothing is listed.
    if (pending_termination_signal() != 0)
        return listing;
    // A unit holds the listing; list each port alone so that it holds only its own.
    listing.refusals.clear();
    for (QString const& port : dfuse_ports()) {
        listing.ran = true;
        if (!run_listing(DFU::Address::at_port(port), port_listing_ms, &listing, &output)) {
            listing.units.append({port, {}, {}, "hangs when dfu-util lists it", {}});
            continue;
        }
        listing.units += listed_units(output, port);
    }
    return listing;
}

ListedUnit unit_on_port(QString const& port) {
    Listing ignored;
    QString output;
    if (run_listing(DFU::Address::at_port(port), port_listing_ms, &ignored, &output))
        for (ListedUnit const& unit : listed_units(output, port))
            return unit;
    return {};
}

Selection select_units(Listing const& listing, QStringList const& names) {
    Selection selection;
    auto take = [&selection](ListedUnit const& unit) {
        for (ListedUnit const& taken : selection.units)
            if (taken.port == unit.port)
                return;
        selection.units.append(unit);
    };
    auto const shows = [](ListedUnit const& unit, QString const& serial) {
        return std::any_of(unit.serials.begin(), unit.serials.end(), [&serial](QString const& s) {
            return DfuUtilParser::hex_serial(s) && s.compare(serial, Qt::CaseInsensitive) == 0;
        });
    };
    for (QString const& name : names) {
        bool const by_serial = name.startsWith("serial=");
        QString const key = by_serial ? name.mid(7) : name;
        QVector<ListedUnit> matches;
        for (ListedUnit const& unit : listing.units)
            if (by_serial ? shows(unit, key) : unit.port == key)
                matches.append(unit);
        if (matches.size() > 1) {
            selection.ambiguous = name;
            return selection;
        }
        if (matches.isEmpty())
            selection.not_found.append(name);
        else
            take(matches.first());
    }
    return selection;
}

} // namespace Flash
