#pragma once

#include "flash/bench_event.h"
#include "flash/bench_listing.h"

#include <QVector>

#include <functional>

namespace Flash {

// Runs job for every unit, at most `jobs` at once (0: all at once), each on a thread of its
// own, and returns each unit's last event in the units' order.
QVector<Event> run_side_by_side(QVector<ListedUnit> const& units, int jobs,
                                std::function<Event(ListedUnit const&)> const& job);

} // namespace Flash
