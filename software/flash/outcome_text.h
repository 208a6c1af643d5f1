#pragma once

#include <QString>

namespace Flash {

// What became of one unit's write, as the upgrade record names it.
enum class Outcome { done, differs, write_failed, check_interrupted, interrupted };

// The record's text for the outcome: the same words the window writes.
QString record_text(Outcome outcome);

} // namespace Flash
