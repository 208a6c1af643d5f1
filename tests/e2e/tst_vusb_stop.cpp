// Stopping the whole tool while it writes a virtual unit: Q, Escape and closing the window
// never cut the transfer. A stop ends the worker for good, so each case needs a process of
// its own; CTest runs each one by name (the first when none is named), and a case run after
// another in the same process skips itself.
#include "app/startup.h"
#include "control/flow_machine.h"
#include "control/upgrade_record.h"
#include "control/worker.h"
#include "dfu/command.h"
#include "e2e/tool_harness.h"
#include "files/files.h"
#include "gui/install_button.h"
#include "gui/main_window.h"
#include "gui/progress_bar.h"
#include "settings/settings.h"
#include "switched_bus.h"
#include "test_files.h"
#include "vusb_env.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using test_files::read_all;
using vusb_env::Bus;
using vusb_env::UnitSetup;
using Knobs = QMap<QString, QString>;

namespace {

constexpr int flow_timeout_ms = 120000;

using tool::status;
using tool::text;

// A unit of the carried product with an older revision in its information block.
UnitSetup older_unit(QByteArray image, QMap<QString, QString> const& knobs) {
    int const block = image.indexOf(QByteArray("\x12\x47\x23\x01", 4));
    QByteArray field("2.3.0");
    field.append(QByteArray(32 - field.size(), '\0'));
    if (block >= 0)
        image.replace(block + 40, 32, field);
    UnitSetup setup;
    setup.flash = image;
    setup.otp = QByteArray("\x11\x47\x23\x01\x04\xFF\xFF\xFF\x00\x01\x02\x03\x04\x05\x06\x07", 16);
    setup.knobs = knobs;
    return setup;
}

} // namespace

class TestVusbStop : public QObject {
    Q_OBJECT

    QByteArray carried_;
    std::unique_ptr<Bus> bus_;
    QStringList seen_; // the status texts, in the order they were shown
    QTimer sampler_;

    // Puts the unit on the bus, clicks install and waits until dfu-util writes; without
    // `click`, only until the unit is offered.
    bool start_writing(QMap<QString, QString> const& knobs, bool click = true) {
        // The worker starts with the event loop.
        if (!QTest::qWaitFor([] { return sm_A->isRunning(); }, flow_timeout_ms))
            return false;
        bus_ = std::make_unique<Bus>();
        UnitSetup const setup = older_unit(carried_, knobs);
        if (!bus_->add_unit(setup) || !switched_bus::attach(bus_->path()))
            return false;
        auto const offered = [] {
            return sm_B->configuration().contains(sm_B->B2) &&
                   mainWindow->install_button->isEnabled();
        };
        if (!QTest::qWaitFor(offered, flow_timeout_ms))
            return false;
        if (!click)
            return true;
        QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
        if (!QTest::qWaitFor([] { return sm_A->current_transfer() == SM_A::Download; },
                             flow_timeout_ms))
            return false;
        // Every status text from now on, also while a stop waits in its own event loop.
        seen_ = QStringList{status()};
        connect(&sampler_, &QTimer::timeout, this, [this] {
            if (seen_.last() != status())
                seen_ << status();
        });
        sampler_.start(20);
        return true;
    }

    // The stop said that it waits, while the transfer was still under way, and then how it
    // ended; the worker is gone and the flash holds what dfu-util did to the end.
    void check_stopped(QString const& outcome) {
        QVERIFY(sm_A->isFinished());
        sampler_.stop();
        if (seen_.last() != status())
            seen_ << status();
        int const waiting = seen_.indexOf(text("status_stopping"));
        QVERIFY2(waiting > 0, qPrintable(seen_.join(" | ")));
        QCOMPARE(seen_.last(), text(outcome));
        CHECKED(check_nothing_offered());
    }

    // The button can be neither used nor focused, also once the A key has switched the
    // download mode; neither a click nor Enter starts a bar or changes the status.
    void check_nothing_offered() {
        QString const shown = status();
        QPushButton* const button = mainWindow->install_button;
        QVERIFY(!button->isEnabled() && !button->hasFocus());
        QCOMPARE(button->focusPolicy(), Qt::NoFocus);
        QTest::keyClick(mainWindow, Qt::Key_A);
        QVERIFY(mainWindow->download_mode && !button->isEnabled());
        QTest::mouseClick(button, Qt::LeftButton);
        QTest::keyClick(button, Qt::Key_Return);
        QVERIFY(mainWindow->progress_bar->isHidden());
        QCOMPARE(status(), shown);
    }

    // The attempt's final line in the record keeps the write's time and exit code.
    static void check_recorded(QString const& outcome, int exit_code = 0) {
        QByteArray const last =
            read_all(UpgradeRecorder::default_file()).trimmed().split('\n').last();
        QJsonObject const attempt = QJsonDocument::fromJson(last).object();
        QCOMPARE(attempt["outcome"].toString(), outcome);
        QVERIFY(attempt["write_ms"].isDouble());
        QCOMPARE(attempt["write_exit_code"].toInt(-1), exit_code);
    }

private slots:
    void initTestCase() {
        carried_ = read_all(":resources/firmware.bin");
        QVERIFY(!carried_.isEmpty());
        QCOMPARE(DFU::Command::path, Files::external_dir.path());
    }

    void stop_by_q() { stop_by_key(Qt::Key_Q); }
    void stop_by_escape() { stop_by_key(Qt::Key_Escape); }

    void stop_by_closing_the_window() {
        if (sm_A->isFinished())
            QSKIP("a stop ends the worker for good: run each case in a process of its own");
        QVERIFY(start_writing({{"timing", "real"}, {"timing_scale", "0.3"}}));
        // Closed again, and Q, while the stop waits: neither starts another stop.
        QSignalSpy stops(mainWindow, &MainWindow::finished);
        bool again = false;
        connect(&sampler_, &QTimer::timeout, this, [&again] {
            if (again || status() != text("status_stopping"))
                return;
            again = true;
            mainWindow->close();
            QTest::keyClick(mainWindow, Qt::Key_Q);
        });
        QVERIFY(!mainWindow->close());
        // Still open while dfu-util writes, then closed.
        QVERIFY(mainWindow->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!mainWindow->isVisible(), flow_timeout_ms);
        QVERIFY(again);
        QCOMPARE(stops.count(), 2); // the first close's and the key's own
        CHECKED(check_stopped("status_stopped"));
        QVERIFY(bus_->flash("unit1").startsWith(carried_));
        CHECKED(check_recorded("interrupted"));
    }

    // dfu-util ends with an error in the middle of the image: the window says that the unit
    // may be half-written.
    void stop_during_a_write_that_fails() {
        if (sm_A->isFinished())
            QSKIP("a stop ends the worker for good: run each case in a process of its own");
        QVERIFY(start_writing({{"hang", "download:60"}, {"hang_ms", "3000"}}));
        QTest::keyClick(mainWindow, Qt::Key_Q);
        CHECKED(check_stopped("status_stoppedHalfWritten"));
        QVERIFY(!bus_->flash("unit1").startsWith(carried_));
        QVERIFY(mainWindow->isVisible());
        QVERIFY(sm_A->last_download_code() != 0);
        CHECKED(check_recorded("write failed", sm_A->last_download_code()));
    }

    void stop_elsewhere_data() {
        QTest::addColumn<Knobs>("knobs");
        QTest::addColumn<QString>("until"); // the status text (or the read-back) at the stop
        QTest::addColumn<int>("key");       // 0: the window is closed
        QTest::addColumn<QString>("recorded");
        Knobs const gone{{"after_leave", "gone"}};
        Knobs const hang{{"hang", "upload:20"}, {"hang_ms", "3000"}};
        QTest::newRow("Q while offered") << Knobs{} << "" << int(Qt::Key_Q) << "";
        QTest::newRow("Escape during the restart")
            << gone << "status_restarting" << int(Qt::Key_Escape) << "interrupted";
        QTest::newRow("Q during the read-back")
            << hang << "read-back" << int(Qt::Key_Q) << "interrupted";
        QTest::newRow("Q after not back")
            << gone << "status_notBack" << int(Qt::Key_Q) << "not back";
        QTest::newRow("window closed after not back")
            << gone << "status_notBack" << 0 << "not back";
    }

    // Stopped before the click, or after the write: "Stopped", nothing offered, no bar, and
    // the record keeps the write; a unit not back stays not back, also once the run ends.
    void stop_elsewhere() {
        QFETCH(Knobs, knobs);
        QFETCH(QString, until);
        QFETCH(int, key);
        QFETCH(QString, recorded);
        if (sm_A->isFinished())
            QSKIP("a stop ends the worker for good: run each row in a process of its own");
        if (until == "status_notBack")
            sm_B->watch->return_timeout_ms = 1000;
        QVERIFY(start_writing(knobs, !recorded.isEmpty()));
        if (until == "read-back")
            QTRY_VERIFY_WITH_TIMEOUT(sm_A->current_transfer() == SM_A::UploadAndCompare,
                                     flow_timeout_ms);
        else if (!until.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(status(), text(until).arg("Lx-21"), flow_timeout_ms);
        if (key == 0) {
            // Closed as a user closes it: the event loop, and with it the run, ends.
            QTimer::singleShot(0, mainWindow, [] { mainWindow->close(); });
            QTimer::singleShot(flow_timeout_ms, [] { QCoreApplication::exit(99); });
            QCOMPARE(QApplication::exec(), 0);
        } else {
            QTest::keyClick(mainWindow, Qt::Key(key));
            QCOMPARE(status(), text("status_stopped"));
            CHECKED(check_nothing_offered());
        }
        if (recorded.isEmpty())
            QVERIFY(!QFile::exists(UpgradeRecorder::default_file()));
        else
            CHECKED(check_recorded(recorded));
    }

private:
    void stop_by_key(Qt::Key key) {
        if (sm_A->isFinished())
            QSKIP("a stop ends the worker for good: run each case in a process of its own");
        QVERIFY(start_writing({{"timing", "real"}, {"timing_scale", "0.3"}}));
        // Returns once the stop has taken effect; the window stays open.
        QTest::keyClick(mainWindow, key);
        CHECKED(check_stopped("status_stopped"));
        QVERIFY(bus_->flash("unit1").startsWith(carried_));
        QVERIFY(mainWindow->isVisible());
    }
};

int main(int argc, char** argv) {
    QTemporaryDir root;
    // Until a case attaches its bus, the tool sees an empty one: no units.
    if (!root.isValid() || !switched_bus::set_up(root.path()))
        return 1;

    ToolHarness const tool({});
    TestVusbStop test;
    return ToolHarness::end(ToolHarness::exec(&test, argc, argv, "stop_by_q"));
}

#include "tst_vusb_stop.moc"
