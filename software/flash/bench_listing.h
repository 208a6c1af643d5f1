#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// The units on the bus, listed once with "dfu-util -l" before any unit is written, and the
// choice of units that the command line names.
namespace Flash {

struct ListedUnit {
    QString port;        // as dfu-util prints it in path=
    QString serial;      // as listed: any text, "UNKNOWN" when dfu-util could not read it
    QStringList serials; // every serial the listing shows on this port
    // Not empty: why nothing is done with this unit, although it is on the bus: the listing
    // shows another unit's serial or lines on its port, or it hung when listed.
    QString refused;
    QString slot; // the bench's name for the port; empty: none
};

struct Listing {
    bool ran = false; // dfu-util could be run
    QVector<ListedUnit> units;
    QStringList refusals; // units seen but not opened: "devnum 3: no permission"
};

// How long the listing of the whole bus may take before it is given up as stuck, and how
// long then each port's own listing may take.
extern int bus_listing_ms;
extern int port_listing_ms;

// Lists every DfuSe unit on the bus. One unit that hangs when dfu-util opens it would hold
// the whole listing: when the listing does not end within bus_listing_ms, each DfuSe port
// that the USB bus shows is listed alone ("-p", which opens no other unit), and a port whose
// own listing does not end either is listed as refused, by its port.
Listing list_bus();

// The unit that a listing of port alone shows, within port_listing_ms; its port is empty
// when none is listed there (or the listing did not end).
ListedUnit unit_on_port(QString const& port);

// The ports of the DfuSe units (0483:df11) on the USB bus, read from the bus's device list
// without opening any unit.
QStringList dfuse_ports();

// The units of one listing text: listed is the port that was asked for alone, or empty for
// the whole bus. On a port listed alone, lines of any other port were printed by that
// unit's own strings.
QVector<ListedUnit> listed_units(QString const& output, QString const& listed = {});

// Why dfu-util could not open a unit, in the bench's words: "no permission", "busy".
QString refusal_text(QString const& libusb_error);

struct Selection {
    QVector<ListedUnit> units;
    QStringList not_found; // named units that are not on the bus
    QString ambiguous;     // a "serial=" that matches more than one unit; empty: none
};

// Each name is a port path ("1-1.2") or "serial=XXXX" (case ignored). A serial is taken only
// when exactly one unit reports it; the tool never guesses between units. Only a serial of
// hex digits names a unit: "UNKNOWN", an empty serial or any other text never matches.
Selection select_units(Listing const& listing, QStringList const& names);

} // namespace Flash
