#include "app/startup.h"

#include "app/bench_startup.h"
#include "app/connections.h"
#include "app/refuse_start.h"
#include "bus/unit_watch.h"
#include "control/flow_machine.h"
#include "control/worker.h"
#include "dfu/command.h"
#include "dfu/device_operations.h"
#include "files/files.h"
#include "gui/fonts.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "launch/command_line.h"
#include "launch/device_startup.h"
#include "settings/settings.h"
#include "settings/translations.h"
#include "sim/simulator.h"
#include "system/quit_on_signal.h"

#include <QApplication>
#include <QDebug>
#include <QThread>

namespace {

// Where udev runs, its events start the worker's listings; made and read on the GUI thread.
Bus::UnitWatch* bus_watch = nullptr;

// The settings are carried inside the program, so failing to read them means a broken build;
// end with a message that names the file instead of an uncaught exception.
Settings::GUI read_gui_settings(QString const& path) {
    try {
        QString language;
        Settings::GUI gui = Settings::make_localized_GUI(
            path, Settings::ui_languages(QProcessEnvironment::systemEnvironment()), &language);
        qInfo() << "Window language:" << (language.isEmpty() ? QString("en") : language);
        return gui;
    } catch (QString const& message) {
        Files::external_dir.remove();
        qFatal("Cannot read the GUI settings %s: %s", qPrintable(path), qPrintable(message));
    }
}

} // namespace

void GUI_init() {
    auto* const app = qobject_cast<QApplication*>(QCoreApplication::instance());

    // Termination signals end the event loop from here on; switches next, since -l decides
    // where the messages of everything after go.
    quit_event_loop_on_termination_signals();
    parse_arguments(app);
    // Nothing runs from a working directory that could not be made safely.
    refuse_start_without_working_dir();
    support::setup_fonts();
    // The bench window takes the place of the one-unit window and of its worker.
    if (bench_window_requested()) {
        bench_init();
        return;
    }
    logWindow = new LogWindow(nullptr);
    // Closing the main window ends the run even while the log window is open.
    logWindow->dialog->setAttribute(Qt::WA_QuitOnClose, false);
    if (log_window_requested())
        qInstallMessageHandler(logWindowMessageHandler);
    // Real or simulated dfu-util, the carried files extracted and checked, dfu-util tried once.
    if (!init_device_side())
        refuse_to_start(start_up_message("error_extract", Files::extraction_error()));

    // The product and revision of the carried image, from its information block.
    Device::FW_Info const desired = DFU::desired_FW_Info();
    qInfo().noquote() << "Desired (embedded)" << QString(desired);

    settings.gui = read_gui_settings(":resources/settings_GUI.json");
    settings.desired_FW_name = desired.name;
    settings.desired_FW_type = desired.product.type;
    settings.desired_FW_revision = desired.revision;

    end_start_up_on_signal();
    mainWindow = MainWindow_factory(&settings, nullptr, simulator::use);
    mainWindow->setWindowTitle("Kelvora Firmware Upgrade Tool");

    // The worker downloads the DfuSe file and compares the read-back with the raw image; it
    // polls less often than the tests' workers do.
    sm_A = new SM_A(Files::path_of(Files::desired_FW_dfu), Files::path_of(Files::desired_FW_bin),
                    Files::path_of(Files::uploaded_FW_bin), nullptr);
    sm_A->no_device_delay_ms = 500;
    sm_A->poll_interval_ms = 1000;
    sm_A->enable_debug_output();
    bus_watch = new Bus::UnitWatch(nullptr);
    if (bus_watch->watching()) {
        sm_A->follows_bus_events = true;
        // Taken under the worker's lock, which is never held across a wait.
        QObject::connect(bus_watch, &Bus::UnitWatch::unit_arrived, bus_watch,
                         [] { sm_A->note_unit_arrived(); });
        QObject::connect(bus_watch, &Bus::UnitWatch::unit_left, bus_watch,
                         [] { sm_A->note_unit_left(); });
    }

    // The flow machine judges each unit against the carried product and revision.
    sm_B = new SM_B(sm_A, settings.desired_FW_type, settings.desired_FW_revision);
    sm_B->enable_debug_output();

    add_connections(app);

    // The worker starts only once the flow machine listens to its signals.
    QObject::connect(sm_B, &QStateMachine::started, [] {
        qInfo() << "Starting sm_A";
        sm_A->start(QThread::InheritPriority);
    });
    sm_B->start();
    mainWindow->show();
}

int GUI_cleanup(int result) {
    qInfo() << "app.exec() returns:" << result;
    bench_cleanup();
    DFU::end_waits_for_exit();
    delete bus_watch;
    bus_watch = nullptr;
    if (sm_B)
        sm_B->stop();
    if (sm_A) {
        sm_A->do_stop();
        // A transfer under way ends first (never cut, bounded by the runner).
        if (!sm_A->wait(200))
            wait_for_worker_with_window();
    }
    qInfo() << "Waiting 2 s before deleting objects";
    QThread::sleep(2);
    delete sm_A;
    sm_A = nullptr;
    delete sm_B;
    sm_B = nullptr;
    return result;
}
