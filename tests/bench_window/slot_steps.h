#pragma once

#include "bench_window/slot_model.h"

#include <QStringList>

// One step a test feeds the model, as a line of words:
//   "arrive P", "leave P", "gone P" (the bench's event of a departure), "found P SERIAL PRODUCT
//   REVISION", "writing P PERCENT", "verifying P PERCENT", "done P REASON", "failed P REASON",
//   "skipped P REASON".
inline void feed(SlotModel& model, QString const& step) {
    QStringList const words = step.split(' ');
    QString const& port = words.value(1);
    if (words[0] == "arrive")
        return model.unit_arrived(port);
    if (words[0] == "leave")
        return model.unit_left(port);
    Flash::Event event;
    event.unit = port;
    if (words[0] == "gone") {
        event.kind = Flash::Event::left;
    } else if (words[0] == "found") {
        event.kind = Flash::Event::found;
        event.serial = words.value(2);
        event.product = words.value(3);
        event.revision = words.value(4);
    } else if (words[0] == "writing" || words[0] == "verifying") {
        event.kind = words[0] == "writing" ? Flash::Event::writing : Flash::Event::verifying;
        event.percent = words.value(2).toInt();
    } else {
        event.kind = words[0] == "done"     ? Flash::Event::done
                     : words[0] == "failed" ? Flash::Event::failed
                                            : Flash::Event::skipped;
        event.reason = words.mid(2).join(' ');
    }
    model.unit_event(event);
}
