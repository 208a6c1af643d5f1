// Runs the command line and the device-side start-up steps like the tool does, then prints
// what they left behind, so tests can look at a whole start-up in a child process:
//   use_simulator=<bool> log_window=<bool>
//   workdir=<path>
//   file=<name> <size> <x|->   (one line per file in the working directory)
#include "files/files.h"
#include "launch/command_line.h"
#include "launch/device_startup.h"
#include "sim/simulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    parse_arguments(&app);
    QTextStream out(stdout);
    out << "use_simulator=" << (simulator::use ? "true" : "false")
        << " log_window=" << (log_window_requested() ? "true" : "false") << "\n";
    if (!app.arguments().contains("probe-no-device-side")) {
        init_device_side();
        out << "workdir=" << Files::external_dir.path() << "\n";
        for (QFileInfo const& info : QDir(Files::external_dir.path()).entryInfoList(QDir::Files))
            out << "file=" << info.fileName() << " " << info.size() << " "
                << (info.isExecutable() ? "x" : "-") << "\n";
    }
    return 0;
}
