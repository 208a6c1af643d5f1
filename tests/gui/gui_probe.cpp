// Child program of the GUI tests: runs what ends the process (fatal messages) or shows
// the window until it is closed.
#include "device/fw_info.h"
#include "gui/fonts.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "settings/settings.h"

#include <QApplication>
#include <QMessageLogger>

#include <cstdio>
#include <thread>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QString const mode = argc > 1 ? argv[1] : "";

    if (mode == "no-status-text") {
        Settings::Settings s;
        s.gui = Settings::GUI(R"({"labels": [{"id": "status_noDev", "text": ""}]})");
        MainWindow_factory(&s, nullptr, false);
        std::fprintf(stderr, "window built\n");
        return 0;
    }
    if (mode == "fatal" || mode == "fatal-worker") {
        logWindow = new LogWindow(nullptr);
        qInstallMessageHandler(logWindowMessageHandler);
        QMessageLogger(nullptr, 0, nullptr).info("before the end");
        auto fatal = [] { QMessageLogger("probe.cpp", 12, "void end()").fatal("the end"); };
        if (mode == "fatal") {
            fatal();
        } else {
            std::thread worker(fatal);
            worker.join();
        }
        std::fprintf(stderr, "still running\n");
        return 0;
    }
    if (mode == "window") {
        // The window as start-up builds it, from the carried settings and firmware.
        support::setup_fonts();
        Device::FW_Info const info = Device::make_FW_Info(QString(":resources/firmware.bin"));
        settings.gui = Settings::make_GUI(":resources/settings_GUI.json");
        settings.desired_FW_name = info.name;
        settings.desired_FW_type = info.product.type;
        settings.desired_FW_revision = info.revision;
        bool const use_simulator = argc > 2 && QString(argv[2]) == "sim";
        mainWindow = MainWindow_factory(&settings, nullptr, use_simulator);
        mainWindow->setWindowTitle("Kelvora Firmware Upgrade Tool");
        mainWindow->show();
        return app.exec();
    }
    std::fprintf(stderr, "unknown mode\n");
    return 2;
}
