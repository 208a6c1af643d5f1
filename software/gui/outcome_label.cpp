#include "gui/outcome_label.h"

QString outcome_label(Outcome outcome) {
    switch (outcome) {
    case Outcome::differs:
        return "status_verifyFailed";
    case Outcome::write_failed:
        return "status_writeFailed";
    case Outcome::not_back:
        return "status_notBack";
    case Outcome::check_interrupted:
        return "status_checkInterrupted";
    case Outcome::done:
    case Outcome::interrupted:
        break;
    }
    return {};
}

QString outcome_label(UpgradeResult const& result) {
    if (result.outcome == Outcome::not_back && !result.may_return)
        return {};
    return outcome_label(result.outcome);
}
