// The simulator script as the tool runs it: through the command table after the simulator
// set-up, with its state in a fresh folder per test (paths with blanks throughout).
#include "device/fw_info.h"
#include "device/otp_info.h"
#include "device/product_table.h"
#include "dfu/command.h"
#include "dfu/device_scan.h"
#include "dfu/dfu_util.h"
#include "sim/simulator.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QStringList messages;

void capture(QtMsgType, QMessageLogContext const&, QString const& text) {
    messages << text;
}

QByteArray const begin_marker = test_files::fw_begin_marker();
QByteArray const end_marker = test_files::fw_end_marker();
QByteArray const otp_marker = test_files::otp_marker();

using test_files::read_all;
using test_files::write_all;

struct DeviceLine {
    int alt;
    QString serial;
};

// The device lines of a listing, in order.
QList<DeviceLine> device_lines(QString const& listing) {
    static QRegularExpression const line(
        R"re(^Found DFU: \[0483:df11\] ver=2200, devnum=\d+, cfg=1, intf=0, path="[^"]+", )re"
        R"re(alt=(\d), name="[^"]+", serial="([0-9A-Fa-f]+)"$)re",
        QRegularExpression::MultilineOption);
    QList<DeviceLine> lines;
    auto it = line.globalMatch(listing);
    while (it.hasNext()) {
        auto const m = it.next();
        lines << DeviceLine{m.captured(1).toInt(), m.captured(2)};
    }
    return lines;
}

int count_differences(QByteArray const& a, QByteArray const& b) {
    int n = 0;
    for (int i = 0; i < qMin(a.size(), b.size()); ++i)
        n += a[i] != b[i];
    return n + qAbs(a.size() - b.size());
}

} // namespace

class TestSimulatorScript : public QObject {
    Q_OBJECT

    QTemporaryDir shared; // the carried image, extracted from the resources
    QString carried_path; // "<shared>/carried firmware.bin"
    QByteArray carried;   // its bytes
    Device::FW_Info carried_info;
    std::unique_ptr<QTemporaryDir> run; // per test: state and working files

    QString work(QString const& name) const { return run->filePath("work dir/" + name); }

    int config(QString const& name) {
        return DFU::run_command(DFU::setup_prepared_config, {name}).first;
    }

    // Uploads into a fresh working file; code through the pointer, bytes returned.
    QByteArray upload_OTP(int* code) {
        QString const file = work("uploaded_OTP.bin");
        QFile::remove(file);
        *code = DFU::run_command(DFU::upload_OTP, {file}).first;
        return read_all(file);
    }
    QByteArray upload_FW_info(int* code) {
        QString const file = work("uploaded_FW_info.bin");
        QFile::remove(file);
        *code = DFU::run_command(DFU::upload_FW_info, {file}).first;
        return read_all(file);
    }
    QByteArray upload_FW(int size, int* code) {
        QString const file = work("uploaded_FW.bin");
        QFile::remove(file);
        *code =
            DFU::run_command(DFU::upload_FW, {"-s", QString("0x08000000:%1").arg(size), "-U", file})
                .first;
        return read_all(file);
    }
    int download(QString const& file) { return DFU::run_command(DFU::download_FW, {file}).first; }

    QString only_serial() {
        auto const [status, items] = DFU::make_scan();
        return status == 0 && items.size() == 1 ? items.front().serial : QString();
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void version_prints_the_expected_banner();
    void banner_of_either_release_data();
    void banner_of_either_release();
    void listing_shows_one_unit();
    void new_state_starts_with_older_revision();
    void configurations_data();
    void configurations();
    void each_load_is_a_new_unit();
    void uploads_have_the_requested_size();
    void existing_upload_file_is_refused();
    void download_leave_and_verify();
    void download_without_unit_fails();
    void failures_data();
    void failures();
    void download_fails_leaves_flash_partly_written();
    void readback_differs_in_one_byte();
    void no_return_after_download();
    void unplug_plug_and_swap();
    void carried_image_from_the_environment();
    void default_carried_image();
    void damaged_state_starts_afresh();
    void state_folders_are_independent();
    void killed_download_keeps_the_old_flash();
    void default_state_folder_is_private();
    void bad_invocations_data();
    void bad_invocations();
};

void TestSimulatorScript::initTestCase() {
    QVERIFY(shared.isValid());
    carried_path = shared.filePath("carried firmware.bin");
    QVERIFY(QFile::copy(":resources/firmware.bin", carried_path));
    carried = read_all(carried_path);
    carried_info = Device::make_FW_Info(carried);
    QVERIFY2(carried_info.valid, "the carried image needs a firmware information block");
    QVERIFY(Device::is_known(carried_info.product.type));
    simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
}

void TestSimulatorScript::init() {
    run = std::make_unique<QTemporaryDir>();
    QVERIFY(run->isValid());
    QVERIFY(QDir(run->path()).mkpath("work dir"));
    qputenv("KELVORA_SIM_STATE_DIR", run->filePath("sim state").toLocal8Bit());
    qputenv("KELVORA_SIM_FIRMWARE", carried_path.toLocal8Bit());
    qunsetenv("KELVORA_SIM_RETURN_MS");
}

void TestSimulatorScript::cleanup() {
    qunsetenv("KELVORA_SIM_STATE_DIR");
    qunsetenv("KELVORA_SIM_FIRMWARE");
    qunsetenv("KELVORA_SIM_RETURN_MS");
    run.reset();
}

void TestSimulatorScript::version_prints_the_expected_banner() {
    auto const [code, output] = DFU::run_command(DFU::version);
    QCOMPARE(code, 0);
    QCOMPARE(output, DFU::dfu_util::expected_output_of_execution_test);
    QVERIFY(DFU::dfu_util::execution_test());
    // The banner needs no state.
    QVERIFY(!QFileInfo::exists(run->filePath("sim state")));
}

void TestSimulatorScript::banner_of_either_release_data() {
    QTest::addColumn<QByteArray>("release");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("banner");
    QTest::newRow("0.9") << QByteArray("0.9") << 0 << DFU::dfu_util::banner_0_9;
    QTest::newRow("0.11") << QByteArray("0.11") << 0 << DFU::dfu_util::banner_0_11;
    QTest::newRow("unknown release") << QByteArray("1.0") << 64 << QString();
}

void TestSimulatorScript::banner_of_either_release() {
    QFETCH(QByteArray, release);
    QFETCH(int, code);
    QFETCH(QString, banner);
    qputenv("KELVORA_SIM_DFU_UTIL_RELEASE", release);
    auto const result = DFU::run_command(DFU::version);
    qunsetenv("KELVORA_SIM_DFU_UTIL_RELEASE");
    QCOMPARE(result.first, code);
    QCOMPARE(result.second, banner);
}

void TestSimulatorScript::listing_shows_one_unit() {
    auto const [code, output] = DFU::run_command(DFU::list);
    QCOMPARE(code, 0);
    QVERIFY(output.startsWith(DFU::dfu_util::expected_output_of_execution_test));
    auto const lines = device_lines(output);
    QCOMPARE(lines.size(), 4);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(lines[i].alt, 3 - i);
        QCOMPARE(lines[i].serial, lines[0].serial);
    }
    QCOMPARE(output.count('\n'), 7 + 4);
    auto const [status, items] = DFU::scan_for_devices(output);
    QCOMPARE(status, 0);
    QCOMPARE(int(items.size()), 1);
    QCOMPARE(items.front().serial, lines[0].serial);
}

void TestSimulatorScript::new_state_starts_with_older_revision() {
    int code = -1;
    QByteArray const otp = upload_OTP(&code);
    QCOMPARE(code, 0);
    QCOMPARE(otp.size(), 512);
    QCOMPARE(otp.left(4), otp_marker);
    QCOMPARE(quint8(otp[4]), quint8(carried_info.product.type));
    QCOMPARE(otp.mid(16), QByteArray(496, '\xff'));
    Device::OTP_Info const otp_info = Device::make_OTP_Info(otp);
    QVERIFY(otp_info.valid);

    QByteArray const info = upload_FW_info(&code);
    QCOMPARE(code, 0);
    QCOMPARE(info.size(), 2048);
    QVERIFY(info.indexOf(begin_marker) >= 0);
    QVERIFY(info.indexOf(end_marker) > info.indexOf(begin_marker));
    Device::FW_Info const fw = Device::make_FW_Info(info);
    QVERIFY(fw.valid);
    QCOMPARE(fw.product.type, carried_info.product.type);
    QCOMPARE(fw.name, carried_info.name);
    QVERIFY(!fw.revision.isEmpty());
    QVERIFY(fw.revision != carried_info.revision);
    QCOMPARE(fw.details.size(), carried_info.details.size());
}

// How a configuration shows itself: the listing and the two records.
void TestSimulatorScript::configurations_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("scan_status");
    QTest::addColumn<int>("units");
    QTest::addColumn<int>("lines");
    QTest::addColumn<QString>("otp");      // carried, other, blank, or a type code 0x..
    QTest::addColumn<QString>("fw_type");  // carried, other, none, or a type code 0x..
    QTest::addColumn<QString>("revision"); // older, carried, empty
    QTest::newRow("older_revision") << "older_revision" << 0 << 1 << 4 << "carried"
                                    << "carried"
                                    << "older";
    QTest::newRow("same_revision") << "same_revision" << 0 << 1 << 4 << "carried"
                                   << "carried"
                                   << "carried";
    QTest::newRow("other_product") << "other_product" << 0 << 1 << 4 << "other"
                                   << "other"
                                   << "older";
    QTest::newRow("blank_otp") << "blank_otp" << 0 << 1 << 4 << "blank"
                               << "carried"
                               << "older";
    QTest::newRow("unknown_type") << "unknown_type" << 0 << 1 << 4 << "0x51"
                                  << "carried"
                                  << "older";
    QTest::newRow("otp_type_0x23") << "otp_type_0x23" << 0 << 1 << 4 << "0x23"
                                   << "0x2b"
                                   << "older";
    QTest::newRow("otp_fw_mismatch") << "otp_fw_mismatch" << 0 << 1 << 4 << "carried"
                                     << "other"
                                     << "older";
    QTest::newRow("no_fw_info") << "no_fw_info" << 0 << 1 << 4 << "carried"
                                << "none"
                                << "";
    QTest::newRow("empty_revision") << "empty_revision" << 0 << 1 << 4 << "carried"
                                    << "carried"
                                    << "empty";
    QTest::newRow("no_device") << "no_device" << 1 << 0 << 0 << ""
                               << ""
                               << "";
    QTest::newRow("two_devices") << "two_devices" << 1 << 2 << 8 << ""
                                 << ""
                                 << "";
    QTest::newRow("three_interfaces") << "three_interfaces" << 1 << 1 << 3 << "carried"
                                      << "carried"
                                      << "older";
    QTest::newRow("readback_differs") << "readback_differs" << 0 << 1 << 4 << "carried"
                                      << "carried"
                                      << "older";
}

void TestSimulatorScript::configurations() {
    QFETCH(QString, name);
    QFETCH(int, scan_status);
    QFETCH(int, units);
    QFETCH(int, lines);
    QFETCH(QString, otp);
    QFETCH(QString, fw_type);
    QFETCH(QString, revision);
    QCOMPARE(config(name), 0);

    auto const [code, listing] = DFU::run_command(DFU::list);
    QCOMPARE(code, 0);
    auto const found = device_lines(listing);
    QCOMPARE(found.size(), lines);
    auto const [status, items] = DFU::scan_for_devices(listing);
    QCOMPARE(status, scan_status);
    QCOMPARE(int(items.size()), units);
    if (units == 2)
        QVERIFY(items[0].serial != items[1].serial);
    if (otp.isEmpty()) {
        // No single unit to talk to: the device commands refuse, as dfu-util does.
        int upload_code = 0;
        QCOMPARE(upload_OTP(&upload_code), QByteArray());
        QCOMPARE(upload_code, 74);
        return;
    }

    int upload_code = -1;
    QByteArray const area = upload_OTP(&upload_code);
    QCOMPARE(upload_code, 0);
    QCOMPARE(area.size(), 512);
    auto const carried_type = quint8(carried_info.product.type);
    Device::OTP_Info const otp_info = Device::make_OTP_Info(area);
    if (otp == "blank") {
        QCOMPARE(area, QByteArray(512, '\xff'));
        QVERIFY(otp_info.blank);
    } else {
        QCOMPARE(area.left(4), otp_marker);
        quint8 const type = quint8(area[4]);
        if (otp == "carried")
            QCOMPARE(type, carried_type);
        else if (otp == "other")
            QVERIFY(type != carried_type && Device::is_known(Device::to_Type(type)));
        else
            QCOMPARE(type, quint8(otp.toUInt(nullptr, 16)));
    }

    QByteArray const block = upload_FW_info(&upload_code);
    QCOMPARE(upload_code, 0);
    QCOMPARE(block.size(), 2048);
    Device::FW_Info const fw = Device::make_FW_Info(block);
    if (fw_type == "none") {
        QVERIFY(!fw.valid);
        QCOMPARE(block.indexOf(begin_marker), -1);
        return;
    }
    QVERIFY(fw.valid);
    auto const type = quint8(fw.product.type);
    if (fw_type == "carried")
        QCOMPARE(type, carried_type);
    else if (fw_type == "other")
        QVERIFY(type != carried_type && Device::is_known(fw.product.type));
    else
        QCOMPARE(type, quint8(fw_type.toUInt(nullptr, 16)));
    if (otp == "other")
        QCOMPARE(quint8(area[4]), type);
    if (revision == "older")
        QVERIFY(!fw.revision.isEmpty() && fw.revision != carried_info.revision);
    else if (revision == "carried")
        QCOMPARE(block, carried.left(2048));
    else
        QCOMPARE(fw.revision, QString(""));
}

void TestSimulatorScript::each_load_is_a_new_unit() {
    QCOMPARE(config("same_revision"), 0);
    QString const first = only_serial();
    QVERIFY(!first.isEmpty());
    QCOMPARE(config("same_revision"), 0);
    QString const second = only_serial();
    QVERIFY(!second.isEmpty());
    QVERIFY(first != second);
}

void TestSimulatorScript::uploads_have_the_requested_size() {
    QCOMPARE(config("same_revision"), 0);
    int code = -1;
    QCOMPARE(upload_FW(1, &code), carried.left(1));
    QCOMPARE(code, 0);
    QCOMPARE(upload_FW(carried.size(), &code), carried);
    QCOMPARE(code, 0);
    // Flash past the image is erased.
    QByteArray const longer = upload_FW(carried.size() + 5000, &code);
    QCOMPARE(code, 0);
    QCOMPARE(longer.left(carried.size()), carried);
    QCOMPARE(longer.mid(carried.size()), QByteArray(5000, '\xff'));
    // More than the 1 MiB of flash is refused.
    QCOMPARE(upload_FW(1024 * 1024 + 1, &code), QByteArray());
    QCOMPARE(code, 74);
}

void TestSimulatorScript::existing_upload_file_is_refused() {
    QString const file = work("uploaded_OTP.bin");
    QVERIFY(write_all(file, "keep"));
    QCOMPARE(DFU::run_command(DFU::upload_OTP, {file}).first, 73);
    QCOMPARE(read_all(file), QByteArray("keep"));
}

void TestSimulatorScript::download_leave_and_verify() {
    qputenv("KELVORA_SIM_RETURN_MS", "3000");
    QCOMPARE(config("older_revision"), 0);
    QString const serial = only_serial();
    QVERIFY(!serial.isEmpty());
    QString const image = work("firmware.bin");
    QVERIFY(QFile::copy(carried_path, image));

    QCOMPARE(download(image), 0);
    // The unit left DFU mode: gone for a while, then back with the same serial.
    auto const [status, items] = DFU::make_scan();
    QCOMPARE(status, 1);
    QVERIFY(items.empty());
    int code = 0;
    upload_OTP(&code);
    QCOMPARE(code, 74);
    QTRY_COMPARE_WITH_TIMEOUT(only_serial(), serial, 15000);

    Device::FW_Info const fw = Device::make_FW_Info(upload_FW_info(&code));
    QCOMPARE(code, 0);
    QCOMPARE(fw.revision, carried_info.revision);

    messages.clear();
    QtMessageHandler const previous = qInstallMessageHandler(capture);
    QByteArray const back = upload_FW(carried.size(), &code);
    qInstallMessageHandler(previous);
    QCOMPARE(code, 0);
    QCOMPARE(back.size(), carried.size());
    QVERIFY(back == carried);
    QString const arguments =
        QString(
            R"(("--dfu-util-command", "upload_FW", "--fast-progress", "-d", "0483", "-a", "0", )"
            R"("-s", "0x08000000:%1", "-U", "%2"))")
            .arg(carried.size())
            .arg(work("uploaded_FW.bin"));
    QVERIFY2(messages.filter("Start ").filter(arguments).size() == 1,
             qPrintable(messages.join('\n')));
}

void TestSimulatorScript::download_without_unit_fails() {
    QCOMPARE(config("no_device"), 0);
    QCOMPARE(download(carried_path), 74);
    QCOMPARE(config("plug"), 0);
    QCOMPARE(download(work("no such file.bin")), 66);
    QVERIFY(!only_serial().isEmpty());
}

// Configurations in which one command fails while the others work.
void TestSimulatorScript::failures_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("list_code");
    QTest::addColumn<int>("otp_code");
    QTest::addColumn<int>("info_code");
    QTest::newRow("list_fails") << "list_fails" << 74 << 0 << 0;
    QTest::newRow("otp_upload_fails") << "otp_upload_fails" << 0 << 74 << 0;
}

void TestSimulatorScript::failures() {
    QFETCH(QString, name);
    QFETCH(int, list_code);
    QFETCH(int, otp_code);
    QFETCH(int, info_code);
    QCOMPARE(config(name), 0);
    QCOMPARE(DFU::run_command(DFU::list).first, list_code);
    auto const [status, items] = DFU::make_scan();
    QCOMPARE(status, list_code == 0 ? 0 : 1);
    QCOMPARE(int(items.size()), list_code == 0 ? 1 : 0);
    int code = -1;
    upload_OTP(&code);
    QCOMPARE(code, otp_code);
    upload_FW_info(&code);
    QCOMPARE(code, info_code);
}

void TestSimulatorScript::download_fails_leaves_flash_partly_written() {
    QCOMPARE(config("download_fails"), 0);
    QString const serial = only_serial();
    QCOMPARE(download(carried_path), 74);
    // Still in DFU mode, with a flash that is neither the old nor the new image.
    QCOMPARE(only_serial(), serial);
    int code = -1;
    QByteArray const flash = upload_FW(carried.size(), &code);
    QCOMPARE(code, 0);
    QCOMPARE(flash.size(), carried.size());
    QVERIFY(flash != carried);
    QCOMPARE(flash.left(4096), carried.left(4096));
    int const late = carried.size() * 3 / 4;
    QVERIFY(carried.mid(late, 4096) != QByteArray(4096, '\xff'));
    QCOMPARE(flash.mid(late, 4096), QByteArray(4096, '\xff'));
}

void TestSimulatorScript::readback_differs_in_one_byte() {
    QCOMPARE(config("readback_differs"), 0);
    QString const serial = only_serial();
    QCOMPARE(download(carried_path), 0);
    QTRY_COMPARE_WITH_TIMEOUT(only_serial(), serial, 15000);
    int code = -1;
    QCOMPARE(upload_FW_info(&code), carried.left(2048));
    QByteArray const flash = upload_FW(carried.size(), &code);
    QCOMPARE(code, 0);
    QCOMPARE(count_differences(flash, carried), 1);
}

void TestSimulatorScript::no_return_after_download() {
    QCOMPARE(config("no_return_after_download"), 0);
    QString const serial = only_serial();
    QCOMPARE(download(carried_path), 0);
    // Well past the usual return after "leave", the unit is still gone.
    QTest::qWait(1500);
    auto const [status, items] = DFU::make_scan();
    QCOMPARE(status, 1);
    QVERIFY(items.empty());
    QCOMPARE(config("plug"), 0);
    QCOMPARE(only_serial(), serial);
    int code = -1;
    QCOMPARE(upload_FW(carried.size(), &code), carried);
}

void TestSimulatorScript::unplug_plug_and_swap() {
    QCOMPARE(config("older_revision"), 0);
    QString const serial = only_serial();
    QVERIFY(!serial.isEmpty());

    QCOMPARE(config("unplug"), 0);
    auto const [status, items] = DFU::make_scan();
    QCOMPARE(status, 1);
    QVERIFY(items.empty());
    int code = 0;
    upload_FW_info(&code);
    QCOMPARE(code, 74);

    QCOMPARE(config("plug"), 0);
    QCOMPARE(only_serial(), serial);

    // Downloaded content belongs to the unit; a swapped-in unit is a fresh one.
    QCOMPARE(download(carried_path), 0);
    QCOMPARE(config("swap_unit"), 0);
    QString const other = only_serial();
    QVERIFY(!other.isEmpty());
    QVERIFY(other != serial);
    Device::FW_Info const fw = Device::make_FW_Info(upload_FW_info(&code));
    QCOMPARE(code, 0);
    QVERIFY(fw.valid);
    QVERIFY(fw.revision != carried_info.revision);
}

void TestSimulatorScript::carried_image_from_the_environment() {
    // Another product and revision in the block of a copy of the image.
    QByteArray image = carried;
    int const begin = test_files::fw_block_offset(image);
    QVERIFY(begin >= 0);
    test_files::set_fw_type(&image, begin, char(0x8C));
    test_files::set_fw_revision(&image, begin, "7.7.7");
    QString const path = run->filePath("other image.bin");
    QVERIFY(write_all(path, image));
    qputenv("KELVORA_SIM_FIRMWARE", path.toLocal8Bit());

    QCOMPARE(config("same_revision"), 0);
    int code = -1;
    QByteArray const otp = upload_OTP(&code);
    QCOMPARE(quint8(otp[4]), quint8(0x8C));
    Device::FW_Info fw = Device::make_FW_Info(upload_FW_info(&code));
    QCOMPARE(fw.product.type, Device::Type::WEXL);
    QCOMPARE(fw.revision, QString("7.7.7"));

    QCOMPARE(config("older_revision"), 0);
    fw = Device::make_FW_Info(upload_FW_info(&code));
    QCOMPARE(fw.product.type, Device::Type::WEXL);
    QVERIFY(!fw.revision.isEmpty() && fw.revision != "7.7.7");

    // An image without a block, or no image, cannot make a unit.
    QVERIFY(write_all(path, QByteArray(4096, '\xff')));
    QCOMPARE(config("same_revision"), 2);
    qputenv("KELVORA_SIM_FIRMWARE", run->filePath("missing.bin").toLocal8Bit());
    QCOMPARE(config("same_revision"), 2);
}

void TestSimulatorScript::default_carried_image() {
    qunsetenv("KELVORA_SIM_FIRMWARE");
    QCOMPARE(config("same_revision"), 0);
    int code = -1;
    QByteArray const source = read_all(KELVORA_SOURCE_DIR "/software/resources/firmware.bin");
    QVERIFY(!source.isEmpty());
    QCOMPARE(upload_FW_info(&code), source.left(2048));
}

void TestSimulatorScript::damaged_state_starts_afresh() {
    QCOMPARE(config("no_device"), 0);
    QVERIFY(write_all(run->filePath("sim state/unit.state"), "config=nonsense\nattached=7\n"));
    QVERIFY(!only_serial().isEmpty());
    int code = -1;
    Device::FW_Info const fw = Device::make_FW_Info(upload_FW_info(&code));
    QCOMPARE(code, 0);
    QVERIFY(fw.revision != carried_info.revision);
}

void TestSimulatorScript::state_folders_are_independent() {
    QCOMPARE(config("same_revision"), 0);
    QString const first_state = qEnvironmentVariable("KELVORA_SIM_STATE_DIR");
    qputenv("KELVORA_SIM_STATE_DIR", run->filePath("second state").toLocal8Bit());
    QCOMPARE(config("unplug"), 0);
    QVERIFY(only_serial().isEmpty());
    qputenv("KELVORA_SIM_STATE_DIR", first_state.toLocal8Bit());
    QVERIFY(!only_serial().isEmpty());
    int code = -1;
    QCOMPARE(upload_FW_info(&code), carried.left(2048));
}

void TestSimulatorScript::killed_download_keeps_the_old_flash() {
    QCOMPARE(config("older_revision"), 0);
    int code = -1;
    QByteArray const before = upload_FW(carried.size(), &code);
    QCOMPARE(code, 0);

    // Without --fast-progress the transfer takes seconds: stop it while it erases.
    QProcess process;
    process.start(simulator::dfu_util_path("dfu-util_simulator.sh"),
                  {"--dfu-util-command", "download_FW", "-d", "0483", "-a", "0", "-s",
                   "0x08000000:leave", "-D", carried_path});
    QByteArray output;
    while (!output.contains("Erase") && process.waitForReadyRead(20000))
        output += process.readAllStandardOutput();
    QVERIFY2(output.contains("Erase"), output.constData());
    process.terminate();
    QVERIFY(process.waitForFinished(20000));
    QVERIFY(process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0);

    QVERIFY(!only_serial().isEmpty());
    QCOMPARE(upload_FW(carried.size(), &code), before);
    QCOMPARE(QDir(run->filePath("sim state")).entryList(QDir::Files | QDir::Hidden),
             (QStringList{"flash.bin", "otp.bin", "unit.state"}));
}

void TestSimulatorScript::default_state_folder_is_private() {
    qunsetenv("KELVORA_SIM_STATE_DIR");
    QByteArray const tmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", run->filePath("tmp dir").toLocal8Bit());
    QVERIFY(QDir(run->path()).mkpath("tmp dir"));
    QString const serial = only_serial();
    if (tmpdir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", tmpdir);
    QVERIFY(!serial.isEmpty());
    QStringList const folders =
        QDir(run->filePath("tmp dir")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(folders.size(), 1);
    QVERIFY(folders.front().startsWith("kelvora-sim-"));
    QFileInfo const info(run->filePath("tmp dir/" + folders.front()));
    QCOMPARE(info.permissions() &
                 (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
             QFile::Permissions());
    QVERIFY(QFileInfo::exists(info.filePath() + "/unit.state"));
}

void TestSimulatorScript::bad_invocations_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::newRow("no arguments") << QStringList{} << 64;
    QTest::newRow("no command name") << QStringList{"--dfu-util-command"} << 64;
    QTest::newRow("unknown command") << QStringList{"--dfu-util-command", "erase_all"} << 64;
    QTest::newRow("unknown option") << QStringList{"--dfu-util-command", "list", "-x"} << 64;
    QTest::newRow("upload without file")
        << QStringList{"--dfu-util-command", "upload_OTP", "-s", "0x1FFF7800:512", "-U"} << 64;
    QTest::newRow("upload without length")
        << QStringList{"--dfu-util-command", "upload_FW", "-s", "0x08000000", "-U", "x"} << 64;
    QTest::newRow("unknown configuration")
        << QStringList{"--dfu-util-command", "setup_prepared_config", "bogus"} << 2;
}

void TestSimulatorScript::bad_invocations() {
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QProcess process;
    process.start(simulator::dfu_util_path("dfu-util_simulator.sh"), arguments);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), code);
    QVERIFY(!process.readAllStandardError().isEmpty());
}

QTEST_GUILESS_MAIN(TestSimulatorScript)
#include "tst_simulator_script.moc"
