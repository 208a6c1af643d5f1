#pragma once

#include <QString>
#include <QStringList>

namespace Flash {

// kelvora-flash list [--json]
// kelvora-flash check [UNIT... | --all] [--jobs N] [--json]
// kelvora-flash upgrade (UNIT... | --all) [--jobs N] [--dry-run] [--json]
// kelvora-flash station [PORT...] [--json] [--slots FILE]
struct BenchOptions {
    QString command; // list, check, upgrade or station
    QStringList units;
    QString slots_file; // station: the slots file; empty: the default one
    bool all = false;
    bool dry_run = false;
    bool json = false;
    bool verbose = false; // the runner's messages on standard error
    bool help = false;
    int jobs = 0;  // 0: every named unit at once
    QString error; // not empty: a usage error

    // --all, or check without units.
    bool every_unit() const { return all || (command == "check" && units.isEmpty()); }
};

BenchOptions parse_bench_options(QStringList const& arguments);

extern char const* const bench_usage;

} // namespace Flash
