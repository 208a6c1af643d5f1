// The whole tool in one process, with a probe on the GUI thread: a 5 ms precise timer whose
// lateness is the time the GUI thread could not answer. Runs one upgrade and prints its
// figures as key=value lines on standard output.
//
//   upgrade_probe sim [-l]                 simulated unit (attached from the start)
//   upgrade_probe vusb <staged unit> [-l]  real dfu-util against the virtual bus named by
//                                       KELVORA_VUSB_DIR (LD_PRELOAD set by the caller);
//                                       the staged unit folder is moved onto the bus
//                                       ("plugged in") once the worker polls an empty bus
//   -l                                     the tool's log window takes every message
//
// Against a virtual unit, the unit is pulled out once "Done" shows, and the time until the
// window shows no unit is printed too. Where udev_namespace.sh runs the probe, plugging in and
// pulling out are announced as udev's events (the tool then follows them).
//
// Stalls are recorded from "connected" (the install button is offered) through "Done".
// Against a virtual unit it also compares the progress bar with the transfer: for the
// download and for the read-back, the largest gap between the bar's value and the share of
// the dfu-util run's time that has passed, and the same for the clock-driven bar that the
// tool showed before it read dfu-util's progress (100 s and 0.5 s).
#include "app/startup.h"
#include "control/flow_machine.h"
#include "control/worker.h"
#include "gui/install_button.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/progress_bar.h"

#include "udev_events.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int probe_period_ms = 5;
constexpr int give_up_ms = 180000;

QElapsedTimer clock_;

double now_ms() {
    return double(clock_.nsecsElapsed()) / 1e6;
}

// What the worker thread did and when.
struct Event {
    QString name;
    double at_ms;
};
std::mutex events_mutex;
std::vector<Event> events;

void record(QString const& name) {
    double const at = now_ms();
    std::lock_guard<std::mutex> lock(events_mutex);
    events.push_back({name, at});
}

void watch_worker() {
    struct Watched {
        void (SM_A::*signal)();
        char const* name;
    };
    static Watched const watched[] = {
        {&SM_A::sig_A0_entered, "A0"},           {&SM_A::sig_A1_entered, "A1"},
        {&SM_A::sig_A2_entered, "A2"},           {&SM_A::sig_A4_entered, "A4"},
        {&SM_A::sig_A5_entered, "A5"},           {&SM_A::sig_A6_entered, "A6"},
        {&SM_A::sig_A7_entered, "A7"},           {&SM_A::sig_scanning, "scan"},
        {&SM_A::sig_readingInfo, "reading"},     {&SM_A::sig_DevConn, "connected"},
        {&SM_A::sig_FwDownloaded, "downloaded"}, {&SM_A::sig_FwDownloading, "downloading"},
        {&SM_A::sig_FwUploading, "uploading"},   {&SM_A::sig_FwUploadedMatches, "matches"},
    };
    for (Watched const& w : watched) {
        QString const name = w.name;
        QObject::connect(
            sm_A, w.signal, sm_A, [name] { record(name); }, Qt::DirectConnection);
    }
}

double thread_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

long involuntary_switches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nivcsw;
}

// Lateness of each tick of the probe timer while `measuring`, and how much of each gap the
// GUI thread spent on the processor (the rest it was blocked, or another program ran).
struct StallProbe {
    QTimer timer;
    double last_ms = -1;
    double last_cpu_ms = 0;
    long last_switches = 0;
    bool measuring = false;
    std::vector<double> stalls;
    std::vector<double> busy;    // GUI thread CPU time within each gap
    std::vector<long> preempted; // involuntary context switches within each gap

    void start() {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
        timer.start(probe_period_ms);
    }
    void tick() {
        double const t = now_ms();
        double const cpu = thread_cpu_ms();
        long const switches = involuntary_switches();
        if (measuring && last_ms >= 0) {
            stalls.push_back(std::max(0.0, t - last_ms - probe_period_ms));
            busy.push_back(cpu - last_cpu_ms);
            preempted.push_back(switches - last_switches);
        }
        last_ms = t;
        last_cpu_ms = cpu;
        last_switches = switches;
    }
    size_t longest() const {
        return size_t(std::max_element(stalls.begin(), stalls.end()) - stalls.begin());
    }
    double percentile(double p) const {
        if (stalls.empty())
            return -1;
        std::vector<double> sorted = stalls;
        std::sort(sorted.begin(), sorted.end());
        auto const index = std::min(sorted.size() - 1, size_t(p * double(sorted.size())));
        return sorted[index];
    }
};

// The machine's own share: a plain thread that sleeps 5 ms at a time and records how late
// it wakes. A GUI stall that this thread saw at the same time came from the machine (other
// programs, the host), not from the tool.
class ControlThread {
public:
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        stopping_ = true;
        thread_.join();
    }
    double longest(double from, double to) {
        std::lock_guard<std::mutex> lock(mutex_);
        double worst = 0;
        for (auto const& [at, late] : lateness_)
            if (at >= from && at <= to)
                worst = std::max(worst, late);
        return worst;
    }

private:
    void run() {
        double last = now_ms();
        while (!stopping_) {
            timespec const period{0, probe_period_ms * 1000000L};
            nanosleep(&period, nullptr);
            double const t = now_ms();
            std::lock_guard<std::mutex> lock(mutex_);
            lateness_.emplace_back(t, std::max(0.0, t - last - probe_period_ms));
            last = t;
        }
    }
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<std::pair<double, double>> lateness_;
};

// Sum of the worker's waits and listings inside [from, to]: the gap after entering A1 or
// A4 is its sleep, the gap after "scan" is the listing.
struct WorkerTimes {
    double sleep_ms = 0;
    double listing_ms = 0;
    int sleeps = 0;
    int listings = 0;
};

WorkerTimes worker_times(double from, double to) {
    std::lock_guard<std::mutex> lock(events_mutex);
    WorkerTimes times;
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        double const begin = std::max(from, events[i].at_ms);
        double const end = std::min(to, events[i + 1].at_ms);
        if (end <= begin)
            continue;
        QString const& name = events[i].name;
        if (name == "A1" || name == "A4") {
            times.sleep_ms += end - begin;
            ++times.sleeps;
        } else if (name == "scan") {
            times.listing_ms += end - begin;
            ++times.listings;
        }
    }
    return times;
}

// When the first event `name` after `from` happened, or -1.
double first_after(QString const& name, double from) {
    std::lock_guard<std::mutex> lock(events_mutex);
    for (Event const& e : events)
        if (e.name == name && e.at_ms >= from)
            return e.at_ms;
    return -1;
}

// When the last event `name` before `to` happened, or -1.
double last_before(QString const& name, double to) {
    std::lock_guard<std::mutex> lock(events_mutex);
    double at = -1;
    for (Event const& e : events)
        if (e.name == name && e.at_ms <= to)
            at = e.at_ms;
    return at;
}

// The bar's value after each change, on the GUI thread.
std::vector<std::pair<double, int>> bar_values;

int bar_value_at(double t) {
    int value = 0;
    for (auto const& [at, v] : bar_values)
        if (at <= t)
            value = v;
    return value;
}

// Largest |bar - elapsed share| in percent over [from, to], `bar` giving the value at a time.
template <typename Bar> double largest_gap(double from, double to, Bar bar) {
    double worst = 0;
    for (double t = from; t <= to; t += 5) {
        double const expected = 100.0 * (t - from) / (to - from);
        worst = std::max(worst, std::abs(bar(t) - expected));
    }
    return std::max(worst, std::abs(bar(to) - 100.0));
}

void print_progress_gaps(char const* phase, double from, double to, double timer_s) {
    if (from < 0 || to <= from)
        return;
    std::printf("%s_run_ms=%.1f\n", phase, to - from);
    std::printf("bar_gap_%s_pct=%.1f\n", phase,
                largest_gap(from, to, [](double t) { return double(bar_value_at(t)); }));
    std::printf("timer_gap_%s_pct=%.1f\n", phase, largest_gap(from, to, [&](double t) {
                    return std::min(100.0, 100.0 * (t - from) / (timer_s * 1000));
                }));
}

void print(char const* key, double value) {
    std::printf("%s=%.1f\n", key, value);
}

} // namespace

int main(int argc, char** argv) {
    clock_.start();
    bool const sim = argc >= 2 && QString(argv[1]) == "sim";
    bool const vusb = argc >= 3 && QString(argv[1]) == "vusb";
    if (!sim && !vusb) {
        std::fprintf(stderr,
                     "usage: upgrade_probe sim [-l] | upgrade_probe vusb <staged unit> [-l]\n");
        return 64;
    }
    QString const staged = vusb ? QFileInfo(argv[2]).absoluteFilePath() : QString();
    QString const bus = qEnvironmentVariable("KELVORA_VUSB_DIR");
    if (vusb && (bus.isEmpty() || !QFileInfo(staged).isDir())) {
        std::fprintf(stderr, "upgrade_probe: KELVORA_VUSB_DIR unset or no staged unit\n");
        return 64;
    }

    bool const log_window = QString(argv[argc - 1]) == "-l";
    char tool_name[] = "kelvora-upgrade";
    char sim_option[] = "-s";
    char log_option[] = "-l";
    char* tool_argv[] = {tool_name, nullptr, nullptr, nullptr};
    int tool_argc = 1;
    if (sim)
        tool_argv[tool_argc++] = sim_option;
    if (log_window)
        tool_argv[tool_argc++] = log_option;
    QApplication app(tool_argc, tool_argv);
    double const before_init = now_ms();
    GUI_init();
    double const after_init = now_ms();
    if (log_window) // shown, as Ctrl+L shows it
        logWindow->toggle_visibility(mainWindow);
    watch_worker();
    QObject::connect(mainWindow->progress_bar, &QProgressBar::valueChanged,
                     [](int value) { bar_values.emplace_back(now_ms(), value); });

    StallProbe probe;
    probe.start();
    ControlThread control;
    control.start();

    double plugged_ms = -1, connected_ms = -1, clicked_ms = -1, done_ms = -1;
    double unplugged_ms = -1, no_unit_ms = -1;
    int failure = 0;

    if (vusb) {
        // Plug in once the worker has seen the empty bus.
        auto* plug = new QTimer(&app);
        QObject::connect(plug, &QTimer::timeout, [&, plug] {
            std::lock_guard<std::mutex> lock(events_mutex);
            bool const polled = std::count_if(events.begin(), events.end(),
                                              [](Event const& e) { return e.name == "A0"; }) >= 2;
            if (!polled)
                return;
            plug->stop();
            plugged_ms = now_ms();
            if (!QDir().rename(staged, bus + "/unit1")) {
                std::fprintf(stderr, "upgrade_probe: cannot move the unit onto the bus\n");
                failure = 1;
                app.quit();
            }
            vusb::announce(vusb::UdevAction::add, 1, 0x2200, 2);
        });
        plug->start(20);
    }

    QObject::connect(sm_B->B2, &QState::entered, [&] {
        if (connected_ms >= 0)
            return;
        connected_ms = now_ms();
        probe.measuring = true;
        QTimer::singleShot(0, [&clicked_ms] {
            clicked_ms = now_ms();
            mainWindow->install_button->click();
        });
    });
    QObject::connect(sm_B->B6, &QState::entered, [&] {
        if (connected_ms < 0 || done_ms >= 0)
            return;
        done_ms = now_ms();
        probe.measuring = false;
        if (!vusb) {
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
            return;
        }
        // Pulled out as a user does once "Done" shows.
        QTimer::singleShot(100, [&] {
            QFile back_at(bus + "/unit1/back_at");
            if (!back_at.open(QIODevice::WriteOnly) || back_at.write("never\n") != 6) {
                failure = 1;
                app.quit();
                return;
            }
            back_at.close();
            unplugged_ms = now_ms();
            QFile state_file(bus + "/unit1/state");
            int address = 2;
            if (state_file.open(QIODevice::ReadOnly))
                for (QByteArray const& line : state_file.readAll().split('\n'))
                    if (line.startsWith("address="))
                        address = line.mid(8).toInt();
            vusb::announce(vusb::UdevAction::remove, 1, 0x2200, uint8_t(address));
        });
    });
    QObject::connect(sm_B->B1, &QState::entered, [&] {
        if (unplugged_ms < 0 || no_unit_ms >= 0)
            return;
        no_unit_ms = now_ms();
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    QTimer::singleShot(give_up_ms, [&] {
        std::fprintf(stderr, "upgrade_probe: no \"Done\" within %d s\n", give_up_ms / 1000);
        failure = 1;
        app.quit();
    });

    int const result = app.exec();
    probe.timer.stop();
    control.stop();
    if (failure == 0 && result == 0) {
        std::printf("mode=%s%s\n", sim ? "sim" : "vusb", log_window ? " -l" : "");
        print("init_ms", after_init - before_init);
        if (vusb) {
            print("plug_to_done_ms", done_ms - plugged_ms);
            print("plug_to_connected_ms", connected_ms - plugged_ms);
            print("unplug_to_no_unit_ms", no_unit_ms - unplugged_ms);
            std::printf("bus_events=%d\n", sm_A->follows_bus_events ? 1 : 0);
        }
        print("connected_to_done_ms", done_ms - connected_ms);
        // The click until the download's dfu-util starts; the unit read again after "leave"
        // until the verify's dfu-util starts.
        print("click_to_download_ms", first_after("downloading", clicked_ms) - clicked_ms);
        double const verify_ms = first_after("uploading", clicked_ms);
        print("return_to_verify_ms", verify_ms - last_before("connected", verify_ms));
        print("stall_max_ms", probe.percentile(1.0));
        print("stall_p99_ms", probe.percentile(0.99));
        print("stall_p50_ms", probe.percentile(0.5));
        std::printf("stall_samples=%zu\n", probe.stalls.size());
        if (!probe.stalls.empty()) {
            size_t const worst = probe.longest();
            print("longest_stall_cpu_ms", probe.busy[worst]);
            std::printf("longest_stall_preempted=%ld\n", probe.preempted[worst]);
            print("busy_max_ms", *std::max_element(probe.busy.begin(), probe.busy.end()));
            print("control_stall_max_ms", control.longest(connected_ms, done_ms));
        }
        WorkerTimes const w = worker_times(vusb ? plugged_ms : connected_ms, done_ms);
        print("worker_sleep_ms", w.sleep_ms);
        std::printf("worker_sleeps=%d\n", w.sleeps);
        print("listing_ms", w.listing_ms);
        std::printf("listings=%d\n", w.listings);
        if (vusb) {
            print_progress_gaps("download", first_after("downloading", 0),
                                first_after("downloaded", 0), 100.0);
            print_progress_gaps("verify", first_after("uploading", 0), first_after("matches", 0),
                                0.5);
        }
        std::fflush(stdout);
    }
    return GUI_cleanup(failure ? 1 : result);
}
