#include "flash/bench_listing.h"

#include "dfu/command.h"
#include "dfu/dfu_util_parser.h"

#include <QRegularExpression>

namespace Flash {

QString refusal_text(QString const& libusb_error) {
    if (libusb_error == "LIBUSB_ERROR_ACCESS")
        return "no permission";
    if (libusb_error == "LIBUSB_ERROR_BUSY")
        return "busy";
    return libusb_error;
}

Listing list_bus() {
    Listing listing;
    QByteArray errors;
    DFU::OutputTaps taps;
    taps.error_output = &errors;
    DFU::Result const result = DFU::run_command(DFU::list, {}, taps);
    listing.ran = result.first == 0;
    for (DfuUtilParser::ListedUnit const& unit : DfuUtilParser(result.second).units)
        listing.units.append({unit.path, unit.serial});
    static QRegularExpression const refused(
        "Cannot open DFU device 0483:df11 found on devnum (\\d+) \\((LIBUSB_ERROR_\\w+)\\)");
    auto match = refused.globalMatch(QString::fromUtf8(errors));
    while (match.hasNext()) {
        QRegularExpressionMatch const one = match.next();
        listing.refusals.append("devnum " + one.captured(1) + ": " + refusal_text(one.captured(2)));
    }
    return listing;
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
