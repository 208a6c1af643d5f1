#include "flash/bench_program.h"

#include "bus/unit_watch.h"
#include "control/upgrade_record.h"
#include "desktop/sleep_inhibitor.h"
#include "dfu/device_operations.h"
#include "dfu/dfu_util.h"
#include "files/files.h"
#include "files/support_misc.h"
#include "flash/bench_options.h"
#include "flash/job_pool.h"
#include "flash/reporter.h"
#include "flash/station_program.h"
#include "flash/unit_job.h"
#include "launch/device_startup.h"
#include "system/process_lock.h"
#include "system/quit_on_signal.h"

#include <QDebug>

#include <cstdio>

namespace Flash {

namespace {

bool verbose = false;

// The runner's messages would mix with the report on standard output; they go to standard
// error, and only warnings unless asked for.
void message_handler(QtMsgType type, QMessageLogContext const&, QString const& message) {
    if (verbose || (type != QtDebugMsg && type != QtInfoMsg))
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

int refuse(Exit status, QString const& why) {
    std::fprintf(stderr, "kelvora-flash: %s\n", why.toLocal8Bit().constData());
    return status;
}

// A unit that no job takes: one that dfu-util could not open, or one named but not found.
void report_skipped(Reporter& reporter, QString const& unit, QString const& reason) {
    Event skipped;
    skipped.unit = unit;
    skipped.kind = Event::skipped;
    skipped.reason = reason;
    reporter.report(skipped);
}

// A unit that the listing does not let the bench trust: reported by its port, never opened.
Event refused_event(ListedUnit const& unit) {
    Event refused;
    refused.unit = unit.port;
    refused.serial = unit.serial;
    refused.kind = Event::failed;
    refused.reason = unit.refused;
    return refused;
}

int list_units(Listing const& listing, JobSettings const& settings, Reporter& reporter) {
    for (ListedUnit const& unit : listing.units)
        reporter.report(unit.refused.isEmpty()
                            ? found_event(unit, read_identity(unit), settings.carried)
                            : refused_event(unit));
    for (QString const& refusal : listing.refusals)
        report_skipped(reporter, {}, refusal);
    return listing.units.isEmpty() && listing.refusals.isEmpty() ? no_unit : all_done;
}

int run_units(BenchOptions const& options, Listing const& listing, JobSettings const& settings,
              Reporter& reporter) {
    bool const everything = options.every_unit();
    Selection selection =
        everything ? Selection{listing.units, {}, {}} : select_units(listing, options.units);
    if (!selection.ambiguous.isEmpty())
        return refuse(usage_error, selection.ambiguous + " matches more than one unit; name it by "
                                                         "its port");
    if (selection.units.isEmpty())
        return refuse(no_unit, "no unit matched");

    Sink const sink = [&reporter](Event const& event) { reporter.report(event); };
    bool const upgrade = options.command == "upgrade";
    // The same sleep lock as the window's, for as long as units may be written.
    SleepInhibitor awake(nullptr);
    if (upgrade && !settings.dry_run)
        awake.acquire();
    QVector<Event> const last =
        run_side_by_side(selection.units, options.jobs, [&](ListedUnit const& unit) {
            if (!unit.refused.isEmpty()) {
                Event const refused = refused_event(unit);
                sink(refused);
                return refused;
            }
            return upgrade ? upgrade_unit(unit, settings, sink) : check_unit(unit, settings, sink);
        });
    awake.release();

    int done = 0, failed = 0, skipped = 0;
    bool failing = false;
    for (QString const& name : selection.not_found) {
        report_skipped(reporter, name, "not found");
        ++skipped;
        failing = true;
    }
    for (Event const& event : last) {
        done += event.kind == Event::done;
        failed += event.kind == Event::failed;
        bool const was_skipped = event.kind == Event::skipped;
        skipped += was_skipped;
        bool const meant = event.reason == "dry run: would write";
        failing = failing || event.kind == Event::failed ||
                  (was_skipped && !meant && (!everything || event.reason == "stopped"));
    }
    // A unit that could not be opened is a unit that was meant and is not done.
    if (everything)
        for (QString const& refusal : listing.refusals) {
            report_skipped(reporter, {}, refusal);
            ++skipped;
            failing = true;
        }
    reporter.summary(done, failed, skipped);
    return failing ? unit_failed : all_done;
}

} // namespace

int bench_main(QStringList const& arguments) {
    BenchOptions const options = parse_bench_options(arguments);
    if (options.help) {
        std::fputs(bench_usage, stdout);
        return all_done;
    }
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "kelvora-flash: %s\n%s", options.error.toLocal8Bit().constData(),
                     bench_usage);
        return usage_error;
    }
    verbose = options.verbose;
    qInstallMessageHandler(message_handler);

    if (!Files::external_dir.isValid())
        return refuse(ground_failed,
                      "no safe working folder: " + Files::external_dir.errorString());
    // The window lists every unit while it runs, which would open units under a write.
    static ProcessLock lock;
    switch (lock.take_instance()) {
    case ProcessLock::Taken:
        break;
    case ProcessLock::HeldByOther:
        return refuse(ground_failed, "the Kelvora Firmware Upgrade Tool or another kelvora-flash "
                                     "is running for this user; they cannot share the units");
    case ProcessLock::Failed:
        return refuse(ground_failed,
                      "cannot lock " + ProcessLock::instance_path() + ": " + lock.error());
    }
    if (!init_device_side())
        return refuse(ground_failed, "cannot extract " + Files::extraction_error());
    if (!DFU::dfu_util::execution_test())
        return refuse(ground_failed, "the carried dfu-util does not run");

    JobSettings settings = carried_job_settings();
    settings.dry_run = options.dry_run;
    if (settings.image.isEmpty() || !settings.carried.valid)
        return refuse(ground_failed, "the carried firmware cannot be read");
    // Read on this thread, which serves its events while the units' jobs run.
    Bus::UnitWatch watch;
    Bus::Arrivals arrivals;
    if (watch.watching()) {
        QObject::connect(&watch, &Bus::UnitWatch::unit_arrived, &watch,
                         [&arrivals](QString const& port) { arrivals.note(port); });
        settings.arrivals = &arrivals;
    }

    Listing const listing = list_bus();
    if (!listing.ran)
        return refuse(ground_failed, "the carried dfu-util cannot list the units");
    Reporter reporter(Reporter::mode_for(options.json, stdout));
    int const status = options.command == "list" ? list_units(listing, settings, reporter)
                       : options.command == "station"
                           ? run_station(options, listing, settings)
                           : run_units(options, listing, settings, reporter);
    // Whoever reads the report must learn that it did not arrive whole.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return refuse(report_lost, "the report could not be written to standard output");
    return status;
}

} // namespace Flash
