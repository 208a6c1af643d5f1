#pragma once

#include "control/outcome.h"

#include <QString>

// The id of the settings text that the status line shows for an outcome, with %1 := the
// product name; empty for an outcome that the window tells otherwise (done, interrupted).
QString outcome_label(Outcome outcome);
