#pragma once
// The whole tool booted inside a test program as its main() boots it: the application object
// with the tool's own command line (headless unless the environment names a platform), the
// tool's start-up and short polls of the worker; the tool's shut-down after the cases.
#include "app/startup.h"
#include "control/flow_machine.h"
#include "control/worker.h"
#include "gui/main_window.h"
#include "settings/settings.h"

#include <QApplication>
#include <QByteArrayList>
#include <QLabel>
#include <QtTest>

#include <vector>

// Runs a helper that checks with QVERIFY or QCOMPARE, and stops the case when it failed.
#define CHECKED(call)                                                                              \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

namespace tool {
inline QString text(QString const& id) {
    return settings.gui.text(id);
}
inline QString status() {
    return mainWindow->status_label->text();
}
// Whether the flow machine is in a state whose name starts with `prefix`, e.g. "B6".
inline bool in_state(QString const& prefix) {
    for (QAbstractState* state : sm_B->configuration())
        if (state->objectName().startsWith(prefix))
            return true;
    return false;
}
} // namespace tool

class ToolHarness {
public:
    // `tool_arguments` follow the program name, e.g. {"-l"} for the log window.
    explicit ToolHarness(QByteArrayList tool_arguments)
        : arguments(std::move(tool_arguments)), argv(arguments_of(arguments)),
          argc(int(argv.size()) - 1), app(argc, argv.data()) {
        GUI_init();
        sm_A->no_device_delay_ms = 50;
        sm_A->poll_interval_ms = 100;
        // The virtual units announce themselves only inside udev_namespace.sh; elsewhere the
        // worker polls, even on a machine whose own udev runs.
        if (!qEnvironmentVariableIsSet("KELVORA_VUSB_UDEV"))
            sm_A->follows_bus_events = false;
    }

    // Runs the cases that the command line names; without any, `first_case` alone when given
    // (a stop ends the worker for good), else all.
    static int exec(QObject* test, int test_argc, char** test_argv, char const* first_case) {
        QStringList names;
        for (int i = 0; i < test_argc; ++i)
            names << QString::fromLocal8Bit(test_argv[i]);
        if (test_argc == 1 && first_case)
            names << first_case;
        return QTest::qExec(test, names);
    }
    static int end(int failures) { return GUI_cleanup(failures); }

private:
    static std::vector<char*> arguments_of(QByteArrayList& list) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static char tool_name[] = "kelvora-upgrade";
        std::vector<char*> pointers{tool_name};
        for (QByteArray& argument : list)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    QByteArrayList arguments;
    std::vector<char*> argv;
    int argc;
    QApplication app;
};
