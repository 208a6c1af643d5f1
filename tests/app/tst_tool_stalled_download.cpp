// The whole tool in one process against a virtual unit that stops answering in the middle of
// the download: closing the window ends the run once the runner's limit has passed (shortened
// here), and the dfu-util child is gone by then.
#include "app/startup.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "dfu/command.h"
#include "files/process_lock.h"
#include "gui/install_button.h"
#include "gui/main_window.h"
#include "message_log.h"
#include "vusb_env.h"

#include <QApplication>
#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <optional>

namespace {

constexpr int flow_timeout_ms = 60000;
constexpr int limit_ms = 6000;

} // namespace

class TestToolStalledDownload : public QObject {
    Q_OBJECT
public:
    explicit TestToolStalledDownload(vusb_env::Bus* bus) : bus_(bus) {}

private slots:
    void closing_the_window_during_a_stalled_download();

private:
    vusb_env::Bus* bus_;
};

void TestToolStalledDownload::closing_the_window_during_a_stalled_download() {
    MessageLog log;
    QProcess make_unit;
    make_unit.start(
        KELVORA_SOURCE_DIR "/tests/vusb/make_unit.sh",
        {"--knob", "hang=download:20", "--knob", "hang_ms=-1", bus_->unit_path("unit1")});
    QVERIFY(make_unit.waitForFinished(60000));
    QVERIFY2(make_unit.exitCode() == 0, make_unit.readAllStandardError().constData());

    QTRY_VERIFY_WITH_TIMEOUT(mainWindow->install_button->isEnabled(), flow_timeout_ms);
    QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("0x08000000:leave"), flow_timeout_ms);
    // The unit stalls after 20 blocks; the runner's first wait ends while it does.
    QTRY_VERIFY_WITH_TIMEOUT(log.contains("Process did not finish in time"), flow_timeout_ms);

    // Closing the window stops the flow machine and resets the message handler while the
    // transfer goes on; from the flow machine's stop on, a second log takes the messages.
    std::optional<MessageLog> after_stop;
    QObject::connect(sm_B, &QStateMachine::stopped, [&after_stop] { after_stop.emplace(); });
    QTimer::singleShot(0, mainWindow, [] {
        qInfo() << "test: closing the window";
        mainWindow->close();
    });
    QTimer::singleShot(flow_timeout_ms, [] { QCoreApplication::exit(99); });
    int const result = QApplication::exec();
    QCOMPARE(result, 0);
    QCOMPARE(GUI_cleanup(result), 0);

    // The run ended only after the download was given up at the limit, not cut when the
    // window closed.
    QVERIFY(log.contains("test: closing the window"));
    QVERIFY(after_stop);
    QStringList const lines = after_stop->lines();
    int const killed =
        lines.indexOf(QRegularExpression("^Killing .*dfu-util\" still running after 6 s$"));
    int const closed = lines.indexOf(QRegularExpression("^app.exec\\(\\) returns: 0$"));
    QVERIFY2(killed >= 0 && closed > killed, qPrintable(lines.join('\n')));
    QVERIFY(lines.indexOf(QRegularExpression("^Exit with -1 from .*0x08000000:leave.*")) > killed);
    QVERIFY(lines.filter("because the run ends").filter("leave").isEmpty());
    QVERIFY(log.lines().filter("because the run ends").filter("leave").isEmpty());
    // No dfu-util holds the unit any longer.
    ProcessLock unit_claim;
    QCOMPARE(unit_claim.take(bus_->unit_path("unit1") + "/lock", false), ProcessLock::Taken);
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Before anything starts a child: every dfu-util of the run sees the virtual bus.
    vusb_env::Bus bus;
    if (!bus.isValid())
        return 1;
    bus.export_to_process();
    qunsetenv("KELVORA_VUSB_TIMING");

    int tool_argc = 1;
    char tool_name[] = "kelvora-upgrade";
    char* tool_argv[] = {tool_name, nullptr};
    QApplication app(tool_argc, tool_argv);
    GUI_init();
    // Short polls and a short limit; set before the worker's thread starts with the loop.
    sm_A->no_device_delay_ms = 50;
    sm_A->poll_interval_ms = 100;
    DFU::first_wait_ms = 1000;
    DFU::wait_limit_ms = limit_ms;

    TestToolStalledDownload test(&bus);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tool_stalled_download.moc"
