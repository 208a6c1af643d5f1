// The virtual units against the real dfu-util: Debian's /usr/bin/dfu-util and the copy that
// the program carries (run path $ORIGIN, its own libusb beside it).

#include "files/files.h"
#include "files/support_misc.h"
#include "test_files.h"
#include "vusb_env.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using vusb_env::Bus;
using vusb_env::UnitSetup;
using Units = QVector<UnitSetup>;
Q_DECLARE_METATYPE(Units)

namespace {

QString const debian_dfu_util = "/usr/bin/dfu-util";
QString const serial_a = "207A35A25542";
QString const serial_b = "3276375B3333";
uint32_t const flash_base = 0x08000000;

char const* const alt_names[4] = {
    "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg",
    "@Option Bytes  /0x1FFFC000/01*016 e",
    "@OTP Memory /0x1FFF7800/01*512 e,01*016 e",
    "@Device Feature/0xFFFF0000/01*004 e",
};

struct Run {
    int code = -1;
    QString out;
    QString err;
};

QByteArray random_bytes(int size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

QByteArray erased(int size) {
    return QByteArray(size, char(0xFF));
}

UnitSetup unit(QString name, QString serial, QMap<QString, QString> knobs = {}) {
    UnitSetup setup;
    setup.name = std::move(name);
    setup.serial = std::move(serial);
    setup.knobs = std::move(knobs);
    return setup;
}

QString hex(uint32_t value) {
    return "0x" + QString::number(value, 16).toUpper().rightJustified(8, '0');
}

} // namespace

class TestVusb : public QObject {
    Q_OBJECT

    QTemporaryDir work_;
    QString bundled_;
    QByteArray firmware_;

    void add_dfu_utils_column() { QTest::addColumn<QString>("dfu_util"); }
    static QString program(QString const& which, QString const& bundled) {
        return which == "bundled" ? bundled : debian_dfu_util;
    }

    Run run(Bus const& bus, QStringList const& arguments, QString const& dfu_util = {}) {
        QProcess process;
        process.setProcessEnvironment(bus.environment());
        process.setWorkingDirectory(work_.path());
        process.start(dfu_util.isEmpty() ? debian_dfu_util : dfu_util, arguments);
        Run result;
        if (!process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    QString fresh_path(QString const& name) {
        QString const path = work_.path() + "/" + name;
        QFile::remove(path);
        return path;
    }

    QString firmware_file() {
        QString const path = work_.path() + "/firmware.bin";
        if (!QFile::exists(path))
            vusb_env::write_whole(path, firmware_);
        return path;
    }

    // A bit that the firmware needs set: stuck at 0, the write of its block cannot take.
    QPair<int, int> needed_bit() const {
        for (int offset = 0; offset < firmware_.size(); ++offset)
            for (int bit = 0; bit < 8; ++bit)
                if (uchar(firmware_[offset]) >> bit & 1)
                    return {offset, bit};
        return {-1, 0};
    }
    QString stuck_bit_knob() const {
        return hex(flash_base + uint32_t(needed_bit().first)) + ":" +
               QString::number(needed_bit().second);
    }

    QStringList download_arguments() {
        return {"-d", "0483", "-a", "0", "-s", "0x08000000:leave", "-D", firmware_file()};
    }
    QStringList upload_arguments(int alt, uint32_t address, int length, QString const& file) {
        return {"-d", "0483",
                "-a", QString::number(alt),
                "-s", hex(address) + ":" + QString::number(length),
                "-U", file};
    }

private slots:
    void initTestCase() {
        if (!QFile::exists(debian_dfu_util))
            QSKIP("dfu-util is not installed");
        QVERIFY(work_.isValid());
        QVERIFY(Files::extract_resources({Files::dfu_util_executable, Files::libusb_dylib}, true));
        bundled_ = Files::path_of(Files::dfu_util_executable);
        QVERIFY(support_misc::mark_file_executable(bundled_));
        QFile image(":resources/firmware.bin");
        QVERIFY(image.open(QIODevice::ReadOnly));
        firmware_ = image.readAll();
        QVERIFY(firmware_.size() > 0x20000);
        QVERIFY(needed_bit().first >= 0);
    }

    // The preload must define every libusb function that dfu-util imports; one left out
    // would reach the real library with the fixture's objects.
    void defines_every_libusb_function_that_dfu_util_imports() {
        QProcess nm;
        nm.start("nm", {"-D", "--undefined-only", debian_dfu_util});
        if (!nm.waitForFinished() || nm.exitCode() != 0)
            QSKIP("nm is not available");
        QStringList imported;
        for (QString const& line : QString::fromUtf8(nm.readAllStandardOutput()).split('\n'))
            if (line.contains(" libusb_"))
                imported << line.section(' ', -1).section('@', 0, 0);
        QVERIFY(imported.size() >= 20);
        nm.start("nm", {"-D", "--defined-only", vusb_env::library()});
        QVERIFY(nm.waitForFinished());
        QCOMPARE(nm.exitCode(), 0);
        QString const defined = QString::fromUtf8(nm.readAllStandardOutput());
        for (QString const& name : imported)
            QVERIFY2(defined.contains(QRegularExpression(" T " + name + "\\n")), qPrintable(name));
    }

    void listing_data() {
        add_dfu_utils_column();
        QTest::addColumn<Units>("units");
        QTest::addColumn<QStringList>("away");
        // Per listed serial number: "<alternate settings>:<device release>"
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("warning");

        for (QString const which : {"debian", "bundled"}) {
            auto name = [&](char const* text) { return (which + ": " + text).toUtf8(); };
            QTest::newRow(name("one unit").constData())
                << which << Units{unit("u1", serial_a)} << QStringList()
                << QStringList{serial_a + ":4:2200"} << "";
            QTest::newRow(name("access refused, another unit listed").constData())
                << which
                << Units{unit("u1", serial_a, {{"access", "denied"}}), unit("u2", serial_b)}
                << QStringList() << QStringList{serial_b + ":4:2200"}
                << "Cannot open DFU device 0483:df11";
        }
        QTest::newRow("two units")
            << "debian" << Units{unit("u1", serial_a), unit("u2", serial_b)} << QStringList()
            << QStringList{serial_a + ":4:2200", serial_b + ":4:2200"} << "";
        QTest::newRow("three alternate settings")
            << "debian" << Units{unit("u1", serial_a, {{"alt_settings", "3"}})} << QStringList()
            << QStringList{serial_a + ":3:2200"} << "";
        QTest::newRow("other device release")
            << "debian" << Units{unit("u1", serial_a, {{"bcd_device", "0x2100"}})} << QStringList()
            << QStringList{serial_a + ":4:2100"} << "";
        QTest::newRow("one unit pulled out")
            << "debian" << Units{unit("u1", serial_a), unit("u2", serial_b)} << QStringList{"u1"}
            << QStringList{serial_b + ":4:2200"} << "";
        QTest::newRow("empty bus") << "debian" << Units{} << QStringList() << QStringList() << "";
        QTest::newRow("access refused, alone")
            << "debian" << Units{unit("u1", serial_a, {{"access", "denied"}})} << QStringList()
            << QStringList() << "Cannot open DFU device 0483:df11";
        QTest::newRow("held by another program, alone")
            << "debian" << Units{unit("u1", serial_a, {{"access", "busy"}})} << QStringList()
            << QStringList() << "(LIBUSB_ERROR_BUSY)";
        QTest::newRow("open times out")
            << "debian"
            << Units{unit("u1", serial_a, {{"hang", "open:0"}, {"hang_ms", "200"}}),
                     unit("u2", serial_b)}
            << QStringList() << QStringList{serial_b + ":4:2200"}
            << "Cannot open DFU device 0483:df11";
        QTest::newRow("unknown knob reported")
            << "debian" << Units{unit("u1", serial_a, {{"colour", "blue"}})} << QStringList()
            << QStringList{serial_a + ":4:2200"} << "ignored \"colour=blue\"";
    }

    void listing() {
        QFETCH(QString, dfu_util);
        QFETCH(Units, units);
        QFETCH(QStringList, away);
        QFETCH(QStringList, expected);
        QFETCH(QString, warning);
        Bus bus;
        for (UnitSetup const& setup : units)
            QVERIFY(bus.add_unit(setup));
        for (QString const& name : away)
            QVERIFY(bus.unplug(name));

        Run const result = run(bus, {"-d", "0483", "-l"}, program(dfu_util, bundled_));
        QCOMPARE(result.code, 0);
        QRegularExpression const line_form(
            "^Found DFU: \\[0483:df11\\] ver=([0-9a-f]{4}), devnum=\\d+, cfg=1, intf=0, "
            "path=\"1-\\d+\", alt=(\\d), name=\"([^\"]*)\", serial=\"([0-9A-F]+)\"$");
        QMap<QString, QStringList> lines_of; // serial -> "ver alt name", in listing order
        for (QString const& line : result.out.split('\n', Qt::SkipEmptyParts)) {
            if (!line.startsWith("Found"))
                continue;
            QRegularExpressionMatch const match = line_form.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            lines_of[match.captured(4)]
                << match.captured(1) + " " + match.captured(2) + " " + match.captured(3);
        }
        QCOMPARE(lines_of.size(), expected.size());
        for (QString const& entry : expected) {
            QStringList const parts = entry.split(':');
            QStringList wanted;
            for (int alt = parts[1].toInt() - 1; alt >= 0; --alt)
                wanted << parts[2] + " " + QString::number(alt) + " " + alt_names[alt];
            QCOMPARE(lines_of.value(parts[0]), wanted);
        }
        if (warning.isEmpty())
            QVERIFY2(!result.err.contains("Cannot open"), qPrintable(result.err));
        else
            QVERIFY2(result.err.contains(warning), qPrintable(result.err));
    }

    void uploads_data() {
        add_dfu_utils_column();
        QTest::addColumn<int>("alt");
        QTest::addColumn<uint>("address");
        QTest::addColumn<int>("length");

        for (QString const which : {"debian", "bundled"}) {
            QTest::newRow(qPrintable(which + ": OTP area")) << which << 2 << 0x1FFF7800u << 512;
            QTest::newRow(qPrintable(which + ": firmware information"))
                << which << 0 << flash_base << 2048;
        }
        QTest::newRow("whole image") << "debian" << 0 << flash_base << 625900;
        QTest::newRow("odd length across sectors") << "debian" << 0 << 0x08003F00u << 5001;
        QTest::newRow("end of flash") << "debian" << 0 << 0x080FF800u << 2048;
        QTest::newRow("OTP lock bytes") << "debian" << 2 << 0x1FFF7A00u << 16;
    }

    void uploads() {
        QFETCH(QString, dfu_util);
        QFETCH(int, alt);
        QFETCH(uint, address);
        QFETCH(int, length);
        Bus bus;
        UnitSetup setup = unit("u1", serial_a);
        setup.flash = random_bytes(vusb_env::flash_size, 1);
        setup.otp = random_bytes(vusb_env::otp_size, 2);
        QVERIFY(bus.add_unit(setup));

        QString const file = fresh_path("upload.bin");
        Run const result =
            run(bus, upload_arguments(alt, address, length, file), program(dfu_util, bundled_));
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QByteArray const& memory = alt == 0 ? setup.flash : setup.otp;
        uint32_t const base = alt == 0 ? flash_base : 0x1FFF7800u;
        QCOMPARE(test_files::read_all(file), memory.mid(int(address - base), length));
        // Reading leaves the unit as it was.
        QCOMPARE(bus.flash("u1"), setup.flash);
        QCOMPARE(bus.otp("u1"), setup.otp);
    }

    void download_and_read_back_data() {
        add_dfu_utils_column();
        QTest::newRow("debian") << "debian";
        QTest::newRow("bundled") << "bundled";
    }

    void download_and_read_back() {
        QFETCH(QString, dfu_util);
        Bus bus;
        UnitSetup setup = unit("u1", serial_a, {{"back_after_ms", "300"}});
        QByteArray const old_flash = random_bytes(vusb_env::flash_size, 3);
        setup.flash = old_flash;
        QVERIFY(bus.add_unit(setup));

        Run const result = run(bus, download_arguments(), program(dfu_util, bundled_));
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QVERIFY2(result.err.contains("Invalid DFU suffix signature"), qPrintable(result.err));
        QVERIFY(result.out.contains("File downloaded successfully"));
        QVERIFY(result.out.contains("Submitting leave request..."));

        // The image, erased up to the end of its last sector (0x08080000..0x0809FFFF), and
        // the sectors after it untouched.
        QByteArray const flash = bus.flash("u1");
        int const end_of_last_sector = 0xA0000;
        QCOMPARE(flash.left(firmware_.size()), firmware_);
        QCOMPARE(flash.mid(firmware_.size(), end_of_last_sector - firmware_.size()),
                 erased(end_of_last_sector - firmware_.size()));
        QCOMPARE(flash.mid(end_of_last_sector), old_flash.mid(end_of_last_sector));

        // The unit left DFU mode and comes back in its bootloader.
        QTRY_VERIFY_WITH_TIMEOUT(bus.present("u1"), 5000);
        QString const file = fresh_path("read_back.bin");
        Run const back = run(bus, upload_arguments(0, flash_base, firmware_.size(), file),
                             program(dfu_util, bundled_));
        QVERIFY2(back.code == 0, qPrintable(back.err));
        QCOMPARE(test_files::read_all(file), firmware_);
    }

    void failures_data() {
        QTest::addColumn<Units>("units");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("present_after");

        Units const one{unit("u1", serial_a)};
        QTest::newRow("upload into an existing file")
            << one << "existing" << 73 << "File exists" << true;
        QTest::newRow("no unit") << Units{} << "upload" << 74
                                 << "No DFU capable USB device available" << false;
        QTest::newRow("two units") << Units{unit("u1", serial_a), unit("u2", serial_b)} << "upload"
                                   << 74 << "More than one DFU capable USB device" << true;
        QTest::newRow("access refused") << Units{unit("u1", serial_a, {{"access", "denied"}})}
                                        << "upload" << 74 << "LIBUSB_ERROR_ACCESS" << true;
        QTest::newRow("held by another program")
            << Units{unit("u1", serial_a, {{"access", "busy"}})} << "upload" << 74
            << "LIBUSB_ERROR_BUSY" << true;
        QTest::newRow("pulled out during upload")
            << Units{unit("u1", serial_a, {{"unplug", "upload:0"}})} << "upload" << 74
            << "LIBUSB_ERROR_NO_DEVICE" << false;
        QTest::newRow("pulled out during download")
            << Units{unit("u1", serial_a, {{"unplug", "download:10"}})} << "download" << 74
            << "LIBUSB_ERROR_NO_DEVICE" << false;
        QTest::newRow("upload times out")
            << Units{unit("u1", serial_a, {{"hang", "upload:0"}, {"hang_ms", "200"}})} << "upload"
            << 74 << "LIBUSB_ERROR_TIMEOUT" << true;
        QTest::newRow("download times out")
            << Units{unit("u1", serial_a, {{"hang", "download:3"}, {"hang_ms", "200"}})}
            << "download" << 74 << "LIBUSB_ERROR_TIMEOUT" << true;
        QTest::newRow("write does not take")
            << Units{unit("u1", serial_a, {{"stuck_bit", stuck_bit_knob()}})} << "download" << 74
            << "Programmed memory failed verification" << true;
        QTest::newRow("leave without status answer")
            << Units{unit("u1", serial_a, {{"leave_status", "none"}, {"after_leave", "gone"}})}
            << "download" << 74 << "Error during download get_status" << false;
        QTest::newRow("interface claimed by another process")
            << one << "busy" << 74 << "LIBUSB_ERROR_BUSY" << true;
        QTest::newRow("OTP written twice")
            << one << "otp twice" << 74 << "Programmed memory failed verification" << true;
        QTest::newRow("OTP block locked")
            << one << "otp locked" << 74 << "Device is unable to write memory" << true;
    }

    void failures() {
        QFETCH(Units, units);
        QFETCH(QString, command);
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(bool, present_after);
        Bus bus;
        for (UnitSetup setup : units) {
            setup.flash = random_bytes(0x100, 4) + erased(0x100) + random_bytes(0x200, 5);
            if (setup.name == "u1" && command == "otp locked")
                setup.otp = erased(512) + QByteArray(1, '\0') + erased(15); // block 0 locked
            QVERIFY(bus.add_unit(setup));
        }

        QString const file = fresh_path("upload.bin");
        QStringList arguments = upload_arguments(0, flash_base, 2048, file);
        if (command == "existing") {
            QVERIFY(vusb_env::write_whole(file, "keep"));
        } else if (command == "download") {
            arguments = download_arguments();
        } else if (command.startsWith("otp")) {
            QString const record = work_.path() + "/record.bin";
            QVERIFY(vusb_env::write_whole(record, QByteArray(16, char(0x5A))));
            arguments = QStringList{"-d", "0483", "-a", "2", "-s", "0x1FFF7800", "-D", record};
            if (command == "otp twice") {
                Run const first = run(bus, arguments);
                QVERIFY2(first.code == 0, qPrintable(first.err));
                QCOMPARE(bus.otp("u1").left(16), QByteArray(16, char(0x5A)));
                QVERIFY(vusb_env::write_whole(record, QByteArray(16, char(0xA5))));
            }
        }
        int claim = -1;
        if (command == "busy") {
            claim = open(qPrintable(bus.unit_path("u1") + "/lock"), O_RDWR | O_CREAT, 0644);
            QVERIFY(claim >= 0 && flock(claim, LOCK_EX | LOCK_NB) == 0);
        }
        Run const result = run(bus, arguments);
        if (claim >= 0)
            close(claim);
        QCOMPARE(result.code, code);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        if (!units.isEmpty())
            QCOMPARE(bus.present("u1"), present_after);
        if (command == "existing")
            QCOMPARE(test_files::read_all(file), QByteArray("keep"));
    }

    // Pulled out after 10 blocks: those are written, the rest of the erased sectors stays
    // erased, and the unit stays away until it is plugged in again.
    void pulled_out_during_download_leaves_part_of_the_image() {
        Bus bus;
        QVERIFY(bus.add_unit(unit("u1", serial_a, {{"unplug", "download:10"}})));
        QCOMPARE(run(bus, download_arguments()).code, 74);
        QByteArray const flash = bus.flash("u1");
        QCOMPARE(flash.left(10 * 2048), firmware_.left(10 * 2048));
        QCOMPARE(flash.mid(10 * 2048, 2048), erased(2048));
        QVERIFY(!run(bus, {"-d", "0483", "-l"}).out.contains("Found DFU"));

        QVERIFY(bus.plug_in("u1"));
        QVERIFY(bus.set_knob("u1", "unplug", ""));
        Run const again = run(bus, download_arguments());
        QVERIFY2(again.code == 0, qPrintable(again.err));
        QCOMPARE(bus.flash("u1").left(firmware_.size()), firmware_);
    }

    // The unit resets on "leave" before answering: dfu-util fails, the image is complete.
    void leave_without_status_answer_keeps_the_image() {
        Bus bus;
        QVERIFY(bus.add_unit(unit("u1", serial_a, {{"leave_status", "none"}})));
        Run const result = run(bus, download_arguments());
        QCOMPARE(result.code, 74);
        QVERIFY(result.out.contains("File downloaded successfully"));
        QCOMPARE(bus.flash("u1").left(firmware_.size()), firmware_);
        QTRY_VERIFY_WITH_TIMEOUT(bus.present("u1"), 5000);
    }

    void flipped_bit_reads_back_wrong() {
        Bus bus;
        UnitSetup setup = unit("u1", serial_a, {{"flip_bit", "0x08000123:6"}});
        setup.flash = random_bytes(4096, 6);
        QVERIFY(bus.add_unit(setup));
        QString const file = fresh_path("upload.bin");
        Run const result = run(bus, upload_arguments(0, flash_base, 4096, file));
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QByteArray expected = setup.flash.left(4096);
        expected[0x123] = char(expected[0x123] ^ 0x40);
        QCOMPARE(test_files::read_all(file), expected);
        QCOMPARE(bus.flash("u1").left(4096), setup.flash.left(4096)); // the cell itself is right
    }

    // A failed write leaves the unit in dfuERROR; the next dfu-util clears it and goes on.
    void error_state_carries_over_to_the_next_run() {
        Bus bus;
        QVERIFY(bus.add_unit(unit("u1", serial_a, {{"stuck_bit", stuck_bit_knob()}})));
        QCOMPARE(run(bus, download_arguments()).code, 74);
        QPair<int, int> const stuck = needed_bit();
        QString const file = fresh_path("upload.bin");
        Run const next =
            run(bus, upload_arguments(0, flash_base + uint32_t(stuck.first), 16, file));
        QVERIFY2(next.code == 0, qPrintable(next.err));
        QVERIFY2(next.out.contains("dfuERROR"), qPrintable(next.out));
        // The block holds what could be written: the image but for the stuck bit.
        QByteArray expected = firmware_.mid(stuck.first, 16);
        expected[0] = char(expected[0] & ~(1 << stuck.second));
        QCOMPARE(test_files::read_all(file), expected);
    }

    void return_after_leave_data() {
        QTest::addColumn<QString>("after_leave");
        QTest::addColumn<bool>("comes_back");
        QTest::newRow("back in the bootloader") << "back" << true;
        QTest::newRow("never back") << "gone" << false;
    }

    void return_after_leave() {
        QFETCH(QString, after_leave);
        QFETCH(bool, comes_back);
        Bus bus;
        QVERIFY(bus.add_unit(
            unit("u1", serial_a, {{"after_leave", after_leave}, {"back_after_ms", "1500"}})));
        QCOMPARE(run(bus, download_arguments()).code, 0);
        Run const right_after = run(bus, {"-d", "0483", "-l"});
        QCOMPARE(right_after.code, 0);
        QVERIFY(!right_after.out.contains("Found DFU"));
        if (comes_back) {
            QTRY_VERIFY_WITH_TIMEOUT(run(bus, {"-d", "0483", "-l"}).out.count(serial_a) == 4,
                                     10000);
        } else {
            QTest::qWait(2000);
            QVERIFY(!run(bus, {"-d", "0483", "-l"}).out.contains("Found DFU"));
        }
    }

    // A transfer that never ends keeps dfu-util until it is killed; the unit's image stays
    // whole and holds what was written before.
    void hanging_transfer_until_killed() {
        Bus bus;
        QVERIFY(bus.add_unit(unit("u1", serial_a, {{"hang", "download:20"}})));
        QProcess process;
        process.setProcessEnvironment(bus.environment());
        process.start(debian_dfu_util, download_arguments());
        QVERIFY(process.waitForStarted());
        QVERIFY(!process.waitForFinished(3000));
        process.kill();
        QVERIFY(process.waitForFinished());
        QByteArray const flash = bus.flash("u1");
        QFile file(bus.unit_path("u1") + "/flash.bin");
        QCOMPARE(file.size(), qint64(vusb_env::flash_size));
        QCOMPARE(flash.left(20 * 2048), firmware_.left(20 * 2048));

        // Interrupted between blocks, the unit is still in its download state; the next
        // dfu-util aborts that and reads normally.
        QVERIFY(bus.set_knob("u1", "hang", ""));
        QString const out = fresh_path("upload.bin");
        Run const next = run(bus, upload_arguments(0, flash_base, 2048, out));
        QVERIFY2(next.code == 0, qPrintable(next.err));
        QVERIFY2(next.out.contains("dfuDNLOAD-IDLE"), qPrintable(next.out));
        QCOMPARE(test_files::read_all(out), firmware_.left(2048));
    }

    // The image as a DfuSe file: dfu-util takes address and alternate setting from it.
    void dfuse_file_download() {
        Bus bus;
        QVERIFY(bus.add_unit(unit("u1", serial_a)));
        QString const file = work_.path() + "/firmware.dfu";
        QFile::remove(file);
        QVERIFY(QFile::copy(":resources/firmware.dfu", file));
        Run const result = run(bus, {"-d", "0483", "-a", "0", "-s", ":leave", "-D", file});
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QVERIFY(result.out.contains("Done parsing DfuSe file"));
        QCOMPARE(bus.flash("u1").left(firmware_.size()), firmware_);
    }

    // Children inherit the exported environment, as the program's dfu-util children will.
    void exported_environment_reaches_children() {
        Bus bus;
        QVERIFY(bus.add_unit(unit("u1", serial_a)));
        bus.export_to_process();
        QProcess child;
        child.start(debian_dfu_util, {"-d", "0483", "-l"});
        QVERIFY(child.waitForFinished());
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).count(serial_a), 4);

        Bus::unexport_from_process();
        QVERIFY(!qEnvironmentVariable("LD_PRELOAD").contains(vusb_env::library()));
        child.start(debian_dfu_util, {"-d", "0483", "-l"});
        QVERIFY(child.waitForFinished());
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).count(serial_a), 0);
    }

    void benchmark_download_with_real_timing() {
        Bus bus;
        QVERIFY(bus.add_unit(unit("u1", serial_a, {{"timing", "real"}, {"timing_scale", "0.2"}})));
        Run result;
        QBENCHMARK_ONCE {
            result = run(bus, download_arguments());
        }
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QCOMPARE(bus.flash("u1").left(firmware_.size()), firmware_);
    }
};

QTEST_GUILESS_MAIN(TestVusb)
#include "tst_vusb.moc"
