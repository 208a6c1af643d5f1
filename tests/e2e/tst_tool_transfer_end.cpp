// The executable asked to end while its dfu-util moves data to or from a virtual unit: the
// transfer is not cut, a transfer that never ends is killed at the runner's limit, and the
// run leaves nothing behind either way. A unit that already carries the tool's revision is
// read back at once, without a click, so the executable reaches a transfer on its own.
#include "e2e/tool_process.h"
#include "vusb_env.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// The runner's own limit (two minutes) plus the shut-down's pause, with room to spare.
constexpr int end_timeout_ms = 200000;

} // namespace

class TestToolTransferEnd : public QObject {
    Q_OBJECT

    QTemporaryDir work_;
    QString image_;
    QString revision_;

private slots:
    void initTestCase();
    void ending_during_a_read_back_data();
    void ending_during_a_read_back();
};

void TestToolTransferEnd::initTestCase() {
    QFile carried(":resources/firmware.bin");
    QVERIFY(carried.open(QIODevice::ReadOnly));
    QByteArray const image = carried.readAll();
    int const block = image.indexOf(QByteArray("\x12\x47\x23\x01", 4));
    QVERIFY(block >= 0);
    revision_ = QString::fromUtf8(image.mid(block + 40, 32).constData());
    QVERIFY(!revision_.isEmpty());
    image_ = work_.path() + "/firmware.bin";
    QVERIFY(vusb_env::write_whole(image_, image));
}

void TestToolTransferEnd::ending_during_a_read_back_data() {
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<QString>("hang_ms"); // how long the unit stalls mid-transfer
    QTest::addColumn<QString>("runner_line");
    QTest::addColumn<int>("count");       // how many signals are sent
    QTest::addColumn<int>("interval_ms"); // between two of them
    QString const waited = "Exit with 74";
    QTest::newRow("SIGTERM, the unit stalls a while") << int(SIGTERM) << "3000" << waited << 1 << 0;
    QTest::newRow("SIGINT, the unit stalls a while") << int(SIGINT) << "3000" << waited << 1 << 0;
    QTest::newRow("SIGHUP, the unit stalls a while") << int(SIGHUP) << "3000" << waited << 1 << 0;
    QTest::newRow("SIGQUIT, the unit stalls a while") << int(SIGQUIT) << "3000" << waited << 1 << 0;
    QTest::newRow("SIGTERM, the unit never answers") << int(SIGTERM) << "-1"
                                                     << "dfu-util\" silent for 30 s" << 1 << 0;
    // Far more signals than the tool's signal socket holds (holding Ctrl+C does that).
    QTest::newRow("3000 SIGTERMs at once, the unit stalls a while")
        << int(SIGTERM) << "3000" << waited << 3000 << 0;
    QTest::newRow("350 SIGHUPs at 4 ms, the unit stalls a while")
        << int(SIGHUP) << "3000" << waited << 350 << 4;
}

void TestToolTransferEnd::ending_during_a_read_back() {
    QFETCH(int, signal_number);
    QFETCH(QString, hang_ms);
    QFETCH(QString, runner_line);
    QFETCH(int, count);
    QFETCH(int, interval_ms);

    vusb_env::Bus bus;
    QVERIFY(bus.isValid());
    QVERIFY(bus.make_unit("unit1", {"--revision", revision_, "--image", image_, "--knob",
                                    "hang=upload:10", "--knob", "hang_ms=" + hang_ms}));

    ToolProcess tool;
    QVERIFY(tool.start_in(bus.environment(), QStringList{}));

    // The read-back of the whole image has started; the unit stalls after a few blocks.
    QByteArray err;
    QByteArray const read_back = QString("0x08000000:%1").arg(QFileInfo(image_).size()).toUtf8();
    QTRY_VERIFY2_WITH_TIMEOUT((err += tool.readAllStandardError()).contains(read_back),
                              err.constData(), 60000);
    for (int sent = 0; sent < count && ::kill(pid_t(tool.processId()), signal_number) == 0; ++sent)
        QThread::msleep(interval_ms);
    QVERIFY(tool.waitForFinished(end_timeout_ms));
    err += tool.readAllStandardError();

    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 128 + signal_number);
    // Signals after the first are seen and logged, and do not end the wait early. Signals
    // sent at once may merge into one while it is pending; spaced ones do not.
    if (interval_ms > 0)
        QVERIFY2(err.contains("more termination signals, already shutting down"), err.constData());
    // The transfer ran to its own end, or to the runner's limit, before the run ended.
    int const runner_at = err.indexOf(runner_line.toUtf8(), err.indexOf(read_back));
    QVERIFY2(runner_at >= 0, err.constData());
    // Only what came after it (the next listing) may be cut short.
    int const cut_at = err.indexOf("because the run ends");
    QVERIFY2(cut_at < 0 || cut_at > runner_at, err.constData());
    QVERIFY(err.indexOf("SM_A: Waiting in dtor") > err.indexOf("app.exec() returns:"));
    QVERIFY(!err.contains("Uploaded FW matches"));
    QCOMPARE(QDir(tool.tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{});
}

QTEST_GUILESS_MAIN(TestToolTransferEnd)
#include "tst_tool_transfer_end.moc"
