// The bench window in one process with a probe on the GUI thread: a 5 ms precise timer whose
// lateness is the time the GUI thread could not answer. Every unit on the virtual bus named by
// KELVORA_VUSB_DIR (LD_PRELOAD set by the caller, inside udev_namespace.sh) is handled at once;
// prints key=value lines on standard output.
//
//   bench_window_probe window    the bench window over its station, armed once every unit
//                                waits in its row; stalls from arming to the last verdict
//   bench_window_probe station   the station alone on the main thread, as kelvora-flash
//                                station runs it
#include "bench_window/bench_session.h"
#include "bench_window/bench_window.h"
#include "flash/bench_listing.h"
#include "flash/station.h"
#include "flash/unit_job.h"
#include "launch/device_startup.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>

namespace {

QElapsedTimer clock_;
double now_ms() {
    return double(clock_.nsecsElapsed()) / 1e6;
}

double thread_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

long minor_faults = 0; // the GUI thread's page faults, at the last call of thread_switches()

// The GUI thread's voluntary (it blocked: on the X server, a lock, ...) and involuntary (the
// processor was taken from it) context switches so far.
QPair<long, long> thread_switches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    minor_faults = usage.ru_minflt;
    return {usage.ru_nvcsw, usage.ru_nivcsw};
}

// The longest gap between two ticks, and how much of it the GUI thread spent on the processor
// (the rest it waited: for the processor, taken by other programs, or blocked).
struct StallProbe {
    QTimer timer;
    double last_ms = -1;
    double last_cpu_ms = 0;
    QPair<long, long> last_switches;
    long last_faults = 0;
    long longest_faults = 0;
    QPair<long, long> longest_switches;
    bool measuring = false;
    double longest = 0;
    double longest_busy = 0;
    double most_busy = 0;
    int ticks = 0;
    void start() {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            double const t = now_ms();
            double const cpu = thread_cpu_ms();
            QPair<long, long> const switches = thread_switches();
            if (measuring && last_ms >= 0) {
                if (t - last_ms - 5 > longest) {
                    longest = t - last_ms - 5;
                    longest_busy = cpu - last_cpu_ms;
                    longest_faults = minor_faults - last_faults;
                    longest_switches = {switches.first - last_switches.first,
                                        switches.second - last_switches.second};
                }
                most_busy = std::max(most_busy, cpu - last_cpu_ms);
                ++ticks;
            }
            last_ms = t;
            last_cpu_ms = cpu;
            last_switches = switches;
            last_faults = minor_faults;
        });
        timer.start(5);
    }
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    bool const window_mode = argc > 1 && QByteArray(argv[1]) == "window";
    if (!init_device_side()) {
        std::fprintf(stderr, "cannot extract the carried files\n");
        return 2;
    }
    qInstallMessageHandler([](QtMsgType, QMessageLogContext const&, QString const&) {});
    clock_.start();
    StallProbe probe;
    probe.start();
    double started = 0;
    int units = 0;
    auto const finish = [&](int verdicts) {
        if (verdicts < units)
            return;
        std::printf("mode=%s\nunits=%d\nwall_ms=%.0f\nlongest_stall_ms=%.1f\n"
                    "busy_in_longest_ms=%.1f\nmost_busy_gap_ms=%.1f\nticks=%d\n"
                    "blocked_in_longest=%ld\npreempted_in_longest=%ld\nfaults_in_longest=%ld\n",
                    window_mode ? "window" : "station", units, now_ms() - started, probe.longest,
                    probe.longest_busy, probe.most_busy, probe.ticks, probe.longest_switches.first,
                    probe.longest_switches.second, probe.longest_faults);
        app.quit();
    };

    Settings::GUI const gui = Settings::make_GUI(":resources/settings_GUI.json");
    BenchWindow window(gui);
    BenchSession session(Flash::carried_job_settings(), {}, &window);
    Flash::Station station(Flash::carried_job_settings(), {}, {});
    if (window_mode) {
        window.show();
        session.start();
        // Armed once every unit of the bus waits in its row.
        QTimer* const poll = new QTimer(&app);
        QObject::connect(poll, &QTimer::timeout, [&] {
            SlotModel const& model = *window.model;
            int waiting = 0;
            for (int row = 0; row < model.rowCount(); ++row)
                waiting += model.row(row).state == SlotRow::waiting;
            if (waiting == 0 || waiting < qEnvironmentVariableIntValue("KELVORA_PROBE_UNITS"))
                return;
            poll->stop();
            units = waiting;
            started = now_ms();
            probe.measuring = true;
            window.arm_switch->setChecked(true);
        });
        poll->start(50);
        QObject::connect(window.model, &SlotModel::counts_changed,
                         [&](SlotCounts const& c) { finish(c.done + c.failed + c.skipped); });
    } else {
        Flash::Listing const listing = Flash::list_bus();
        units = listing.units.size();
        QObject::connect(&station, &Flash::Station::counts_changed,
                         [&](Flash::Counts const& c) { finish(c.done + c.failed + c.skipped); });
        started = now_ms();
        probe.measuring = true;
        for (Flash::ListedUnit const& unit : listing.units)
            station.unit_arrived(unit.port);
        station.arm();
    }
    return app.exec();
}
