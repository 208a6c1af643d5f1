#pragma once

#include "flash/bench_listing.h"
#include "flash/bench_options.h"
#include "flash/unit_job.h"

namespace Flash {

// kelvora-flash station: arms the bench until a termination signal, handles each unit that
// udev reports arriving, then lets every unit under way end and prints the summary. Exit
// status: all_done when no unit failed, unit_failed otherwise; usage_error for a slots file
// at fault; ground_failed where udev does not run. `present` is the one listing at the start:
// its units are handled as if they had just arrived.
int run_station(BenchOptions const& options, Listing const& present, JobSettings const& settings);

} // namespace Flash
