// The whole tool in one process: start-up, window, both machines and the simulated unit,
// driven through the window as a user would drive it.
#include "app/startup.h"
#include "control/flow_machine.h"
#include "control/worker.h"
#include "dfu/command.h"
#include "e2e/tool_harness.h"
#include "files/files.h"
#include "gui/install_button.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/progress_bar.h"
#include "settings/settings.h"
#include "sim/simulator.h"
#include "stderr_capture.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <cstdio>

namespace {

constexpr int flow_timeout_ms = 30000;

using tool::status;
using tool::text;

void load_unit(QString const& config) {
    QCOMPARE(simulator::sim_setup_prepared_config(config), 0);
}

using tool::in_state;

// Every configuration change is a new unit; waits until the window shows that there is none.
bool wait_for_no_unit() {
    if (simulator::sim_setup_prepared_config("no_device") != 0)
        return false;
    return QTest::qWaitFor([] { return in_state("B1") && status() == text("status_noDev"); },
                           flow_timeout_ms);
}

} // namespace

class TestTool : public QObject {
    Q_OBJECT
private slots:
    void starts_with_no_unit();
    void upgrade_by_one_click();
    void same_revision_is_verified_without_click();
    void read_back_that_differs();
    void unit_of_another_product();
    void blank_otp();
    void unknown_revision();
    void ctrl_l_toggles_the_log_window();
    void quit_key_stops_both_machines();
};

void TestTool::starts_with_no_unit() {
    QVERIFY(mainWindow);
    QCOMPARE(mainWindow->windowTitle(), QString("Kelvora Firmware Upgrade Tool"));
    QVERIFY(wait_for_no_unit());
    QVERIFY(!mainWindow->install_button->isEnabled());
    QVERIFY(!mainWindow->progress_bar->isVisible());
}

void TestTool::upgrade_by_one_click() {
    QVERIFY(wait_for_no_unit());
    CHECKED(load_unit("older_revision"));
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B2"), flow_timeout_ms);
    QString const product = sm_B->device_info.OTP_info.product_name();
    QCOMPARE(product, QString("Lx-21"));
    QString const old_revision = sm_B->device_info.FW_revision;
    QVERIFY(!old_revision.isEmpty() && old_revision != settings.desired_FW_revision);
    QCOMPARE(status(), text("status_devRev").arg(product).arg(old_revision));
    QTRY_VERIFY(mainWindow->install_button->isEnabled());

    QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
    QVERIFY(mainWindow->progress_bar->isVisible());
    QCOMPARE(mainWindow->progress_bar->format(), QString("Upgrading firmware"));

    QTRY_COMPARE_WITH_TIMEOUT(mainWindow->progress_bar->format(), QString("Uploading & verifying"),
                              flow_timeout_ms);
    QTRY_COMPARE_WITH_TIMEOUT(mainWindow->progress_bar->format(),
                              QString("Done. Disconnect USB cable."), flow_timeout_ms);
    QVERIFY(in_state("B6"));
    QVERIFY(mainWindow->progress_bar->isVisible());
    QCOMPARE(mainWindow->progress_bar->value(), mainWindow->progress_bar->maximum());
    QCOMPARE(status(), text("status_devRev").arg(product).arg(settings.desired_FW_revision));
}

void TestTool::same_revision_is_verified_without_click() {
    QVERIFY(wait_for_no_unit());
    CHECKED(load_unit("same_revision"));
    QTRY_COMPARE_WITH_TIMEOUT(mainWindow->progress_bar->format(),
                              QString("Done. Disconnect USB cable."), flow_timeout_ms);
    QVERIFY(in_state("B6"));
    QVERIFY(!mainWindow->install_button->isEnabled());
}

void TestTool::read_back_that_differs() {
    QVERIFY(wait_for_no_unit());
    CHECKED(load_unit("readback_differs"));
    QTRY_VERIFY_WITH_TIMEOUT(mainWindow->install_button->isEnabled(), flow_timeout_ms);
    QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B7"), flow_timeout_ms);
    QCOMPARE(mainWindow->progress_bar->format(), QString("FW differs"));
    QVERIFY(!mainWindow->progress_bar->isVisible());
    // The upgrade can be started again from there.
    QVERIFY(mainWindow->install_button->isEnabled());
}

void TestTool::unit_of_another_product() {
    QVERIFY(wait_for_no_unit());
    CHECKED(load_unit("other_product"));
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B8"), flow_timeout_ms);
    QString const product = sm_B->device_info.OTP_info.product_name();
    QVERIFY(!product.isEmpty() && product != "Lx-21");
    QCOMPARE(status(), text("status_devConn").arg(product));
    QVERIFY(!mainWindow->install_button->isEnabled());
    QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
    QTest::qWait(300);
    QVERIFY(in_state("B8"));
}

void TestTool::blank_otp() {
    QVERIFY(wait_for_no_unit());
    CHECKED(load_unit("blank_otp"));
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B9"), flow_timeout_ms);
    QVERIFY(!mainWindow->install_button->isEnabled());
    QVERIFY(sm_B->device_info.FW_revision.isEmpty());
    QCOMPARE(status(), text("status_devRevUnknown").arg(sm_B->device_info.OTP_info.product_name()));
}

void TestTool::unknown_revision() {
    QVERIFY(wait_for_no_unit());
    CHECKED(load_unit("empty_revision"));
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B2"), flow_timeout_ms);
    QCOMPARE(status(), text("status_devRevUnknown").arg("Lx-21"));
    QVERIFY(mainWindow->install_button->isEnabled());
}

void TestTool::ctrl_l_toggles_the_log_window() {
    QWidget* const dialog = logWindow->dialog;
    QVERIFY(!dialog->isVisible());
    mainWindow->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(mainWindow));
    QTest::keyClick(mainWindow, Qt::Key_L, Qt::ControlModifier);
    QTRY_VERIFY(dialog->isVisible());
    // Beside the main window where the screen has room, else moved onto the screen.
    QRect const available = mainWindow->windowHandle()->screen()->availableGeometry();
    QCOMPARE(dialog->pos(), LogWindow::placement(mainWindow->geometry(),
                                                 dialog->frameGeometry().size(), available));
    QVERIFY(available.contains(dialog->frameGeometry()));
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QTest::keyClick(dialog, Qt::Key_L, Qt::ControlModifier);
    QTRY_VERIFY(!dialog->isVisible());
}

void TestTool::quit_key_stops_both_machines() {
    StderrCapture capture;
    QTest::keyClick(mainWindow, Qt::Key_Q);
    QString const err = QString::fromUtf8(capture.text());
    int const reset = err.indexOf("Msg-handler reset");
    int const stopping = err.indexOf("Trying to stop sm_A");
    QVERIFY2(reset >= 0 && stopping > reset, qPrintable(err));
    QTRY_VERIFY(!sm_B->isRunning());
    QVERIFY(sm_A->isFinished());
    QVERIFY(mainWindow->isVisible());
}

int main(int argc, char** argv) {
    QTemporaryDir state;
    qputenv("KELVORA_SIM_STATE_DIR", QFile::encodeName(state.path()));
    qputenv("KELVORA_SIM_RETURN_MS", "1500");

    // The tool's own command line: simulated unit, log window.
    ToolHarness const tool({"-s", "-l"});
    // Short simulated transfers, so a whole upgrade takes seconds.
    for (auto& [id, command] : DFU::commands)
        command.arguments.insert(2, "--fast-progress");

    TestTool test;
    int failures = ToolHarness::exec(&test, argc, argv, nullptr);

    // Closing the main window ends the event loop, also while the log window is open.
    logWindow->dialog->show();
    QTimer::singleShot(0, mainWindow, [] { mainWindow->close(); });
    QTimer::singleShot(10000, [] { QCoreApplication::exit(99); });
    if (QApplication::exec() == 99) {
        std::fprintf(stderr, "FAIL: closing the main window did not end the run\n");
        ++failures;
    }
    return ToolHarness::end(failures);
}

#include "tst_tool.moc"
