#pragma once

#include <QString>

namespace Flash {

// One thing that happened to one unit, as the bench reports it.
struct Event {
    enum Kind { found, skipped, writing, verifying, done, failed, left }; // left: a station's
    QString unit;                                                         // the port path
    QString slot; // the name of the bench's slot on that port; empty: none
    QString serial;
    Kind kind = found;
    int percent = -1; // writing and verifying: 0 to 100; -1: none
    QString reason; // skipped: why; failed: the outcome's text; done: "written", "already current"
    // found: what was read from the unit
    QString product;
    QString revision;
    bool carried_for_it = false;
};

char const* kind_text(Event::Kind kind);

} // namespace Flash
