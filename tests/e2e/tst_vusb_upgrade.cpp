// The whole tool against virtual units: real-device mode, the dfu-util that the tool carries
// and extracts, and the virtual bootloader preloaded into every dfu-util it starts. Each case
// plugs in its own bus folder with its units; the flow and the window are watched as a user
// would see them, and the unit's flash is inspected afterwards.
//
// The tool's environment names a fixed folder for the bus, which is a link: a case points it
// at its own bus, between cases it points at an empty one (no unit).
#include "app/startup.h"
#include "control/flow_machine.h"
#include "control/upgrade_record.h"
#include "control/worker.h"
#include "dfu/command.h"
#include "e2e/tool_harness.h"
#include "files/files.h"
#include "gui/install_button.h"
#include "gui/main_window.h"
#include "gui/outcome_label.h"
#include "gui/progress_bar.h"
#include "isolated_home.h"
#include "message_log.h"
#include "settings/settings.h"
#include "switched_bus.h"
#include "system/tsan_edges.h"
#include "test_files.h"
#include "vusb_env.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextDocumentFragment>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/inotify.h>
#include <unistd.h>

using switched_bus::attach;
using vusb_env::Bus;
using vusb_env::UnitSetup;
using Knobs = QMap<QString, QString>;
using Units = QVector<UnitSetup>;
Q_DECLARE_METATYPE(Units)
Q_DECLARE_METATYPE(UnitSetup)

namespace {

constexpr int flow_timeout_ms = 60000;
constexpr int block_size = 2048;
constexpr uint32_t flash_base = 0x08000000;
QString const older_revision = "2.3.0";

using tool::status;
using tool::text;

QString short_name(QAbstractState const* state) {
    return state->objectName().left(2);
}

bool in_state(QString const& name) {
    for (QAbstractState* state : sm_B->configuration())
        if (short_name(state) == name)
            return true;
    return false;
}

using test_files::read_all;

// The carried image with another product type and revision in its information block.
QByteArray variant(QByteArray image, char type, QString const& revision) {
    int const block = test_files::fw_block_offset(image);
    if (block < 0)
        return {};
    test_files::set_fw_type(&image, block, type);
    test_files::set_fw_revision(&image, block, revision.toUtf8());
    return image;
}

// One OTP record in slot 0.
QByteArray otp_record(char type) {
    QByteArray record = test_files::otp_marker();
    record += type;
    record += QByteArray(3, char(0xFF));
    record += QByteArray("\x00\x01\x02\x03\x04\x05\x06\x07", 8);
    return record;
}

// A whole flash of which `image` is the beginning.
QByteArray erased_after(QByteArray image) {
    image.append(QByteArray(vusb_env::flash_size - image.size(), char(0xFF)));
    return image;
}

// Moves a unit made on one bus onto another in one step, so that no listing sees it half made.
bool move_unit(Bus const& from, QString const& name, Bus const& to) {
    return QDir().rename(from.unit_path(name), to.unit_path(name));
}

char swap_token;

QString hex(uint32_t value) {
    return "0x" + QString::number(value, 16).toUpper();
}

// The worker's and the flow machine's reports, counted on the GUI thread.
struct Watch : QObject {
    int scans = 0;
    int readings = 0;
    int downloads = 0;
    int verifications = 0;
    int matches = 0;
    int differs = 0;
    QStringList entered;  // short state names, in order
    QStringList failures; // the labels of the flow's failures, in order
    QStringList ends;     // every end the watch told, in order
    int restarts = 0;     // the unit was told to restart after its write

    void reset() {
        readings = downloads = verifications = matches = differs = restarts = 0;
        entered.clear();
        failures.clear();
        ends.clear();
    }

    void connect_to_tool() {
        connect(sm_A, &SM_A::sig_A2_entered, this, [this] { ++scans; });
        connect(sm_A, &SM_A::sig_readingInfo, this, [this] { ++readings; });
        connect(sm_A, &SM_A::sig_FwDownloaded, this, [this] { ++downloads; });
        connect(sm_A, &SM_A::sig_FwUploading, this, [this] { ++verifications; });
        connect(sm_B, &SM_B::sig_FwMatches, this, [this] { ++matches; });
        connect(sm_B, &SM_B::sig_FwDiffers, this, [this] { ++differs; });
        connect(sm_B->watch, &UpgradeWatch::finished, this, [this](UpgradeResult const& r) {
            if (!outcome_label(r.outcome).isEmpty())
                failures << outcome_label(r.outcome);
            ends << record_text(r.outcome);
        });
        connect(sm_B->watch, &UpgradeWatch::restarting, this, [this] { ++restarts; });
        for (QAbstractState* state : sm_B->findChildren<QAbstractState*>())
            connect(state, &QAbstractState::entered, this,
                    [this, state] { entered << short_name(state); });
    }
};

} // namespace

class TestVusbUpgrade : public QObject {
    Q_OBJECT

    Watch watch_;
    QByteArray carried_;
    QString carried_revision_;
    int serial_counter_ = 0;
    std::unique_ptr<Bus> bus_; // the bus of the running case
    std::unique_ptr<MessageLog> log_;
    // A file that an image tag in a unit's revision names (short: a revision has 31 bytes).
    QTemporaryDir probe_dir_{"/tmp/kp-XXXXXX"};

    QString probe_file() const { return probe_dir_.path() + "/p"; }
    QString real_record() const {
        return isolated_home::real_data_home() + "/kelvora-upgrade/upgrades.jsonl";
    }

    bool logged(QString const& part) const { return log_->contains(part); }

    // A unit of the carried product; each gets a serial of its own, so the worker reads it
    // as a new unit whatever the case before it left behind.
    UnitSetup unit(QString const& revision, Knobs const& knobs = {}, char type = 0x04) {
        UnitSetup setup;
        setup.name = QString("unit%1").arg(++serial_counter_);
        setup.serial = QString("5E1A%1").arg(serial_counter_, 8, 10, QChar('0'));
        setup.otp = otp_record(type);
        setup.flash = variant(carried_, type, revision);
        setup.knobs = knobs;
        return setup;
    }

    bool wait_for_scans(int count) {
        int const target = watch_.scans + count;
        return QTest::qWaitFor([&] { return watch_.scans >= target; }, flow_timeout_ms);
    }

    bool wait_for_no_unit() {
        // A listing started before the bus changed may still report the old units.
        return wait_for_scans(3) &&
               QTest::qWaitFor([] { return in_state("B1") && status() == text("status_noDev"); },
                               flow_timeout_ms);
    }

    // Plugs in the case's units all at once: a bus folder of their own.
    Bus* plug_in(Units const& units) {
        auto bus = std::make_unique<Bus>();
        for (UnitSetup const& setup : units)
            if (!bus->add_unit(setup))
                return nullptr;
        if (!attach(bus->path()))
            return nullptr;
        bus_ = std::move(bus);
        return bus_.get();
    }

    QByteArray uploaded() const { return read_all(Files::path_of(Files::uploaded_FW_bin)); }

    // Where the read-back differs from the carried image: offset and bit mask of each byte.
    QList<QPair<int, int>> differences(QByteArray const& read_back) const {
        QList<QPair<int, int>> list;
        for (int i = 0; i < qMin(read_back.size(), carried_.size()); ++i)
            if (read_back[i] != carried_[i])
                list << qMakePair(i, int(uchar(read_back[i] ^ carried_[i])));
        return list;
    }

    // A bit of the image body, well away from the information block.
    static int const flipped_offset = 300001;
    static int const flipped_bit = 5;
    static QString flip_bit_knob() {
        return hex(flash_base + flipped_offset) + ":" + QString::number(flipped_bit);
    }

    bool click_install() {
        if (!QTest::qWaitFor([] { return mainWindow->install_button->isEnabled(); },
                             flow_timeout_ms))
            return false;
        QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
        return true;
    }

    // From a unit offered in B2: click install, wait until the download ended and the unit left.
    bool download_until_unit_left() {
        return QTest::qWaitFor([] { return in_state("B2"); }, flow_timeout_ms) && click_install() &&
               QTest::qWaitFor([&] { return watch_.downloads == 1; }, flow_timeout_ms) &&
               QTest::qWaitFor([] { return in_state("B1"); }, flow_timeout_ms);
    }

    bool wait_for_verdict(int verdicts) {
        return QTest::qWaitFor([&] { return watch_.matches + watch_.differs >= verdicts; },
                               flow_timeout_ms);
    }

    void check_done(QString const& unit_name) {
        QVERIFY(in_state("B6"));
        QCOMPARE(mainWindow->progress_bar->format(), QString("Done. Disconnect USB cable."));
        QVERIFY(mainWindow->progress_bar->isVisible());
        QCOMPARE(mainWindow->progress_bar->value(), mainWindow->progress_bar->maximum());
        QCOMPARE(status(), text("status_devRev").arg("Lx-21").arg(carried_revision_));
        QVERIFY(!mainWindow->install_button->isEnabled());
        QVERIFY(bus_->flash(unit_name).startsWith(carried_));
        QVERIFY(uploaded() == carried_);
    }

    void check_differs(QString const& failure = "status_verifyFailed") {
        QVERIFY(in_state("B7"));
        QCOMPARE(mainWindow->progress_bar->format(), QString("FW differs"));
        QVERIFY(!mainWindow->progress_bar->isVisible());
        QVERIFY(mainWindow->install_button->isEnabled());
        // The check's failure stays on the status line, with the way out.
        QCOMPARE(status(), text(failure).arg("Lx-21"));
    }

    // The failure stays on screen while nothing else happens, and nothing reads "Done".
    void check_failure_stays(QString const& failure) {
        QVERIFY(wait_for_scans(5));
        QCOMPARE(status(), text(failure).arg("Lx-21"));
        QCOMPARE(watch_.matches, 0);
        QVERIFY(mainWindow->progress_bar->format() != "Done. Disconnect USB cable.");
        QVERIFY(!mainWindow->progress_bar->isVisible());
    }

    bool wait_for_failure() {
        return QTest::qWaitFor([&] { return !watch_.failures.isEmpty(); }, flow_timeout_ms);
    }

    // The user pulls the unit (unless it is out already) and connects it again.
    bool reconnect(Bus* bus, QString const& name) {
        return bus->unplug(name) &&
               QTest::qWaitFor([] { return in_state("B1"); }, flow_timeout_ms) &&
               wait_for_scans(2) && bus->plug_in(name);
    }

    // The outcomes that the upgrade record holds for the unit, oldest first.
    static QStringList recorded(QString const& serial) {
        auto const* recorder = mainWindow->findChild<UpgradeRecorder*>();
        if (!recorder)
            return {"no recorder"};
        QStringList outcomes;
        for (QByteArray const& line : read_all(recorder->file()).split('\n')) {
            QJsonObject const object = QJsonDocument::fromJson(line).object();
            // The line that opens each attempt is not an outcome.
            if (object["serial"].toString() == serial && object["outcome"] != "started")
                outcomes << object["outcome"].toString();
        }
        return outcomes;
    }

    // An offset in the image body (past the information block) whose byte has bit `bit` set.
    int offset_with_bit_set(int bit) const {
        for (int i = flipped_offset; i < carried_.size(); ++i)
            if (uchar(carried_[i]) & (1 << bit))
                return i;
        return -1;
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void upgrade_by_click_data();
    void upgrade_by_click();
    void verify_without_click_data();
    void verify_without_click();
    void unit_of_another_product();
    void no_usable_unit_data();
    void no_usable_unit();
    void unit_pulled_mid_download();
    void unit_not_back_after_leave();
    void transfer_hangs_data();
    void transfer_hangs();
    void error_during_write();
    void command_for_a_unit_that_left_data();
    void command_for_a_unit_that_left();
    void another_unit_during_the_restart_data();
    void another_unit_during_the_restart();
    void unit_swapped_before_its_check_data();
    void unit_swapped_before_its_check();
    void working_copy_changed_data();
    void working_copy_changed();
    void unit_strings_shown_as_text_data();
    void unit_strings_shown_as_text();
    void read_back_cut_short_data();
    void read_back_cut_short();
    void refusing_unit_beside_another_data();
    void refusing_unit_beside_another();
};

void TestVusbUpgrade::initTestCase() {
    carried_ = read_all(":resources/firmware.bin");
    QVERIFY(carried_.size() > flipped_offset);
    carried_revision_ = settings.desired_FW_revision;
    QVERIFY(!carried_revision_.isEmpty() && carried_revision_ != older_revision);
    QCOMPARE(variant(carried_, 0x04, carried_revision_), carried_);
    // Real-device mode: the carried dfu-util from the working directory.
    QCOMPARE(DFU::Command::path, Files::external_dir.path());
    watch_.connect_to_tool();
    // After the test framework has put its own handler in place.
    log_ = std::make_unique<MessageLog>();
    QFile probe(probe_file());
    QVERIFY(probe.open(QIODevice::WriteOnly) && probe.write("x") == 1);
}

void TestVusbUpgrade::cleanupTestCase() {
    log_.reset();
    // The upgrades of this run went into the test's own record, and none of them into the
    // user's (which others may write meanwhile).
    QString const own = UpgradeRecorder::default_file();
    QVERIFY(own.startsWith(isolated_home::root() + "/"));
    QByteArray const users = read_all(real_record());
    for (QByteArray const& line : read_all(own).split('\n')) {
        QByteArray const attempt =
            QJsonDocument::fromJson(line).object()["attempt"].toString().toUtf8();
        QVERIFY(attempt.isEmpty() || !users.contains(attempt));
    }
}

void TestVusbUpgrade::cleanup() {
    if (!QTest::currentTestFailed())
        return;
    QStringList const lines = log_->lines();
    std::fprintf(stderr, "---- the tool's last messages ----\n%s\n",
                 qPrintable(lines.mid(qMax(0, lines.size() - 80)).join('\n')));
}

void TestVusbUpgrade::init() {
    QVERIFY(attach(switched_bus::empty_bus()));
    QVERIFY(wait_for_no_unit());
    bus_.reset(); // the last case's bus, now that no dfu-util looks at it any more
    watch_.reset();
    log_->clear();
}

void TestVusbUpgrade::upgrade_by_click_data() {
    QTest::addColumn<Knobs>("knobs");
    QTest::addColumn<bool>("by_script");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("older revision") << Knobs{} << false << "B6";
    QTest::newRow("unit folder from make_unit.sh") << Knobs{} << true << "B6";
    QTest::newRow("a bit reads back wrong")
        << Knobs{{"flip_bit", flip_bit_knob()}} << false << "B7";
    // dfu-util exits with an error although the whole image was written.
    QTest::newRow("reset on leave without the last status")
        << Knobs{{"leave_status", "none"}} << false << "B6";
    QTest::newRow("reset on leave without the last status, a bit reads back wrong")
        << Knobs{{"leave_status", "none"}, {"flip_bit", flip_bit_knob()}} << false << "B7";
}

void TestVusbUpgrade::upgrade_by_click() {
    QFETCH(Knobs, knobs);
    QFETCH(bool, by_script);
    QFETCH(QString, verdict);

    UnitSetup const setup = unit(older_revision, knobs);
    Bus* bus = nullptr;
    if (by_script) {
        bus = plug_in({});
        QVERIFY(bus);
        QVERIFY(bus->make_unit(setup.name, {"--serial", setup.serial, "--image",
                                            Files::path_of(Files::desired_FW_bin)}));
        QCOMPARE(bus->flash(setup.name), erased_after(setup.flash));
        QVERIFY(bus->otp(setup.name).startsWith(setup.otp));
    } else {
        bus = plug_in({setup});
        QVERIFY(bus);
    }

    QTRY_VERIFY_WITH_TIMEOUT(in_state("B2"), flow_timeout_ms);
    QCOMPARE(sm_B->device_info.OTP_info.product_name(), QString("Lx-21"));
    QCOMPARE(status(), text("status_devRev").arg("Lx-21").arg(older_revision));
    QVERIFY(click_install());
    QVERIFY(wait_for_verdict(1));

    // Upgrading, the unit leaves and comes back with the new revision, verifying, verdict.
    QCOMPARE(watch_.entered, (QStringList{"B2", "B3", "B1", "B4", verdict}));
    QCOMPARE(watch_.downloads, 1);
    QCOMPARE(watch_.verifications, 1);
    QCOMPARE(watch_.readings, 2);
    // The download itself took in every case.
    QVERIFY(bus->flash(setup.name).startsWith(carried_));
    // dfu-util's error once every block was written is no failure of the write: the unit
    // restarts, and its check alone ends the upgrade, once, in the record as on the window.
    if (knobs.contains("leave_status"))
        QVERIFY(logged("Exit with 74"));
    QCOMPARE(watch_.restarts, 1);
    QCOMPARE(watch_.ends, QStringList{verdict == "B6" ? "done" : "differs"});
    QCOMPARE(recorded(setup.serial), watch_.ends);

    if (verdict == "B6") {
        CHECKED(check_done(setup.name));
        QCOMPARE(watch_.differs, 0);
        // No failure was told at any time, and only "Done" was announced.
        QCOMPARE(watch_.failures, QStringList{});
        QVERIFY(!logged("upgrade failed"));
    } else {
        CHECKED(check_differs());
        QCOMPARE(watch_.matches, 0);
        // What the tool read back is the carried image but for the one bit that reads wrong.
        QCOMPARE(uploaded().size(), carried_.size());
        QCOMPARE(differences(uploaded()),
                 (QList<QPair<int, int>>{{flipped_offset, 1 << flipped_bit}}));
    }

    // The verdict stands while the unit stays connected.
    QVERIFY(wait_for_scans(5));
    QVERIFY(in_state(verdict));
    QCOMPARE(watch_.verifications, 1);
    if (verdict == "B6")
        return;

    // A second click writes the unit again; with the fault gone it ends in "Done".
    QVERIFY(bus->set_knob(setup.name, "flip_bit", ""));
    click_install();
    QVERIFY(wait_for_verdict(2));
    QCOMPARE(watch_.downloads, 2);
    CHECKED(check_done(setup.name));
}

void TestVusbUpgrade::verify_without_click_data() {
    QTest::addColumn<Knobs>("knobs");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("carried revision") << Knobs{} << "B6";
    QTest::newRow("carried revision, a bit reads back wrong")
        << Knobs{{"flip_bit", flip_bit_knob()}} << "B7";
}

void TestVusbUpgrade::verify_without_click() {
    QFETCH(Knobs, knobs);
    QFETCH(QString, verdict);
    UnitSetup const setup = unit(carried_revision_, knobs);
    QVERIFY(plug_in({setup}));

    QVERIFY(wait_for_verdict(1));
    QCOMPARE(watch_.entered, (QStringList{"B4", verdict}));
    QCOMPARE(watch_.downloads, 0);
    if (verdict == "B6") {
        CHECKED(check_done(setup.name));
    } else {
        CHECKED(check_differs());
        QCOMPARE(differences(uploaded()),
                 (QList<QPair<int, int>>{{flipped_offset, 1 << flipped_bit}}));
    }
    QCOMPARE(bus_->flash(setup.name), erased_after(setup.flash));
}

void TestVusbUpgrade::unit_of_another_product() {
    UnitSetup const setup = unit("1.0.0", {}, 0x03);
    QVERIFY(plug_in({setup}));
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B8"), flow_timeout_ms);
    QString const product = sm_B->device_info.OTP_info.product_name();
    QCOMPARE(product, QString("Lx-20"));
    QCOMPARE(status(), text("status_devConn").arg(product));
    QVERIFY(!mainWindow->install_button->isEnabled());

    QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
    QVERIFY(wait_for_scans(5));
    QCOMPARE(watch_.entered, QStringList{"B8"});
    QCOMPARE(watch_.downloads, 0);
    QCOMPARE(bus_->flash(setup.name), erased_after(setup.flash));
}

void TestVusbUpgrade::no_usable_unit_data() {
    QTest::addColumn<Units>("units");
    QTest::addColumn<QString>("status_id");
    QTest::newRow("access refused")
        << Units{unit(older_revision, {{"access", "denied"}})} << "status_noAccess";
    QTest::newRow("three alternate settings")
        << Units{unit(older_revision, {{"alt_settings", "3"}})} << "status_noDev";
    QTest::newRow("another device release")
        << Units{unit(older_revision, {{"bcd_device", "0x2100"}})} << "status_noDev";
    QTest::newRow("two units") << Units{unit(older_revision), unit(older_revision)}
                               << "status_noDev";
}

void TestVusbUpgrade::no_usable_unit() {
    QFETCH(Units, units);
    QFETCH(QString, status_id);
    QVERIFY(plug_in(units));

    // Several detection passes with the units on the bus: none of them is taken for a unit.
    QVERIFY(wait_for_scans(8));
    QVERIFY(in_state("B1"));
    QCOMPARE(status(), text(status_id));
    QVERIFY(!mainWindow->install_button->isEnabled());
    QVERIFY(!mainWindow->progress_bar->isVisible());
    QCOMPARE(watch_.entered, QStringList{});
    QCOMPARE(watch_.readings, 0);
    QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
    QVERIFY(wait_for_scans(3));
    QCOMPARE(watch_.entered, QStringList{});
    for (UnitSetup const& setup : units)
        QCOMPARE(bus_->flash(setup.name), erased_after(setup.flash));
}

void TestVusbUpgrade::unit_pulled_mid_download() {
    int const written_blocks = 100;
    UnitSetup const setup =
        unit(older_revision, {{"unplug", QString("download:%1").arg(written_blocks)}});
    Bus* bus = plug_in({setup});
    QVERIFY(bus);
    QVERIFY(download_until_unit_left());
    QVERIFY(!QTest::currentTestFailed());

    // Out of the socket: first taken for the restart after the write, then told as a write
    // that failed, however long it stays out.
    QVERIFY(!bus->present(setup.name));
    QTRY_COMPARE_WITH_TIMEOUT(status(), text("status_writeFailed").arg("Lx-21"), flow_timeout_ms);
    CHECKED(check_failure_stays("status_writeFailed"));
    QCOMPARE(watch_.entered, (QStringList{"B2", "B3", "B1"}));
    QVERIFY(!mainWindow->install_button->isEnabled());
    QVERIFY(logged("SM_B: upgrade failed: \"status_writeFailed\""));
    QByteArray const partial = bus->flash(setup.name);
    QVERIFY(partial.startsWith(carried_.left(written_blocks * block_size)));
    QVERIFY(!partial.startsWith(carried_));

    // Plugged in again: its block names the new revision, so it is verified at once, and the
    // half-written flash is found out.
    QVERIFY(bus->set_knob(setup.name, "unplug", ""));
    QVERIFY(bus->plug_in(setup.name));
    QVERIFY(wait_for_verdict(1));
    CHECKED(check_differs("status_writeFailed"));
    QCOMPARE(watch_.matches, 0);

    // It can be upgraded again.
    QVERIFY(click_install());
    QVERIFY(wait_for_verdict(2));
    QCOMPARE(watch_.entered, (QStringList{"B2", "B3", "B1", "B4", "B7", "B3", "B1", "B4", "B6"}));
    CHECKED(check_done(setup.name));
}

void TestVusbUpgrade::unit_not_back_after_leave() {
    UnitSetup const setup = unit(older_revision, {{"after_leave", "gone"}});
    Bus* bus = plug_in({setup});
    QVERIFY(bus);
    QVERIFY(download_until_unit_left());
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(!bus->present(setup.name));

    // While it restarts, the window says so and keeps the bar.
    QCOMPARE(status(), text("status_restarting").arg("Lx-21"));
    QVERIFY(mainWindow->progress_bar->isVisible());
    QVERIFY(!mainWindow->install_button->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(status(), text("status_notBack").arg("Lx-21"), flow_timeout_ms);
    CHECKED(check_failure_stays("status_notBack"));
    QCOMPARE(watch_.entered, (QStringList{"B2", "B3", "B1"}));
    QCOMPARE(watch_.readings, 1);
    QCOMPARE(watch_.verifications, 0);

    // Back at last: it is checked, and holds the image.
    QVERIFY(bus->plug_in(setup.name));
    QVERIFY(wait_for_verdict(1));
    QCOMPARE(watch_.entered, (QStringList{"B2", "B3", "B1", "B4", "B6"}));
    CHECKED(check_done(setup.name));
}

void TestVusbUpgrade::error_during_write() {
    int const bit = 5;
    int const offset = offset_with_bit_set(bit);
    QVERIFY(offset > 0);
    UnitSetup const setup = unit(
        older_revision, {{"stuck_bit", hex(flash_base + offset) + ":" + QString::number(bit)}});
    Bus* bus = plug_in({setup});
    QVERIFY(bus);
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B2"), flow_timeout_ms);
    click_install();

    // dfu-util fails the write; the unit stays in its bootloader and is read again: its block
    // names the new revision, the check finds the rest missing, and the write is told failed.
    QVERIFY(wait_for_verdict(1));
    QVERIFY(logged("Exit with 74"));
    CHECKED(check_differs("status_writeFailed"));
    CHECKED(check_failure_stays("status_writeFailed"));
    QVERIFY(!bus->flash(setup.name).startsWith(carried_));

    QVERIFY(bus->set_knob(setup.name, "stuck_bit", ""));
    click_install();
    QVERIFY(wait_for_verdict(2));
    QCOMPARE(watch_.downloads, 2);
    CHECKED(check_done(setup.name));
}

void TestVusbUpgrade::command_for_a_unit_that_left_data() {
    QTest::addColumn<UnitSetup>("next");
    QTest::addColumn<QString>("next_state");
    QTest::newRow("a unit of another product") << unit("1.0.0", {}, 0x03) << "B8";
    QTest::newRow("the same product, another serial") << unit(older_revision) << "B2";
}

// The button is clicked in the moment after the cable was pulled, while the window still
// offers the unit, and another unit is plugged in at once: nothing is written to either.
void TestVusbUpgrade::command_for_a_unit_that_left() {
    QFETCH(UnitSetup, next);
    QFETCH(QString, next_state);
    UnitSetup const first = unit(older_revision);
    Bus* bus = plug_in({first});
    QVERIFY(bus);
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B2"), flow_timeout_ms);
    QTRY_VERIFY_WITH_TIMEOUT(mainWindow->install_button->isEnabled(), flow_timeout_ms);

    Bus staging;
    QVERIFY(staging.add_unit(next));
    QVERIFY(bus->unplug(first.name));
    QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
    QVERIFY(move_unit(staging, next.name, *bus));

    // Offered for the click, then back to no unit, then the next unit on its own merits.
    QTRY_VERIFY_WITH_TIMEOUT(watch_.entered.size() >= 4, flow_timeout_ms);
    QCOMPARE(watch_.entered, (QStringList{"B2", "B3", "B1", next_state}));
    QVERIFY(wait_for_scans(5));
    QVERIFY(in_state(next_state));
    QCOMPARE(watch_.downloads, 0);
    QVERIFY(logged("dropped"));
    QCOMPARE(bus->flash(first.name), erased_after(first.flash));
    QCOMPARE(bus->flash(next.name), erased_after(next.flash));
}

void TestVusbUpgrade::another_unit_during_the_restart_data() {
    command_for_a_unit_that_left_data();
}

// Another unit comes while the unit written restarts: the window is the new unit's, with
// no bar left from the upgrade, which the record keeps as not back.
void TestVusbUpgrade::another_unit_during_the_restart() {
    QFETCH(UnitSetup, next);
    QFETCH(QString, next_state);
    UnitSetup const first = unit(older_revision, {{"after_leave", "gone"}});
    Bus* bus = plug_in({first});
    QVERIFY(bus);
    QVERIFY(download_until_unit_left());
    QCOMPARE(status(), text("status_restarting").arg("Lx-21"));

    Bus staging;
    QVERIFY(staging.add_unit(next));
    QVERIFY(move_unit(staging, next.name, *bus));
    QTRY_VERIFY_WITH_TIMEOUT(in_state(next_state), flow_timeout_ms);
    QVERIFY(wait_for_scans(3));
    QVERIFY(!mainWindow->progress_bar->isVisible());
    QCOMPARE(mainWindow->install_button->isEnabled(), next_state == "B2");
    QCOMPARE(recorded(first.serial), QStringList{"not back"});
}

void TestVusbUpgrade::unit_swapped_before_its_check_data() {
    command_for_a_unit_that_left_data();
}

// The unit goes, and another comes, right when the flow commands the check of the first:
// no verdict is shown, the check does not run on the other unit, and that one is offered on
// its own merits.
void TestVusbUpgrade::unit_swapped_before_its_check() {
    QFETCH(UnitSetup, next);
    QFETCH(QString, next_state);
    UnitSetup const first = unit(carried_revision_);
    auto bus = std::make_unique<Bus>();
    QVERIFY(bus->add_unit(first));
    Bus* const b = bus.get();
    auto staging = std::make_shared<Bus>();
    QVERIFY(staging->add_unit(next));
    // Swapped on the worker's thread as soon as it has read the first unit, so the flow
    // gives the check for a unit that is already gone.
    // Qt's connection lists are not seen by ThreadSanitizer: the handler is ordered after its
    // connection, and the disconnection after the handler, by hand.
    auto swapped = std::make_shared<std::atomic<int>>(0);
    QMetaObject::Connection const swap = connect(
        sm_A, &SM_A::sig_DevConn, sm_A,
        [b, first, next, swapped, staging] {
            tsan_edges::acquire(&swap_token);
            int expected = 0;
            if (swapped->compare_exchange_strong(expected, 1))
                swapped->store(b->unplug(first.name) && move_unit(*staging, next.name, *b) ? 2 : 3);
            tsan_edges::release(&swap_token);
        },
        Qt::DirectConnection);
    tsan_edges::release(&swap_token);
    QVERIFY(attach(bus->path()));
    bus_ = std::move(bus);

    QTRY_VERIFY_WITH_TIMEOUT(watch_.entered.size() >= 3, flow_timeout_ms);
    tsan_edges::acquire(&swap_token);
    disconnect(swap);
    QCOMPARE(swapped->load(), 2);
    QVERIFY(wait_for_scans(5));
    QCOMPARE(watch_.entered, (QStringList{"B4", "B1", next_state}));
    QCOMPARE(watch_.verifications, 0);
    QCOMPARE(watch_.matches + watch_.differs, 0);
    QVERIFY(logged("dropped"));
    QCOMPARE(bus_->flash(next.name), erased_after(next.flash));
}

void TestVusbUpgrade::working_copy_changed_data() {
    QTest::addColumn<QString>("revision"); // of the unit
    QTest::addColumn<bool>("unit_holds_copy");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("copy cut short, upgrade") << older_revision << false << "B6";
    QTest::newRow("unit holds the changed copy") << carried_revision_ << true << "B7";
}

// The working copy of the image is changed after start-up (another program, a full disk):
// "Done" still means that the unit holds the carried image.
void TestVusbUpgrade::working_copy_changed() {
    QFETCH(QString, revision);
    QFETCH(bool, unit_holds_copy);
    QFETCH(QString, verdict);
    QString const copy = Files::path_of(Files::desired_FW_bin);
    QByteArray changed = carried_;
    if (unit_holds_copy)
        changed[flipped_offset] = char(changed[flipped_offset] ^ 0x10);
    else
        changed.truncate(carried_.size() / 2);
    {
        QFile file(copy);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(changed), qint64(changed.size()));
    }
    UnitSetup setup = unit(revision);
    if (unit_holds_copy)
        setup.flash = changed;
    QVERIFY(plug_in({setup}));
    if (verdict == "B6") {
        QTRY_VERIFY_WITH_TIMEOUT(in_state("B2"), flow_timeout_ms);
        click_install();
    }
    QVERIFY(wait_for_verdict(1));
    if (verdict == "B6") {
        CHECKED(check_done(setup.name));
        // The copy was put right before the write.
        QCOMPARE(read_all(copy), carried_);
    } else {
        CHECKED(check_differs());
        QCOMPARE(watch_.matches, 0);
        QCOMPARE(bus_->flash(setup.name), erased_after(changed));
    }
    QFile::remove(copy);
    QVERIFY(QFile::copy(":resources/firmware.bin", copy));
}

void TestVusbUpgrade::transfer_hangs_data() {
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("hang");
    QTest::addColumn<QString>("hanging_state");
    QTest::newRow("download") << older_revision << "download:100"
                              << "B3";
    QTest::newRow("verification") << carried_revision_ << "upload:100"
                                  << "B4";
}

void TestVusbUpgrade::transfer_hangs() {
    QFETCH(QString, revision);
    QFETCH(QString, hang);
    QFETCH(QString, hanging_state);

    // Longer than the runner's first wait (see main), so that it gives up waiting once and
    // then waits for dfu-util to end.
    UnitSetup const setup = unit(revision, {{"hang", hang}, {"hang_ms", "4000"}});
    Bus* bus = plug_in({setup});
    QVERIFY(bus);
    if (hanging_state == "B3") {
        QTRY_VERIFY_WITH_TIMEOUT(in_state("B2"), flow_timeout_ms);
        QVERIFY(click_install());
    }

    // The runner's first wait is over, the transfer still hangs: no verdict yet.
    QTRY_VERIFY_WITH_TIMEOUT(logged("Process did not finish in time") && in_state(hanging_state),
                             flow_timeout_ms);
    QCOMPARE(watch_.matches + watch_.differs, 0);
    QVERIFY(mainWindow->progress_bar->isVisible());

    QVERIFY(bus->set_knob(setup.name, "hang", ""));
    if (hanging_state == "B4") {
        // The read-back fails in the end: the check is told as cut, and connecting the unit
        // again checks it.
        QVERIFY(wait_for_failure());
        QCOMPARE(watch_.failures, QStringList{"status_checkInterrupted"});
        QVERIFY(logged("will wait on while it shows progress"));
        QVERIFY(reconnect(bus, setup.name));
        QVERIFY(wait_for_verdict(1));
        CHECKED(check_done(setup.name));
        return;
    }

    // The transfer fails in the end; the flash holds only part of the image.
    QVERIFY(wait_for_verdict(1));
    CHECKED(check_differs("status_writeFailed"));
    QCOMPARE(watch_.matches, 0);
    QVERIFY(logged("will wait on while it shows progress"));

    // With the fault gone the unit can be upgraded.
    QVERIFY(click_install());
    QVERIFY(wait_for_verdict(2));
    QCOMPARE(watch_.matches, 1);
    CHECKED(check_done(setup.name));
}

void TestVusbUpgrade::unit_strings_shown_as_text_data() {
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("in_log"); // as the log writes it
    QTest::newRow("image tag naming an endless file") << R"(<img src="/dev/zero">)"
                                                      << R"(<img src="/dev/zero">)";
    QTest::newRow("image tag naming a watched file")
        << QString(R"(<img src="%1">)").arg(probe_file())
        << QString(R"(<img src="%1">)").arg(probe_file());
    QTest::newRow("terminal title and colour") << "\x1b]0;title\x07\x1b[31m2.5"
                                               << R"(\x1B]0;title\x07\x1B[31m2.5)";
}

// A unit's revision is shown and logged as the characters it holds: no markup that opens a
// file, no control sequence that reaches the terminal.
void TestVusbUpgrade::unit_strings_shown_as_text() {
    QFETCH(QString, revision);
    QFETCH(QString, in_log);
    int const opened = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(opened >= 0);
    auto const close_watch = qScopeGuard([opened] { ::close(opened); });
    QVERIFY(::inotify_add_watch(opened, QFile::encodeName(probe_file()).constData(), IN_OPEN) >= 0);

    QVERIFY(plug_in({unit(revision)}));
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B2"), flow_timeout_ms);
    QCOMPARE(sm_B->device_info.FW_revision, revision);
    QLabel* const label = mainWindow->status_label;
    QCOMPARE(label->textFormat(), Qt::RichText);
    QVERIFY2(QTextDocumentFragment::fromHtml(status()).toPlainText().contains(revision),
             qPrintable(status()));
    // Drawn as a user sees it; a label that took the tag for markup would load the file now.
    QVERIFY(!label->grab().isNull());
    char event[4096];
    QCOMPARE(::read(opened, event, sizeof event), ssize_t(-1));

    QVERIFY(logged("FW_revision:\t" + in_log));
    for (QString const& line : log_->lines())
        QVERIFY2(!line.contains(QChar(0x1B)) && !line.contains(QChar(0x07)), qPrintable(line));
}

void TestVusbUpgrade::read_back_cut_short_data() {
    QTest::addColumn<Knobs>("knobs");
    QTest::addColumn<bool>("pulled");
    int const blocks = (carried_.size() + block_size - 1) / block_size;
    auto after = [](int n) { return QString("upload:%1").arg(n); };
    QTest::newRow("pulled after the first block") << Knobs{{"unplug", after(1)}} << true;
    QTest::newRow("pulled halfway") << Knobs{{"unplug", after(blocks / 2)}} << true;
    QTest::newRow("pulled before the last block") << Knobs{{"unplug", after(blocks - 1)}} << true;
    QTest::newRow("dfu-util fails")
        << Knobs{{"hang", after(blocks / 2)}, {"hang_ms", "0"}} << false;
    QTest::newRow("short file") << Knobs{{"short_upload", QString::number(blocks / 2)}} << false;
}

// The image is written whole, but the read-back after the write ends early: the window never
// says that the unit lacks the firmware, and the unit is checked when it is connected again.
void TestVusbUpgrade::read_back_cut_short() {
    QFETCH(Knobs, knobs);
    QFETCH(bool, pulled);
    UnitSetup const setup = unit(older_revision, knobs);
    Bus* bus = plug_in({setup});
    QVERIFY(bus);
    QVERIFY(download_until_unit_left());
    QVERIFY(wait_for_failure());
    QCOMPARE(watch_.failures, QStringList{"status_checkInterrupted"});
    QCOMPARE(watch_.differs, 0);
    QCOMPARE(bus->present(setup.name), !pulled);
    // Still attached, the unit is read again only once it has been disconnected.
    CHECKED(check_failure_stays(pulled ? "status_checkInterrupted"
                                       : "status_checkInterruptedAttached"));
    QVERIFY(!mainWindow->install_button->isEnabled());
    QCOMPARE(watch_.entered, (QStringList{"B2", "B3", "B1", "B4", "B5"} +
                              (pulled ? QStringList{"B1"} : QStringList{})));
    QCOMPARE(recorded(setup.serial), QStringList{"check interrupted"});
    QVERIFY(bus->flash(setup.name).startsWith(carried_));

    for (auto it = knobs.begin(); it != knobs.end(); ++it)
        QVERIFY(bus->set_knob(setup.name, it.key(), ""));
    QVERIFY(bus->unplug(setup.name));
    QTRY_COMPARE_WITH_TIMEOUT(status(), text("status_checkInterrupted").arg("Lx-21"),
                              flow_timeout_ms);
    QVERIFY(reconnect(bus, setup.name));
    QVERIFY(wait_for_verdict(1));
    CHECKED(check_done(setup.name));
    QCOMPARE(watch_.failures.size(), 1);
    QCOMPARE(watch_.verifications, 2);
    QCOMPARE(recorded(setup.serial), QStringList{"check interrupted"});
}

void TestVusbUpgrade::refusing_unit_beside_another_data() {
    QTest::addColumn<QString>("access");
    QTest::addColumn<QString>("status_id");
    QTest::newRow("no permission") << "denied"
                                   << "status_noAccess";
    QTest::newRow("held by another program") << "busy"
                                             << "status_busy";
}

// A unit that cannot be opened is a unit all the same: beside it, the other is not offered.
void TestVusbUpgrade::refusing_unit_beside_another() {
    QFETCH(QString, access);
    QFETCH(QString, status_id);
    UnitSetup const refusing = unit(older_revision, {{"access", access}});
    UnitSetup const usable = unit(older_revision);
    Bus* bus = plug_in({refusing, usable});
    QVERIFY(bus);
    QVERIFY(wait_for_scans(8));
    QVERIFY(in_state("B1"));
    QCOMPARE(status(), text(status_id));
    QVERIFY(!mainWindow->install_button->isEnabled());
    QCOMPARE(watch_.entered, QStringList{});
    QCOMPARE(watch_.readings, 0);

    QVERIFY(bus->unplug(refusing.name));
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B2") && mainWindow->install_button->isEnabled(),
                             flow_timeout_ms);
    QCOMPARE(status(), text("status_devRev").arg("Lx-21").arg(older_revision));
    QCOMPARE(sm_B->device_info.serial, usable.serial);
    QCOMPARE(watch_.entered, QStringList{"B2"});
}

int main(int argc, char** argv) {
    // Before anything starts a child: every dfu-util of the run sees the virtual bus.
    QTemporaryDir root;
    if (!root.isValid() || !switched_bus::set_up(root.path()))
        return 1;

    // The tool's own command line: real device, log window.
    ToolHarness const tool({"-l"});
    // A first wait for dfu-util that a hanging transfer outlasts. Set before the worker's
    // thread starts (with the event loop).
    DFU::first_wait_ms = 1500;
    // Long enough for a unit to come back after "leave" on a busy machine, short enough
    // for the cases in which it does not.
    sm_B->watch->return_timeout_ms = 8000;

    TestVusbUpgrade test;
    return ToolHarness::end(ToolHarness::exec(&test, argc, argv, nullptr));
}

#include "tst_vusb_upgrade.moc"
