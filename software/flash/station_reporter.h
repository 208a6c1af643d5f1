#pragma once

#include "flash/reporter.h"
#include "flash/station.h"

#include <QObject>

#include <cstdio>

namespace Flash {

// Prints what a station does, on the station's thread:
//   terminal  one line per slot, kept in place (slot, serial, state, percent, verdict), and
//             a line with the counts;
//   plain     one line per event (progress every 25 %), the counts after each verdict;
//   json      the events of `upgrade` with the field "slot", and the events "armed" (first),
//             "left" (a unit unplugged), "counts" (after each verdict) and "summary" (last).
class StationReporter : public QObject {
    Q_OBJECT

public:
    StationReporter(Station* station, Reporter::Mode mode, FILE* out = stdout);

    // The station waits for units.
    void armed();
    // The last line: the counts.
    void summary();

private:
    void unit_event(Event const& event);
    void counts_changed(Counts const& counts);
    void write(QByteArray const& text);
    void redraw();
    QString slot_line(SlotView const& view) const;

    Station* station_;
    Reporter::Mode mode_;
    FILE* out_;
    int drawn_ = 0;            // terminal: lines drawn last time
    QMap<QString, int> shown_; // plain: last progress step printed per unit and kind
};

} // namespace Flash
