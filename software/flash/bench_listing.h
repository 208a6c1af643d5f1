#pragma once

#include "dfu/device_scan.h"

#include <QString>
#include <QStringList>
#include <QVector>

// The units on the bus, listed once with "dfu-util -l" before any unit is written, and the
// choice of units that the command line names.
namespace Flash {

struct ListedUnit {
    QString port; // as dfu-util prints it in path=
    QString serial;
};

struct Listing {
    bool ran = false; // dfu-util could be run
    QVector<ListedUnit> units;
    QStringList refusals; // units seen but not opened: "devnum 3: no permission"
};

// The units on the bus, or only the one on the addressed port.
Listing list_bus(DFU::Address const& where = DFU::Address());

// The serial of the unit listed on port, or an empty text when none is. Lists only that port.
QString serial_on_port(QString const& port);

// Why dfu-util could not open a unit, in the bench's words: "no permission", "busy".
QString refusal_text(QString const& libusb_error);

struct Selection {
    QVector<ListedUnit> units;
    QStringList not_found; // named units that are not on the bus
    QString ambiguous;     // a "serial=" that matches more than one unit; empty: none
};

// Each name is a port path ("1-1.2") or "serial=XXXX" (case ignored). A serial is taken only
// when exactly one unit reports it; the tool never guesses between units.
Selection select_units(Listing const& listing, QStringList const& names);

} // namespace Flash
