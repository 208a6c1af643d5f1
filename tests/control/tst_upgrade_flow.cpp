// Whole upgrade flows without a window: the worker, the flow machine and the simulator
// script, one prepared unit per case.
#include "flow_run.h"

#include <QtTest>

#include <atomic>

namespace {

QString const V = "device_has_valid_type(4): valid 1, device_type: 4";

QStringList const b1 = {"UpgradeImpossible", "B1"};
QStringList const connected = {"DeviceConnected"};
QStringList const b2 = {"UpgradePossible", "DifferingRevision", "B2"};
QStringList const b3 = {"DoDownload", "B3"};
QStringList const b4 = {"UploadingVerifying", "B4"};
QStringList const b6 = {"FwMatches", "B6"};
QStringList const b7 = {"UpgradePossible", "FwDiffers", "B7"};
QStringList const b8 = {"InvalidProduct", "B8"};
QStringList const b9 = {"UpgradeImpossible", "DifferingRevision", "B9"};

QByteArray carried_image() {
    QFile f(Files::path_of(Files::desired_FW_bin));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestUpgradeFlow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void prepared_unit_data();
    void prepared_unit();
    void unit_swapped_between_two_scans_data();
    void unit_swapped_between_two_scans();
    void lagging_gui_sees_each_unit_as_reported();
    void stop_while_waiting_for_a_faulty_unit_to_go();
    void download_commanded_before_any_unit_data();
    void download_commanded_before_any_unit();
    void unit_removed_and_plugged_again();
    void debug_output();
    void commands_end_a_long_pause_data();
    void commands_end_a_long_pause();
    void stop_ends_a_long_pause_data();
    void stop_ends_a_long_pause();
};

void TestUpgradeFlow::initTestCase() {
    QVERIFY(Files::extract_resources({Files::desired_FW_bin, Files::desired_FW_dfu}, true));
    simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
}

void TestUpgradeFlow::prepared_unit_data() {
    QTest::addColumn<QString>("config");
    QTest::addColumn<bool>("click");           // click install as soon as the machine allows it
    QTest::addColumn<QStringList>("expected"); // the flow machine's signals and states
    QTest::addColumn<QStringList>("trace");    // the guards' lines on standard output
    QTest::addColumn<int>("downloads");
    QTest::addColumn<int>("verifications");

    QString const other = "device_has_valid_type(4): valid 1, device_type: %1";
    QStringList const none;

    QTest::newRow("older revision")
        << "older_revision" << false << b1 + connected + b2 << QStringList{V, V} << 0 << 0;
    QTest::newRow("same revision is verified at once")
        << "same_revision" << false << b1 + connected + b4 + b6 << QStringList{V, V, V} << 0 << 1;
    QTest::newRow("other product")
        << "other_product" << false << b1 + connected + b8 << QStringList{other.arg(3)} << 0 << 0;
    QTest::newRow("blank OTP") << "blank_otp" << false << b1 + connected + b9 << none << 0 << 0;
    QTest::newRow("unknown type") << "unknown_type" << false << b1 + connected + b8
                                  << QStringList{other.arg(0)} << 0 << 0;
    QTest::newRow("OTP type 0x23") << "otp_type_0x23" << false << b1 + connected + b8
                                   << QStringList{other.arg(0x2B)} << 0 << 0;
    QTest::newRow("OTP and firmware disagree")
        << "otp_fw_mismatch" << false << b1 + connected + b2 << QStringList{V, V} << 0 << 0;
    QTest::newRow("no firmware block")
        << "no_fw_info" << false << b1 + connected + b2 << QStringList{V, V} << 0 << 0;
    QTest::newRow("empty revision")
        << "empty_revision" << false << b1 + connected + b2 << QStringList{V, V} << 0 << 0;
    QTest::newRow("no unit") << "no_device" << false << b1 << none << 0 << 0;
    QTest::newRow("two units") << "two_devices" << false << b1 << none << 0 << 0;
    QTest::newRow("three interfaces") << "three_interfaces" << false << b1 << none << 0 << 0;
    QTest::newRow("listing fails") << "list_fails" << false << b1 << none << 0 << 0;
    QTest::newRow("OTP upload fails") << "otp_upload_fails" << false << b1 << none << 0 << 0;

    QTest::newRow("upgrade") << "older_revision" << true
                             << b1 + connected + b2 + b3 + b1 + connected + b4 + b6
                             << QStringList{V, V, V, V, V} << 1 << 1;
    QTest::newRow("upgrade of empty revision")
        << "empty_revision" << true << b1 + connected + b2 + b3 + b1 + connected + b4 + b6
        << QStringList{V, V, V, V, V} << 1 << 1;
    QTest::newRow("read-back differs")
        << "readback_differs" << true << b1 + connected + b2 + b3 + b1 + connected + b4 + b7
        << QStringList{V, V, V, V, V} << 1 << 1;
    QTest::newRow("unit does not return")
        << "no_return_after_download" << true << b1 + connected + b2 + b3 + b1 << QStringList{V, V}
        << 1 << 0;
    QTest::newRow("blank OTP upgraded anyway")
        << "blank_otp" << true << b1 + connected + b9 + b3 + b1 + connected + b9 << none << 1 << 0;
}

void TestUpgradeFlow::prepared_unit() {
    QFETCH(QString, config);
    QFETCH(bool, click);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, trace);
    QFETCH(int, downloads);
    QFETCH(int, verifications);

    StdoutCapture capture;
    FlowRun run;
    QVERIFY(run.load(config));
    QByteArray const flash_before = run.flash();
    run.start();

    if (click) {
        QTRY_VERIFY_WITH_TIMEOUT(run.in(run.machine->B2) || run.in(run.machine->B9), 30000);
        run.machine->do_download();
    }
    QTRY_VERIFY_WITH_TIMEOUT(run.flow.size() >= expected.size(), 60000);
    QVERIFY(run.settle());
    QCOMPARE(run.flow, expected);
    QCOMPARE(capture.lines(), trace);
    QCOMPARE(run.steps.count("FwDownloading"), downloads);
    QCOMPARE(run.steps.count("FwDownloaded"), downloads);
    QCOMPARE(run.steps.count("FwUploading"), verifications);
    QCOMPARE(run.worker->get_command(), SM_A::NoCommand);

    if (downloads > 0) {
        QByteArray const image = carried_image();
        QCOMPARE(run.flash().left(image.size()), image);
    } else {
        QCOMPARE(run.flash(), flash_before);
    }
    if (config == "otp_upload_fails") {
        QCOMPARE(run.steps.count("DeviceError"), 1);
        QVERIFY(run.steps.contains("A7"));
        QVERIFY(!run.errors.value(0).isEmpty());
        // The faulty unit is read once and then only watched.
        QCOMPARE(run.steps.count("readingInfo"), 1);
        QCOMPARE(run.steps.mid(run.steps.indexOf("A7")).count("A0"), 0);
    }
}

void TestUpgradeFlow::unit_swapped_between_two_scans_data() {
    QTest::addColumn<QString>("second");
    QTest::addColumn<QStringList>("then");
    QTest::addColumn<QString>("revision");
    QTest::newRow("another unit of the same kind") << "swap_unit" << b2 << "2.3.0";
    QTest::newRow("a unit whose blocks disagree") << "otp_fw_mismatch" << b2 << "";
    QTest::newRow("a unit that is up to date") << "same_revision" << b4 + b6 << "2.4.1";
    QTest::newRow("a unit of another product") << "other_product" << b8 << "2.3.0";
}

void TestUpgradeFlow::unit_swapped_between_two_scans() {
    QFETCH(QString, second);
    QFETCH(QStringList, then);
    QFETCH(QString, revision);

    FlowRun run;
    QVERIFY(run.load("older_revision"));
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.in(run.machine->B2), 30000);
    QCOMPARE(run.machine->device_info.FW_revision, QString("2.3.0"));
    QVERIFY(run.settle(2));
    int const before = run.steps.size();

    QVERIFY(run.load(second));
    QStringList const expected = b1 + connected + b2 + b1 + connected + then;
    QTRY_VERIFY_WITH_TIMEOUT(run.flow.size() >= expected.size(), 30000);
    QVERIFY(run.settle());
    QCOMPARE(run.flow, expected);
    // Nothing of the first unit is carried over to the second.
    QCOMPARE(run.machine->device_info.FW_revision, revision);

    // The new unit is read without a new detection pass.
    QStringList const after = run.steps.mid(before);
    int const reading = after.indexOf("readingInfo");
    QVERIFY(reading >= 0);
    QCOMPARE(after.mid(reading, 3), (QStringList{"readingInfo", "NoDevConn", "DevConn"}));
    QVERIFY(!after.contains("A0"));
    QCOMPARE(after.count("readingInfo"), 1);
}

void TestUpgradeFlow::lagging_gui_sees_each_unit_as_reported() {
    FlowRun run;
    std::atomic<int> read{0};
    // Counted on the worker thread, so the GUI thread can wait without handling events.
    connect(
        run.worker.get(), &SM_A::sig_DevConn, run.worker.get(), [&read] { ++read; },
        Qt::DirectConnection);
    QVERIFY(run.load("older_revision"));
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.steps.contains("A2"), 30000);

    // The first unit is read and replaced by an up-to-date one before the GUI thread gets
    // to the first report.
    auto wait_for = [&read](int n) {
        QElapsedTimer timer;
        timer.start();
        while (read.load() < n && timer.elapsed() < 30000)
            QThread::msleep(10);
        return read.load() >= n;
    };
    QVERIFY(wait_for(1));
    QVERIFY(run.load("same_revision"));
    QVERIFY(wait_for(2));
    QCOMPARE(run.flow, b1);

    QStringList const expected = b1 + connected + b2 + b1 + connected + b4 + b6;
    QTRY_VERIFY_WITH_TIMEOUT(run.flow.size() >= expected.size(), 30000);
    QVERIFY(run.settle());
    QCOMPARE(run.flow, expected);
    QCOMPARE(run.revisions, (QStringList{"2.3.0", "2.4.1"}));
}

void TestUpgradeFlow::stop_while_waiting_for_a_faulty_unit_to_go() {
    FlowRun run;
    QVERIFY(run.load("otp_upload_fails"));
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.steps.contains("A7"), 30000);
    QVERIFY(run.settle(0));
    run.worker->do_stop();
    // The unit is still there; the worker ends all the same.
    QTRY_VERIFY_WITH_TIMEOUT(run.worker->isFinished(), 30000);
    QCoreApplication::sendPostedEvents();
    QVERIFY(!run.steps.mid(run.steps.indexOf("A7")).contains("A0"));
    QCOMPARE(run.flow, b1);
}

void TestUpgradeFlow::download_commanded_before_any_unit_data() {
    QTest::addColumn<QString>("serial"); // the unit the command names; empty: none
    QTest::newRow("no unit named") << "";
    QTest::newRow("a unit that is not attached") << "0BADC0FFEE00";
}

// A command never reaches a unit it was not given for: it is dropped, and the next unit is
// offered through the guards like any other.
void TestUpgradeFlow::download_commanded_before_any_unit() {
    QFETCH(QString, serial);
    MessageLog log;
    FlowRun run;
    QVERIFY(run.load("no_device"));
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.steps.count("A0") >= 2, 30000);

    // The install button does nothing in B1 but is still announced.
    run.machine->do_download();
    QVERIFY(run.in(run.machine->B1));
    QCOMPARE(run.flow, b1 + QStringList{"DoDownload"});

    if (serial.isEmpty())
        run.worker->set_command(SM_A::Download);
    else
        run.worker->set_command(SM_A::Download, serial, Device::Type::DAVO);
    QVERIFY(run.settle(2));
    QVERIFY(run.load("plug"));
    QByteArray const flash_before = run.flash();

    QStringList const expected = b1 + QStringList{"DoDownload"} + connected + b2;
    QTRY_VERIFY_WITH_TIMEOUT(run.flow.size() >= expected.size(), 60000);
    QVERIFY(run.settle());
    QCOMPARE(run.flow, expected);
    QCOMPARE(run.steps.count("FwDownloading"), 0);
    QCOMPARE(run.worker->get_command(), SM_A::NoCommand);
    QCOMPARE(run.flash(), flash_before);
    QVERIFY(log.contains(QString("SM_A: command 1 for unit \"%1\" dropped").arg(serial)));
}

void TestUpgradeFlow::unit_removed_and_plugged_again() {
    FlowRun run;
    QVERIFY(run.load("same_revision"));
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.in(run.machine->B6), 30000);
    // After the verdict the unit stays known: no new read while it is attached.
    QVERIFY(run.settle());
    QCOMPARE(run.steps.count("DevConn"), 1);

    QVERIFY(run.load("unplug"));
    QTRY_VERIFY_WITH_TIMEOUT(run.in(run.machine->B1), 30000);
    QVERIFY(run.machine->device_info.FW_revision.isEmpty());
    QVERIFY(!run.machine->device_info.valid);
    QVERIFY(run.load("plug"));
    QStringList const expected = b1 + connected + b4 + b6 + b1 + connected + b4 + b6;
    QTRY_VERIFY_WITH_TIMEOUT(run.flow.size() >= expected.size(), 30000);
    QVERIFY(run.settle());
    QCOMPARE(run.flow, expected);
    QCOMPARE(run.steps.count("DevConn"), 2);
}

void TestUpgradeFlow::debug_output() {
    MessageLog log;
    FlowRun run;
    run.worker->enable_debug_output();
    run.machine->enable_debug_output();
    QVERIFY(log.contains("SM_A: Adding connections to show debug output (state transitions)"));
    QVERIFY(log.contains("SM_B: Add connections to show emitted signals"));
    QVERIFY(run.load("no_device"));
    run.start();

    // A run of passes without a unit is logged once.
    QTRY_VERIFY_WITH_TIMEOUT(run.steps.count("A0") >= 4, 30000);
    QCOMPARE(log.count("SM_A: /sig_NoDevConn"), 1);
    QCOMPARE(log.count("SM_A: /sig_scanning"), 0);
    QCOMPARE(log.count("SM_B: entered B1: No (DFU-SE) dev. conn."), 1);
    QCOMPARE(log.count("SM_B: /sig_UpgradeImpossible"), 1);

    QVERIFY(run.load("plug"));
    QTRY_VERIFY_WITH_TIMEOUT(run.in(run.machine->B2), 30000);
    QVERIFY(run.settle());
    QCOMPARE(log.count("SM_A: /sig_readingInfo"), 1);
    QCOMPARE(log.count("SM_A: /sig_DevConn"), 1);
    QCOMPARE(log.count("SM_A: /sig_NoDevConn"), 2);
    QCOMPARE(log.count("SM_A: /sig_scanning"), 1);
    QVERIFY(log.contains(
        "Device connected with:\nDeviceInfo:\n\tDevice type:\t4\n\tFW_revision:\t2.3.0\n"));
    QVERIFY(log.contains("SM_B: /sig_DeviceConnected"));
    QVERIFY(log.contains("SM_B: entered B2: Conn. to (DFU-SE) dev. with diff. FW rev."));

    // B9 announces its signals but not itself.
    QVERIFY(run.load("blank_otp"));
    QTRY_VERIFY_WITH_TIMEOUT(run.in(run.machine->B9), 30000);
    QCOMPARE(log.count("SM_B: /sig_DifferingRevision"), 2);
    QCOMPARE(log.count("SM_B: entered B9"), 0);
    QCOMPARE(log.count("SM_B: entered B1"), 2);
}

namespace {
// Far longer than any time-out of these cases: a case that waits out one of these pauses fails.
int const endless_ms = 3600 * 1000;
} // namespace

void TestUpgradeFlow::commands_end_a_long_pause_data() {
    QTest::addColumn<QString>("config");
    QTest::addColumn<bool>("click");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("download and verify")
        << "older_revision" << true << b1 + connected + b2 + b3 + b1 + connected + b4 + b6;
    QTest::newRow("verify at once") << "same_revision" << false << b1 + connected + b4 + b6;
}

// Every command is given while the worker pauses between two scans of the unit; with a
// pause of an hour, the flow reaches its verdict only if each command ends the pause.
void TestUpgradeFlow::commands_end_a_long_pause() {
    QFETCH(QString, config);
    QFETCH(bool, click);
    QFETCH(QStringList, expected);

    FlowRun run;
    run.worker->poll_interval_ms = endless_ms;
    QVERIFY(run.load(config));
    run.start();
    if (click) {
        QTRY_VERIFY_WITH_TIMEOUT(run.in(run.machine->B2), 30000);
        // The worker is in its pause after the read.
        QTRY_VERIFY_WITH_TIMEOUT(run.steps.endsWith("A4"), 30000);
        run.machine->do_download();
    }
    QTRY_VERIFY_WITH_TIMEOUT(run.flow.size() >= expected.size(), 60000);
    QCOMPARE(run.flow, expected);
    // Each command was taken in the pass that paused, without another scan in between.
    for (char const* started : {"A5", "A6"}) {
        int const at = run.steps.indexOf(started);
        if (at < 0)
            continue;
        QCOMPARE(run.steps.value(at - 1), QString("A4"));
        QCOMPARE(run.steps.value(at - 2), QString("DevConn"));
    }
}

void TestUpgradeFlow::stop_ends_a_long_pause_data() {
    QTest::addColumn<QString>("config");
    QTest::addColumn<bool>("long_poll");  // the pause between scans of a unit
    QTest::addColumn<bool>("long_delay"); // the pause before a detection pass
    QTest::addColumn<QString>("pausing"); // the step the worker pauses in
    QTest::newRow("unit attached") << "same_revision" << true << false << "A4";
    QTest::newRow("faulty unit attached") << "otp_upload_fails" << true << false << "A7";
    QTest::newRow("no unit") << "no_device" << false << true << "A1";
}

void TestUpgradeFlow::stop_ends_a_long_pause() {
    QFETCH(QString, config);
    QFETCH(bool, long_poll);
    QFETCH(bool, long_delay);
    QFETCH(QString, pausing);

    FlowRun run;
    if (long_poll)
        run.worker->poll_interval_ms = endless_ms;
    if (long_delay)
        run.worker->no_device_delay_ms = endless_ms;
    QVERIFY(run.load(config));
    run.start();
    // The worker has entered the step and announced what it does before the pause.
    QTRY_VERIFY_WITH_TIMEOUT(run.steps.contains(pausing), 30000);
    if (pausing == "A1")
        QTRY_VERIFY_WITH_TIMEOUT(run.steps.endsWith("NoDevConn"), 30000);
    if (pausing == "A4")
        QTRY_VERIFY_WITH_TIMEOUT(run.in(run.machine->B6) && run.steps.endsWith("A4"), 30000);
    run.worker->do_stop();
    QTRY_VERIFY_WITH_TIMEOUT(run.worker->isFinished(), 30000);
    // Its last reports may still be queued for this thread.
    QCoreApplication::sendPostedEvents();
    // It ended through its usual stop checks.
    QCOMPARE(run.steps.last(), pausing == "A7" ? QString("scanning") : pausing);
}

QTEST_GUILESS_MAIN(TestUpgradeFlow)
#include "tst_upgrade_flow.moc"
