#include "control/outcome.h"

Outcome outcome_of(DFU::Readback verdict) {
    return verdict == DFU::Readback::matches   ? Outcome::done
           : verdict == DFU::Readback::differs ? Outcome::differs
                                               : Outcome::check_interrupted;
}

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
