#pragma once

#include "flash/bench_event.h"

#include <QMap>
#include <QMutex>
#include <QString>
#include <QVector>

#include <cstdio>

namespace Flash {

// Prints the bench's events to standard output, from any thread, one at a time:
//   terminal  one line per unit, redrawn in place as its progress moves;
//   plain     one line per event (progress every 25 %), no carriage returns;
//   json      one JSON object per event and line (JSON Lines).
class Reporter {
public:
    enum Mode { terminal, plain, json };

    explicit Reporter(Mode mode, FILE* out = stdout);

    // terminal on a terminal, plain otherwise; json when asked for.
    static Mode mode_for(bool want_json, FILE* out);

    void report(Event const& event);
    // The last line: counts of units that ended done, failed and skipped.
    void summary(int done, int failed, int skipped);

    // One object as a JSON Lines line, its keys in the order given; every control character
    // of a text escaped as \u00NN.
    static QByteArray json_line(Event const& event);
    // One event's line in terminal and plain mode, control characters written as \xNN.
    static QString plain_text(Event const& event);

private:
    void redraw();
    static QString raw_text(Event const& event);

    Mode mode_;
    FILE* out_;
    QMutex mutex_;
    QVector<QString> order_;     // terminal: the units in the order first seen
    QMap<QString, QString> row_; // terminal: each unit's line
    int drawn_ = 0;              // terminal: lines drawn last time
    QMap<QString, int> shown_;   // plain: last progress step printed per unit and kind
};

} // namespace Flash
