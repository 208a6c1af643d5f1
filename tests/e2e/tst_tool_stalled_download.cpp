// The whole tool in one process against a virtual unit that stops answering in the middle of
// the download: closing the window, or termination signals, end the run once the runner's
// limit has passed (shortened here), and the dfu-util child is gone by then. A stop ends the
// worker for good, so each case (and each row) needs a process of its own; CTest runs each
// one by name (the first when none is named).
#include "app/startup.h"
#include "control/flow_machine.h"
#include "control/worker.h"
#include "dfu/command.h"
#include "e2e/tool_harness.h"
#include "gui/install_button.h"
#include "gui/main_window.h"
#include "message_log.h"
#include "settings/settings.h"
#include "system/process_lock.h"
#include "system/quit_on_signal.h"
#include "vusb_env.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <optional>
#include <thread>
#include <unistd.h>

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
    void termination_signals_during_a_stalled_download_data();
    void termination_signals_during_a_stalled_download();

private:
    // Puts a unit on the bus that stalls after 20 blocks of the download, clicks install and
    // waits until the runner's first wait has ended while it stalls.
    bool start_stalled_download(MessageLog const& log) {
        if (!bus_->make_unit("unit1", {"--knob", "hang=download:20", "--knob", "hang_ms=-1"}))
            return false;
        if (!QTest::qWaitFor([] { return mainWindow->install_button->isEnabled(); },
                             flow_timeout_ms))
            return false;
        QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
        return QTest::qWaitFor([&log] { return log.contains("Process did not finish in time"); },
                               flow_timeout_ms) &&
               log.contains("0x08000000:leave");
    }
    // No dfu-util holds the unit any longer.
    bool unit_released() const {
        ProcessLock unit_claim;
        return unit_claim.take(bus_->unit_path("unit1") + "/lock", false) == ProcessLock::Taken;
    }

    vusb_env::Bus* bus_;
};

void TestToolStalledDownload::closing_the_window_during_a_stalled_download() {
    if (sm_A->isFinished())
        QSKIP("a stop ends the worker for good: run each case in a process of its own");
    MessageLog log;
    QVERIFY(start_stalled_download(log));

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
    int const killed = lines.indexOf(QRegularExpression("^Killing .*dfu-util\" silent for 6 s$"));
    int const closed = lines.indexOf(QRegularExpression("^app.exec\\(\\) returns: 0$"));
    QVERIFY2(killed >= 0 && closed > killed, qPrintable(lines.join('\n')));
    QVERIFY(lines.indexOf(QRegularExpression("^Exit with -1 from .*0x08000000:leave.*")) > killed);
    QVERIFY(lines.filter("because the run ends").filter("leave").isEmpty());
    QVERIFY(log.lines().filter("because the run ends").filter("leave").isEmpty());
    QVERIFY(unit_released());
}

void TestToolStalledDownload::termination_signals_during_a_stalled_download_data() {
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("interval_ms");
    QTest::addColumn<bool>("during_q_stop"); // Q was pressed before the signals came
    QTest::newRow("SIGTERM") << int(SIGTERM) << 1 << 0 << false;
    // Far more than the tool's signal socket holds.
    QTest::newRow("3000 SIGTERMs") << int(SIGTERM) << 3000 << 0 << false;
    QTest::newRow("350 SIGHUPs at 4 ms") << int(SIGHUP) << 350 << 4 << false;
    QTest::newRow("SIGTERM during a Q stop") << int(SIGTERM) << 1 << 0 << true;
}

// The run ends once the download has been given up at the runner's limit, never cut; until
// then the window is painted (its timers run) and says that the tool is stopping.
void TestToolStalledDownload::termination_signals_during_a_stalled_download() {
    if (sm_A->isFinished())
        QSKIP("a stop ends the worker for good: run each case in a process of its own");
    QFETCH(int, signal_number);
    QFETCH(int, count);
    QFETCH(int, interval_ms);
    QFETCH(bool, during_q_stop);
    MessageLog log;
    QVERIFY(start_stalled_download(log));

    // A Q stop resets the message handler; from the flow machine's stop on, a second log.
    std::optional<MessageLog> after_stop;
    QObject::connect(sm_B, &QStateMachine::stopped, [&after_stop] { after_stop.emplace(); });
    QStringList seen;
    int ticks_after_signal = 0; // while the worker still runs
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (seen.isEmpty() || seen.last() != mainWindow->status_label->text())
            seen << mainWindow->status_label->text();
        if (pending_termination_signal() && sm_A->isRunning())
            ++ticks_after_signal;
    });
    sampler.start(20);
    // The Q stop waits on past its first second before the signals come.
    std::thread sender([=] {
        std::this_thread::sleep_for(std::chrono::milliseconds(during_q_stop ? 1500 : 0));
        for (int sent = 0; sent < count; ++sent) {
            ::kill(::getpid(), signal_number);
            std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
        }
    });
    struct Joined {
        std::thread& thread;
        ~Joined() { thread.join(); }
    } const joined{sender};
    if (during_q_stop)
        QTimer::singleShot(0, mainWindow, [] { QTest::keyClick(mainWindow, Qt::Key_Q); });
    QTimer::singleShot(flow_timeout_ms, [] { QCoreApplication::exit(99); });
    int const result = QApplication::exec();
    QCOMPARE(GUI_cleanup(result), 128 + signal_number);

    QVERIFY2(seen.contains(settings.gui.text("status_stopping")), qPrintable(seen.join(" | ")));
    QVERIFY(ticks_after_signal > 0);
    QStringList const lines = log.lines() + (after_stop ? after_stop->lines() : QStringList());
    QVERIFY2(!lines.filter(QRegularExpression("^Killing .*silent for 6 s$")).isEmpty(),
             qPrintable(lines.join('\n')));
    QVERIFY(lines.filter("because the run ends").filter("leave").isEmpty());
    // Signals sent at once may merge into one while it is pending; spaced ones do not.
    if (interval_ms > 0)
        QVERIFY(!lines.filter("more termination signals, already shutting down").isEmpty());
    QVERIFY(unit_released());
}

int main(int argc, char** argv) {
    // Before anything starts a child: every dfu-util of the run sees the virtual bus.
    vusb_env::Bus bus;
    if (!bus.isValid())
        return 1;
    bus.export_to_process();
    qunsetenv("KELVORA_VUSB_TIMING");

    ToolHarness const tool({});
    // A short limit; set before the worker's thread starts with the loop.
    DFU::first_wait_ms = 1000;
    DFU::wait_limit_ms = limit_ms;
    DFU::silence_limit_ms = limit_ms;

    TestToolStalledDownload test(&bus);
    return ToolHarness::exec(&test, argc, argv, "closing_the_window_during_a_stalled_download");
}

#include "tst_tool_stalled_download.moc"
