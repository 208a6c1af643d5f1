#include "flash/outcome_text.h"

#include "app/upgrade_record.h"

namespace Flash {

QString record_text(Outcome outcome) {
    switch (outcome) {
    case Outcome::done:
        return RecordedOutcome::done;
    case Outcome::differs:
        return RecordedOutcome::differs;
    case Outcome::write_failed:
        return RecordedOutcome::write_failed;
    case Outcome::check_interrupted:
        return RecordedOutcome::check_interrupted;
    case Outcome::interrupted:
        break;
    }
    return RecordedOutcome::interrupted;
}

} // namespace Flash
