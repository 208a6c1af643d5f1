#pragma once

#include "dfu/device_operations.h"

// How one upgrade, or one check of a unit, ended. The flow, the record and the bench tool
// share this one vocabulary.
enum class Outcome {
    done,              // written (or found) and verified
    differs,           // the read-back differs from the carried image
    write_failed,      // dfu-util ended before every block was sent, or the old image is back
    not_back,          // written, and not seen again in time; it may still come back
    check_interrupted, // the read-back ended early: nothing is known of the unit's flash
    interrupted,       // ended without a verdict: stopped, or another unit came
};

// What a read-back tells: done, differs or check_interrupted.
Outcome outcome_of(DFU::Readback verdict);

// The outcome's text in the upgrade record, e.g. "write failed". Plain ASCII, never empty.
char const* record_text(Outcome outcome);
