#include "flash/bench_listing.h"

#include "dfu/dfu_util_parser.h"

namespace Flash {

QString refusal_text(QString const& libusb_error) {
    if (libusb_error == "LIBUSB_ERROR_ACCESS")
        return "no permission";
    if (libusb_error == "LIBUSB_ERROR_BUSY")
        return "busy";
    return libusb_error;
}

Listing list_bus(DFU::Address const& where) {
    DFU::Listing const listed = DFU::list_units(where);
    Listing listing;
    listing.ran = listed.ran;
    for (DfuUtilParser::ListedUnit const& unit : DfuUtilParser(listed.output).units)
        listing.units.append({unit.path, unit.serial});
    for (auto const& [devnum, reason] : listed.refusals)
        listing.refusals.append("devnum " + devnum + ": " + refusal_text(reason));
    return listing;
}

QString serial_on_port(QString const& port) {
    for (ListedUnit const& unit : list_bus(DFU::Address::at_port(port)).units)
        if (unit.port == port)
            return unit.serial;
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
    for (QString const& name : names) {
        bool const by_serial = name.startsWith("serial=");
        QString const key = by_serial ? name.mid(7) : name;
        QVector<ListedUnit> matches;
        for (ListedUnit const& unit : listing.units)
            if (by_serial ? unit.serial.compare(key, Qt::CaseInsensitive) == 0 : unit.port == key)
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
