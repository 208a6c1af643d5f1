// The executable as a person starts it against a virtual unit: the unit folder made by
// make_unit.sh, the library preloaded into the tool itself (whose dfu-util children inherit
// it), the log on standard error. In a sanitizer build the tool is instrumented and the
// library is not; the helper's environment lets the two start together.
#include "e2e/tool_process.h"
#include "test_files.h"
#include "vusb_env.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestVusbToolProcess : public QObject {
    Q_OBJECT

    QTemporaryDir work_;
    QString image_;    // the carried image, as a file for make_unit.sh
    QString revision_; // its revision

private slots:
    void initTestCase();
    void unit_found_by_the_executable_data();
    void unit_found_by_the_executable();
};

void TestVusbToolProcess::initTestCase() {
    QByteArray const image = test_files::read_all(":resources/firmware.bin");
    int const block = test_files::fw_block_offset(image);
    QVERIFY(block >= 0);
    revision_ = test_files::fw_revision(image, block);
    QVERIFY(!revision_.isEmpty() && revision_ != "2.3.0");
    image_ = work_.path() + "/firmware.bin";
    QVERIFY(vusb_env::write_whole(image_, image));
}

void TestVusbToolProcess::unit_found_by_the_executable_data() {
    QTest::addColumn<QStringList>("unit_options");
    QTest::addColumn<QStringList>("expected");
    // The carried revision is verified at once, without a click.
    QTest::newRow("carried revision")
        << QStringList{"--revision", revision_}
        << QStringList{"FW_revision:\t" + revision_, "SM_B: /sig_UploadingVerifying",
                       "Uploaded FW matches", "SM_B: /sig_FwMatches"};
    QTest::newRow("older revision")
        << QStringList{} << QStringList{"FW_revision:\t2.3.0", "SM_B: /sig_UpgradePossible"};
    QTest::newRow("another product") << QStringList{"--type", "03", "--revision", "1.0.0"}
                                     << QStringList{"SM_B: /sig_InvalidProduct"};
}

void TestVusbToolProcess::unit_found_by_the_executable() {
    QFETCH(QStringList, unit_options);
    QFETCH(QStringList, expected);

    vusb_env::Bus bus;
    QVERIFY(bus.isValid());
    QVERIFY(bus.make_unit("unit1", unit_options + QStringList{"--image", image_}));
    QByteArray const flash_before = bus.flash("unit1");

    ToolProcess tool;
    QVERIFY(tool.start_in(bus.environment(), {"-l"}));

    QByteArray err;
    for (QString const& text : expected)
        QTRY_VERIFY2_WITH_TIMEOUT((err += tool.readAllStandardError()).contains(text.toUtf8()),
                                  qPrintable(text + " missing in:\n" + QString::fromUtf8(err)),
                                  60000);
    QVERIFY(!err.contains("SM_B: /sig_FwDiffers"));
    QVERIFY(err.contains("Will use real device"));

    ::kill(tool.processId(), SIGTERM);
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 128 + SIGTERM);
    // Nothing was written to the unit, and the tool left nothing behind.
    QCOMPARE(bus.flash("unit1"), flash_before);
    QCOMPARE(QDir(tool.tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{});
}

QTEST_GUILESS_MAIN(TestVusbToolProcess)
#include "tst_vusb_tool_process.moc"
