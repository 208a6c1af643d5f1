#pragma once

#include "control/outcome.h"
#include "control/upgrade_watch.h"

#include <QString>

// The id of the settings text that the status line shows for an outcome, with %1 := the
// product name; empty for an outcome that the window tells otherwise (done, interrupted).
QString outcome_label(Outcome outcome);
// The same for a result of the watch; empty also for a unit not back that no longer has the
// window: another unit came, or the run ends.
QString outcome_label(UpgradeResult const& result);
