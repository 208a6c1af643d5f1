#pragma once

#include <QStringList>

namespace Flash {

// The exit statuses of kelvora-flash; the manual page lists them.
enum Exit {
    all_done = 0,      // every unit ended done or already current
    unit_failed = 1,   // a unit failed, or a unit named on the command line was skipped
    usage_error = 2,   // a usage error or an ambiguous unit
    no_unit = 3,       // no unit matched
    ground_failed = 4, // the working folder, the carried dfu-util, or the window is running
    report_lost = 5,   // the report could not be written: standard output closed
};

// The whole program after the signal watch and the application object exist.
int bench_main(QStringList const& arguments);

} // namespace Flash
