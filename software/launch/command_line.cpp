#include "launch/command_line.h"

#include "sim/simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>

namespace {
bool use_log_window = false;
bool use_bench_window = false;
} // namespace

void parse_arguments(QCoreApplication* app) {
    QCommandLineParser parser;
    parser.addOptions({
        {{"s", "use-simulator"}, "Use simulated device interaction."},
        {{"S", "no-use-simulator"}, "Disable use of simulated device interaction."},
        {{"l", "use-log-window"}, "Enable use of log window (open it with Ctrl-l)"},
        {"bench", "Open the bench window: every slot of a bench of units at a glance"},
    });
    parser.process(*app);

    qDebug() << "Initial value of 'simulator::use'=" << simulator::use
             << ", isSet('-s')=" << parser.isSet("use-simulator")
             << ", isSet('-S')=" << parser.isSet("no-use-simulator");

    if (parser.isSet("use-simulator"))
        simulator::use = true;
    if (parser.isSet("no-use-simulator"))
        simulator::use = false;
    if (parser.isSet("use-log-window"))
        use_log_window = true;
    if (parser.isSet("bench"))
        use_bench_window = true;
}

bool log_window_requested() {
    return use_log_window;
}

bool bench_window_requested() {
    return use_bench_window;
}
