#include "flash/bench_options.h"

#include "flash/slots.h"

namespace Flash {

char const* const bench_usage =
    "usage: kelvora-flash list [--json]\n"
    "       kelvora-flash check [UNIT... | --all] [--jobs N] [--json]\n"
    "       kelvora-flash upgrade (UNIT... | --all) [--jobs N] [--dry-run] [--json]\n"
    "       kelvora-flash station [PORT...] [--json] [--slots FILE]\n"
    "UNIT is a port path (1-1.2) or serial=XXXX. See kelvora-flash(1).\n";

BenchOptions parse_bench_options(QStringList const& arguments) {
    BenchOptions options;
    for (int i = 0; i < arguments.size() && options.error.isEmpty(); ++i) {
        QString const& word = arguments[i];
        if (word == "--json") {
            options.json = true;
        } else if (word == "--all") {
            options.all = true;
        } else if (word == "--dry-run") {
            options.dry_run = true;
        } else if (word == "--verbose" || word == "-v") {
            options.verbose = true;
        } else if (word == "--help" || word == "-h") {
            options.help = true;
        } else if (word == "--jobs" || word == "-j") {
            bool ok = false;
            options.jobs = arguments.value(++i).toInt(&ok);
            if (!ok || options.jobs < 1)
                options.error = "--jobs needs a number of at least 1";
        } else if (word == "--slots") {
            if (i + 1 >= arguments.size())
                options.error = "--slots needs a file";
            else
                options.slots_file = arguments[++i];
        } else if (word.startsWith("-")) {
            options.error = "unknown option " + word;
        } else if (options.command.isEmpty()) {
            options.command = word;
        } else {
            options.units.append(word);
        }
    }
    if (!options.error.isEmpty() || options.help)
        return options;
    bool const upgrade = options.command == "upgrade";
    bool const list = options.command == "list";
    bool const station = options.command == "station";
    if (station) {
        for (QString const& port : options.units)
            if (!is_port_path(port))
                options.error = "station takes port paths, not " + port;
        if (options.all || options.dry_run || options.jobs > 0)
            options.error = "station takes no --all, --dry-run or --jobs";
        return options;
    }
    if (!options.slots_file.isEmpty())
        options.error = "--slots belongs to station";
    else if (!list && options.command != "check" && !upgrade)
        options.error =
            options.command.isEmpty() ? "no command" : "unknown command " + options.command;
    else if (list && (!options.units.isEmpty() || options.jobs > 0 || options.all))
        options.error = "list takes no units";
    else if (options.dry_run && !upgrade)
        options.error = "--dry-run belongs to upgrade";
    else if (upgrade && options.all == !options.units.isEmpty())
        options.error = "upgrade needs either units or --all";
    else if (options.all && !options.units.isEmpty())
        options.error = "check takes either units or --all";
    return options;
}

} // namespace Flash
