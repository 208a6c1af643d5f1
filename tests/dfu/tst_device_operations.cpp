// The device operations against the simulator script, and the file helpers on real files.
#include "dfu/device_operations.h"
#include "dfu/device_scan.h"
#include "files/files.h"
#include "message_log.h"
#include "sim/simulator.h"
#include "test_files.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using test_files::read_all;
using test_files::write_all;

// Commands announce themselves with "Start "; the listing does not run here.
int started_commands(MessageLog const& log) {
    return log.count("Start ");
}

} // namespace

class TestDeviceOperations : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void desired_block_is_read_once();
    void device_info_text_data();
    void device_info_text();
    void read_device_info_data();
    void read_device_info();
    void failed_OTP_upload_leaves_the_record();
    void verify_uploads_exactly_the_image_size();
    void verify_after_download_data();
    void verify_after_download();
    void verify_with_unusable_image_runs_nothing_data();
    void verify_with_unusable_image_runs_nothing();
    void failed_download_returns_its_code();
    void size_of_binary_file();
    void compare_files_data();
    void compare_files();
    void working_copy_is_put_right_data();
    void working_copy_is_put_right();
    void transfers_name_the_unit_data();
    void transfers_name_the_unit();
    void addresses();

private:
    QScopedPointer<QTemporaryDir> state;
    QString image;
    QByteArray image_bytes;
};

void TestDeviceOperations::initTestCase() {
    QVERIFY(Files::external_dir.isValid());
    QVERIFY(Files::extract_resources({Files::desired_FW_bin}, true));
    image = Files::path_of(Files::desired_FW_bin);
    image_bytes = read_all(image);
    QVERIFY(image_bytes.size() > 2048);
    simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
}

void TestDeviceOperations::init() {
    // Each test gets a fresh simulated unit.
    state.reset(new QTemporaryDir);
    QVERIFY(state->isValid());
    qputenv("KELVORA_SIM_STATE_DIR", state->path().toLocal8Bit());
}

void TestDeviceOperations::desired_block_is_read_once() {
    MessageLog log;
    Device::FW_Info const& first = DFU::desired_FW_Info();
    QVERIFY(first.valid);
    QCOMPARE(first.revision, QString("2.4.1"));
    QCOMPARE(first.product.type, Device::Type::DAVO);
    QCOMPARE(log.count("Reading desired FW_Info from"), 1);

    // A changed file is not looked at again.
    QByteArray changed = image_bytes;
    changed.fill('\xff', 4096);
    QVERIFY(write_all(image, changed));
    Device::FW_Info const& second = DFU::desired_FW_Info();
    QVERIFY(write_all(image, image_bytes));
    QCOMPARE(&second, &first);
    QVERIFY(second.valid);
    QCOMPARE(log.count("Reading desired FW_Info from"), 1);
    QVERIFY(!DFU::read_FW_Info_from_desired_FW().revision.isEmpty());
}

void TestDeviceOperations::device_info_text_data() {
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("text");
    QTest::newRow("invalid") << false << 4 << "2.4.1"
                             << "DeviceInfo:\nInvalid";
    QTest::newRow("valid") << true << 4 << "2.4.1"
                           << "DeviceInfo:\n\tDevice type:\t4\n\tFW_revision:\t2.4.1\n";
    QTest::newRow("type above 127") << true << 0x8C << ""
                                    << "DeviceInfo:\n\tDevice type:\t140\n\tFW_revision:\t\n";
}

void TestDeviceOperations::device_info_text() {
    QFETCH(bool, valid);
    QFETCH(int, type);
    QFETCH(QString, revision);
    QFETCH(QString, text);
    DFU::DeviceInfo info;
    info.valid = valid;
    info.device_type = static_cast<Device::Type>(type);
    info.FW_revision = revision;
    QCOMPARE(QString(info), text);

    QString streamed;
    QDebug(&streamed) << info << QString("after");
    QVERIFY2(streamed.startsWith(text + " \"after\""), qPrintable(streamed));
}

void TestDeviceOperations::read_device_info_data() {
    QTest::addColumn<QString>("config");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("revision");
    QTest::addColumn<bool>("fw_valid");
    QTest::addColumn<bool>("blank");
    QTest::addColumn<bool>("mismatch");

    QTest::newRow("older revision")
        << "older_revision" << 0x04 << "2.3.0" << true << false << false;
    QTest::newRow("same revision") << "same_revision" << 0x04 << "2.4.1" << true << false << false;
    QTest::newRow("other product") << "other_product" << 0x03 << "2.3.0" << true << false << false;
    QTest::newRow("blank OTP") << "blank_otp" << 0x00 << "" << false << true << true;
    QTest::newRow("unknown type") << "unknown_type" << 0x00 << "" << false << false << true;
    QTest::newRow("OTP type 0x23 reads as 0x2B")
        << "otp_type_0x23" << 0x2B << "2.3.0" << true << false << false;
    QTest::newRow("OTP and firmware disagree")
        << "otp_fw_mismatch" << 0x04 << "" << false << false << true;
    QTest::newRow("no firmware block") << "no_fw_info" << 0x04 << "" << false << false << true;
    QTest::newRow("empty revision") << "empty_revision" << 0x04 << "" << true << false << false;
}

void TestDeviceOperations::read_device_info() {
    QFETCH(QString, config);
    QFETCH(int, type);
    QFETCH(QString, revision);
    QFETCH(bool, fw_valid);
    QFETCH(bool, blank);
    QFETCH(bool, mismatch);
    QCOMPARE(simulator::sim_setup_prepared_config(config), 0);

    MessageLog log;
    DFU::DeviceInfo info;
    auto const [code, text] = DFU::read_device_info(DFU::Address(), &info);
    QCOMPARE(code, 0);
    QVERIFY(info.valid);
    QCOMPARE(int(info.device_type), type);
    QCOMPARE(info.FW_revision, revision);
    QCOMPARE(info.FW_info.valid, fw_valid);
    QCOMPARE(info.OTP_info.blank, blank);
    QCOMPARE(log.contains("OTP is blank.\n"), blank);

    // The OTP upload and the firmware block upload, with their fixed arguments.
    QCOMPARE(started_commands(log), 2);
    QString const otp_file = Files::path_of(Files::uploaded_OTP_bin);
    QString const info_file = Files::path_of(Files::uploaded_FW_info_bin);
    QVERIFY(log.contains(QString("\"0x1FFF7800:512\", \"-U\", \"%1\")").arg(otp_file)));
    QVERIFY(log.contains(QString("\"0x08000000:2048\", \"-U\", \"%1\")").arg(info_file)));
    QCOMPARE(QFileInfo(otp_file).size(), qint64(512));
    QCOMPARE(QFileInfo(info_file).size(), qint64(2048));

    QString const mismatch_text =
        "FW assumed invalid because of product type mismatch.\nOTP contains" +
        QString(info.OTP_info.product) + "\nwhereas FW contains\n";
    QCOMPARE(text.contains(mismatch_text), mismatch);
    if (mismatch) {
        // The block is shown as it was read, then marked invalid; a missing block stays so.
        Device::FW_Info as_read = info.FW_info;
        as_read.valid = !info.FW_info.name.isNull();
        QVERIFY2(text.endsWith(QString(as_read)), qPrintable(text));
        QVERIFY(log.contains(mismatch_text));
    } else {
        QVERIFY(log.contains(QString(info)));
    }
}

void TestDeviceOperations::failed_OTP_upload_leaves_the_record() {
    QCOMPARE(simulator::sim_setup_prepared_config("otp_upload_fails"), 0);
    DFU::DeviceInfo info;
    info.FW_revision = "kept";
    MessageLog log;
    auto const [code, text] = DFU::read_device_info(DFU::Address(), &info);
    QVERIFY(code != 0);
    QVERIFY(!info.valid);
    QCOMPARE(info.FW_revision, QString("kept"));
    QCOMPARE(started_commands(log), 1);
    QVERIFY(log.contains("Exit with"));
}

void TestDeviceOperations::verify_uploads_exactly_the_image_size() {
    QCOMPARE(simulator::sim_setup_prepared_config("same_revision"), 0);
    QString const uploaded = Files::path_of(Files::uploaded_FW_bin);
    QVERIFY(write_all(uploaded, "left over from an earlier run"));

    MessageLog log;
    QVERIFY(DFU::upload_and_compare_FW_bin(image, uploaded));
    QCOMPARE(started_commands(log), 1);
    QString const arguments =
        QString("\"-d\", \"0483\", \"-a\", \"0\", \"-s\", \"0x08000000:%1\", \"-U\", \"%2\")")
            .arg(image_bytes.size())
            .arg(uploaded);
    QVERIFY2(log.contains(arguments), qPrintable(log.lines().join('\n')));
    QCOMPARE(read_all(uploaded), image_bytes);

    // An older firmware in the unit: same length uploaded, contents differ.
    QCOMPARE(simulator::sim_setup_prepared_config("older_revision"), 0);
    QVERIFY(!DFU::upload_and_compare_FW_bin(image, uploaded));
    QCOMPARE(QFileInfo(uploaded).size(), qint64(image_bytes.size()));
}

void TestDeviceOperations::verify_after_download_data() {
    QTest::addColumn<QString>("config");
    QTest::addColumn<bool>("matches");
    QTest::newRow("download then match") << "older_revision" << true;
    QTest::newRow("read-back differs") << "readback_differs" << false;
}

void TestDeviceOperations::verify_after_download() {
    QFETCH(QString, config);
    QFETCH(bool, matches);
    QCOMPARE(simulator::sim_setup_prepared_config(config), 0);
    MessageLog log;
    QCOMPARE(DFU::download_FW_to_device(image).code, 0);
    QVERIFY(log.contains(QString("\"0x08000000:leave\", \"-D\", \"%1\")").arg(image)));
    QCOMPARE(read_all(state->filePath("flash.bin")).left(image_bytes.size()), image_bytes);

    // The unit left DFU mode; it is back after a short while.
    QTRY_COMPARE_WITH_TIMEOUT(std::get<0>(DFU::make_scan()), 0, 20000);
    QCOMPARE(DFU::upload_and_compare_FW_bin(image, Files::path_of(Files::uploaded_FW_bin)),
             matches);
}

void TestDeviceOperations::verify_with_unusable_image_runs_nothing_data() {
    QTest::addColumn<bool>("exists");
    QTest::newRow("empty image") << true;
    QTest::newRow("missing image") << false;
}

void TestDeviceOperations::verify_with_unusable_image_runs_nothing() {
    QFETCH(bool, exists);
    QTemporaryDir dir;
    QString const desired = dir.filePath("firmware.bin");
    if (exists)
        QVERIFY(write_all(desired, {}));
    QString const uploaded = dir.filePath("uploaded_FW.bin");
    QVERIFY(write_all(uploaded, "untouched"));

    MessageLog log;
    QVERIFY(!DFU::upload_and_compare_FW_bin(desired, uploaded));
    QCOMPARE(started_commands(log), 0);
    QCOMPARE(read_all(uploaded), QByteArray("untouched"));
}

void TestDeviceOperations::failed_download_returns_its_code() {
    QCOMPARE(simulator::sim_setup_prepared_config("download_fails"), 0);
    QVERIFY(!DFU::download_FW_to_device(image).followed());
    QVERIFY(!DFU::upload_and_compare_FW_bin(image, Files::path_of(Files::uploaded_FW_bin)));
}

void TestDeviceOperations::size_of_binary_file() {
    QTemporaryDir dir;
    QCOMPARE(DFU::size_of_binary_file(dir.filePath("missing")), -1);
    QVERIFY(write_all(dir.filePath("empty"), {}));
    QCOMPARE(DFU::size_of_binary_file(dir.filePath("empty")), 0);
    QVERIFY(write_all(dir.filePath("three"), "abc"));
    QCOMPARE(DFU::size_of_binary_file(dir.filePath("three")), 3);
    QCOMPARE(DFU::size_of_binary_file(image), image_bytes.size());
}

void TestDeviceOperations::compare_files_data() {
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<bool>("a_exists");
    QTest::addColumn<bool>("b_exists");
    QTest::addColumn<bool>("equal");
    QByteArray const block(4096, '\x5a');
    QByteArray last_byte_differs = block;
    last_byte_differs[block.size() - 1] = '\x5b';
    QByteArray first_byte_differs = block;
    first_byte_differs[0] = '\0';

    QTest::newRow("same bytes") << block << block << true << true << true;
    QTest::newRow("last byte differs") << block << last_byte_differs << true << true << false;
    QTest::newRow("first byte differs") << block << first_byte_differs << true << true << false;
    QTest::newRow("second is longer") << block << block + "x" << true << true << false;
    QTest::newRow("second is a prefix") << block << block.left(100) << true << true << false;
    QTest::newRow("both empty") << QByteArray() << QByteArray() << true << true << false;
    QTest::newRow("first missing") << block << block << false << true << false;
    QTest::newRow("second missing") << block << block << true << false << false;
}

void TestDeviceOperations::compare_files() {
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(bool, a_exists);
    QFETCH(bool, b_exists);
    QFETCH(bool, equal);
    QTemporaryDir dir;
    if (a_exists)
        QVERIFY(write_all(dir.filePath("a"), a));
    if (b_exists)
        QVERIFY(write_all(dir.filePath("b"), b));
    QCOMPARE(DFU::compare_FW_bin_files(dir.filePath("a"), dir.filePath("b")), equal);
}

void TestDeviceOperations::working_copy_is_put_right_data() {
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("put_right");
    QTest::newRow("intact") << "" << true;
    QTest::newRow("cut short") << "cut" << true;
    QTest::newRow("one byte changed") << "byte" << true;
    QTest::newRow("longer") << "longer" << true;
    QTest::newRow("missing") << "missing" << true;
    QTest::newRow("a folder in its place") << "folder" << false;
}

void TestDeviceOperations::working_copy_is_put_right() {
    QFETCH(QString, damage);
    QFETCH(bool, put_right);
    QTemporaryDir dir;
    QString const copy = dir.filePath("firmware.bin");
    QByteArray changed = image_bytes;
    if (damage == "cut")
        changed.truncate(changed.size() / 3);
    else if (damage == "byte")
        changed[5000] = char(changed[5000] ^ 0x01);
    else if (damage == "longer")
        changed.append('\0');
    if (damage == "folder")
        QVERIFY(QDir().mkdir(copy));
    else if (damage != "missing")
        QVERIFY(write_all(copy, changed));

    MessageLog log;
    QCOMPARE(DFU::ensure_file_holds(copy, image_bytes), put_right);
    QCOMPARE(log.contains("differs from the carried firmware"), !damage.isEmpty());
    if (put_right)
        QCOMPARE(read_all(copy), image_bytes);
    QVERIFY(!DFU::ensure_file_holds(copy, QByteArray()));
}

void TestDeviceOperations::transfers_name_the_unit_data() {
    QTest::addColumn<bool>("same_serial");
    QTest::newRow("the unit attached") << true;
    QTest::newRow("another unit") << false;
}

// With a serial, dfu-util acts only on that unit: another one is neither written nor read.
void TestDeviceOperations::transfers_name_the_unit() {
    QFETCH(bool, same_serial);
    QCOMPARE(simulator::sim_setup_prepared_config("older_revision"), 0);
    auto const [status, items] = DFU::make_scan();
    QCOMPARE(int(items.size()), 1);
    QString const serial = same_serial ? items.front().serial : "0BADC0FFEE00";
    QByteArray const flash_before = read_all(state->filePath("flash.bin"));

    MessageLog log;
    DFU::Address const unit = DFU::Address::by_serial(serial);
    QCOMPARE(DFU::download_FW_to_device(image, unit).code == 0, same_serial);
    QVERIFY(log.contains(QString("\"-D\", \"%1\", \"-S\", \"%2\")").arg(image, serial)));
    QByteArray const flash = read_all(state->filePath("flash.bin"));
    if (same_serial)
        QCOMPARE(flash.left(image_bytes.size()), image_bytes);
    else
        QCOMPARE(flash, flash_before);

    // Back from its restart after the write.
    QTRY_COMPARE_WITH_TIMEOUT(int(std::get<1>(DFU::make_scan()).size()), 1, 20000);
    QString const uploaded = Files::path_of(Files::uploaded_FW_bin);
    QCOMPARE(DFU::read_back(image_bytes, uploaded, unit) == DFU::Readback::matches, same_serial);
}

// A port names the unit's own working files, and never a folder.
void TestDeviceOperations::addresses() {
    QCOMPARE(DFU::Address::at_port("1-1.2").arguments(), (QStringList{"-p", "1-1.2"}));
    QCOMPARE(DFU::Address::by_serial("").arguments(), QStringList());
    QString const folder = Files::external_dir.path() + "/";
    QCOMPARE(DFU::working_file("a.bin", DFU::Address::at_port("../x y")), folder + "a_.._x_y.bin");
    QCOMPARE(DFU::working_file("a.bin", DFU::Address::by_serial("AB")), folder + "a.bin");
}

QTEST_GUILESS_MAIN(TestDeviceOperations)
#include "tst_device_operations.moc"
