#include "flash/station_program.h"

#include "bus/unit_watch.h"
#include "desktop/sleep_inhibitor.h"
#include "flash/bench_program.h"
#include "flash/station.h"
#include "flash/station_reporter.h"
#include "system/quit_on_signal.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <cstdio>

namespace Flash {

namespace {

int refuse(Exit status, QString const& why) {
    std::fprintf(stderr, "kelvora-flash: %s\n", why.toLocal8Bit().constData());
    return status;
}

} // namespace

int run_station(BenchOptions const& options, Listing const& present, JobSettings const& settings) {
    if (!Bus::udev_running())
        return refuse(ground_failed, "udev does not run here, and the station learns of each "
                                     "unit plugged in from udev; use upgrade instead");
    SlotTable const slot_table =
        read_slots(options.slots_file.isEmpty() ? default_slots_file() : options.slots_file);
    if (!slot_table.error.isEmpty())
        return refuse(usage_error, slot_table.error);
    // Before the listing's units are taken, so that none that arrives meanwhile is missed.
    Bus::UnitWatch watch;
    if (!watch.watching())
        return refuse(ground_failed, "cannot follow udev's events");

    Station station(settings, slot_table, options.units);
    StationReporter reporter(&station, Reporter::mode_for(options.json, stdout));
    QObject::connect(&watch, &Bus::UnitWatch::unit_arrived, &station, &Station::unit_arrived);
    QObject::connect(&watch, &Bus::UnitWatch::unit_left, &station, &Station::unit_left);
    reporter.armed();
    for (ListedUnit const& unit : present.units)
        station.unit_arrived(unit.port);
    // The same sleep lock as the window's, while any unit is under way.
    SleepInhibitor awake(nullptr);
    QObject::connect(&station, &Station::busy_changed, &awake, &SleepInhibitor::hold);
    station.arm();

    // Until a termination signal; then no unit is started, and those under way end.
    quit_event_loop_on_termination_signals();
    QCoreApplication::exec();
    station.disarm();
    if (station.busy()) {
        QEventLoop rest;
        QObject::connect(&station, &Station::idle, &rest, &QEventLoop::quit);
        rest.exec();
    }
    reporter.summary();
    return station.counts().failed > 0 ? unit_failed : all_done;
}

} // namespace Flash
