#include "control/outcome.h"

char const* record_text(Outcome outcome) {
    switch (outcome) {
    case Outcome::done:
        return "done";
    case Outcome::differs:
        return "differs";
    case Outcome::write_failed:
        return "write failed";
    case Outcome::not_back:
        return "not back";
    case Outcome::check_interrupted:
        return "check interrupted";
    case Outcome::interrupted:
        break;
    }
    return "interrupted";
}
