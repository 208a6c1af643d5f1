// The whole tool against virtual units with the real dfu-util that it carries, watched for
// what the user sees beyond the flow itself: the progress bar during a download and the
// read-back, against units with realistic timing, the note about a unit that dfu-util sees
// but cannot open, and the record of each upgrade attempt.
//
// The tool's bus folder is a link that each case points at its own bus (switched_bus.h).
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
#include "message_log.h"
#include "settings/settings.h"
#include "switched_bus.h"
#include "test_files.h"
#include "vusb_env.h"

#include <QApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <memory>

using switched_bus::attach;
using test_files::read_all;
using vusb_env::Bus;
using vusb_env::UnitSetup;
using Knobs = QMap<QString, QString>;

namespace {

constexpr int flow_timeout_ms = 90000;

bool in_state(QState const* state) {
    return sm_B->configuration().contains(const_cast<QState*>(state));
}

// The carried image with another revision in its information block.
QByteArray with_revision(QByteArray image, QString const& revision) {
    int const block = test_files::fw_block_offset(image);
    if (block < 0)
        return {};
    test_files::set_fw_revision(&image, block, revision.toUtf8());
    return image;
}

// One OTP record of the carried product in slot 0.
QByteArray otp_record() {
    QByteArray record = test_files::otp_marker();
    record += char(Device::Type::DAVO);
    record += QByteArray(3, char(0xFF));
    record += QByteArray("\x00\x01\x02\x03\x04\x05\x06\x07", 8);
    return record;
}

// The upgrade record's lines.
QList<QJsonObject> records() {
    QList<QJsonObject> list;
    for (QByteArray const& line : read_all(UpgradeRecorder::default_file()).split('\n'))
        if (!line.isEmpty())
            list << QJsonDocument::fromJson(line).object();
    return list;
}

// One change of the bar's value, with what the unit and the working files held right then.
struct BarStep {
    QString phase; // "download" or "verify"
    int value = 0;
    bool image_written = false; // the unit's flash holds the whole image
    qint64 read_back = 0;       // bytes of the read-back file
};

} // namespace

class TestVusbProgress : public QObject {
    Q_OBJECT

    QByteArray carried_;
    std::unique_ptr<Bus> bus_;
    std::unique_ptr<MessageLog> log_;
    int serial_counter_ = 0;

    UnitSetup unit(QString const& revision, QMap<QString, QString> const& knobs = {}) {
        UnitSetup setup;
        setup.name = QString("unit%1").arg(++serial_counter_);
        setup.serial = QString("9A0C%1").arg(serial_counter_, 8, 10, QChar('0'));
        setup.otp = otp_record();
        setup.flash = with_revision(carried_, revision);
        setup.knobs = knobs;
        return setup;
    }

    Bus* plug_in(UnitSetup const& setup) {
        auto bus = std::make_unique<Bus>();
        if (!bus->add_unit(setup) || !attach(bus->path()))
            return nullptr;
        bus_ = std::move(bus);
        return bus_.get();
    }

    QString status() const { return mainWindow->status_label->text(); }

    int scans_ = 0;
    bool wait_for_scans(int count) {
        int const target = scans_ + count;
        return QTest::qWaitFor([&] { return scans_ >= target; }, flow_timeout_ms);
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void bar_follows_dfu_util();
    void unit_that_cannot_be_opened_data();
    void unit_that_cannot_be_opened();
    void record_of_each_attempt_data();
    void record_of_each_attempt();
};

void TestVusbProgress::initTestCase() {
    carried_ = read_all(":resources/firmware.bin");
    QVERIFY(!carried_.isEmpty());
    QCOMPARE(with_revision(carried_, settings.desired_FW_revision), carried_);
    log_ = std::make_unique<MessageLog>();
    connect(sm_A, &SM_A::sig_A2_entered, this, [this] { ++scans_; });
}

void TestVusbProgress::init() {
    QVERIFY(attach(switched_bus::empty_bus()));
    QTRY_VERIFY_WITH_TIMEOUT(in_state(sm_B->B1), flow_timeout_ms);
    log_->clear();
}

void TestVusbProgress::cleanup() {
    if (!QTest::currentTestFailed())
        return;
    QStringList const lines = log_->lines();
    std::fprintf(stderr, "---- the tool's last messages ----\n%s\n",
                 qPrintable(lines.mid(qMax(0, lines.size() - 60)).join('\n')));
}

void TestVusbProgress::bar_follows_dfu_util() {
    // F4 timing, a little faster than the real part so that the case stays short.
    UnitSetup const setup = unit("2.3.0", {{"timing", "real"}, {"timing_scale", "0.5"}});
    Bus* bus = plug_in(setup);
    QVERIFY(bus);
    ProgressBar* const bar = mainWindow->progress_bar;
    QString const read_back_file = Files::path_of(Files::uploaded_FW_bin);

    QVector<BarStep> steps;
    QObject watcher;
    connect(bar, &QProgressBar::valueChanged, &watcher, [&](int value) {
        BarStep step;
        if (in_state(sm_B->B3))
            step.phase = "download";
        else if (in_state(sm_B->B4))
            step.phase = "verify";
        else
            return;
        step.value = value;
        step.image_written = bus->flash(setup.name).startsWith(carried_);
        step.read_back = QFileInfo(read_back_file).size();
        steps << step;
    });
    bool verdict = false;
    connect(sm_B, &SM_B::sig_FwMatches, &watcher, [&] { verdict = true; });
    int const recorded = records().size();

    QTRY_VERIFY_WITH_TIMEOUT(mainWindow->install_button->isEnabled(), flow_timeout_ms);
    QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(verdict, flow_timeout_ms);
    QCOMPARE(bar->format(), QString("Done. Disconnect USB cable."));

    for (QString const phase : {"download", "verify"}) {
        QVector<BarStep> seen;
        for (BarStep const& step : steps)
            if (step.phase == phase)
                seen << step;
        QVERIFY2(seen.size() >= 10, qPrintable(phase));
        // It rises step by step and never falls back.
        for (int i = 1; i < seen.size(); ++i)
            QVERIFY2(seen[i].value >= seen[i - 1].value, qPrintable(phase));
        int first_full = -1;
        for (int i = 0; i < seen.size() && first_full < 0; ++i)
            if (seen[i].value == bar->maximum())
                first_full = i;
        QVERIFY2(first_full > 0, qPrintable(phase));
        // Full only once the unit really holds the image, or all of it has been read back;
        // halfway, the work is not done yet.
        BarStep const& full = seen[first_full];
        BarStep const& before = seen[first_full - 1];
        BarStep halfway;
        for (BarStep const& step : seen)
            if (step.value >= bar->maximum() / 2) {
                halfway = step;
                break;
            }
        if (phase == "download") {
            QVERIFY(full.image_written);
            QVERIFY(!before.image_written);
            QVERIFY(!halfway.image_written);
        } else {
            QCOMPARE(full.read_back, qint64(carried_.size()));
            QVERIFY(before.read_back < carried_.size());
            QVERIFY(halfway.read_back < carried_.size());
        }
    }

    // The attempt is in the record, with both durations.
    QList<QJsonObject> const lines = records();
    QCOMPARE(lines.size(), recorded + 2); // its started line and its final line
    QJsonObject const line = lines.last();
    QCOMPARE(line["outcome"].toString(), QString("done"));
    QCOMPARE(line["serial"].toString(), setup.serial);
    QCOMPARE(line["product"].toString(), QString("Lx-21"));
    QCOMPARE(line["revision_before"].toString(), QString("2.3.0"));
    QCOMPARE(line["revision_carried"].toString(), settings.desired_FW_revision);
    QCOMPARE(line["write_exit_code"].toInt(-1), 0);
    QVERIFY(line["write_ms"].isDouble() && line["verify_ms"].isDouble());
    QVERIFY(QDateTime::fromString(line["time"].toString(), Qt::ISODateWithMs).isValid());
}

void TestVusbProgress::unit_that_cannot_be_opened_data() {
    QTest::addColumn<Knobs>("knobs"); // removed again to end the refusal
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("ends_by");
    QString const no_access = settings.gui.text("status_noAccess");
    QTest::newRow("no permission, then the rule")
        << Knobs{{"access", "denied"}} << no_access << "fixed";
    QTest::newRow("no permission, then pulled out")
        << Knobs{{"access", "denied"}} << no_access << "unplugged";
    QTest::newRow("held by another program, then free")
        << Knobs{{"access", "busy"}} << settings.gui.text("status_busy") << "fixed";
    QTest::newRow("open hangs, then fails")
        << Knobs{{"hang", "open:0"}, {"hang_ms", "100"}}
        << settings.gui.text("status_cannotOpen").arg("LIBUSB_ERROR_IO") << "fixed";
}

void TestVusbProgress::unit_that_cannot_be_opened() {
    QFETCH(Knobs, knobs);
    QFETCH(QString, text);
    QFETCH(QString, ends_by);
    QString const started = "A DFU unit was found that cannot be opened:";
    QString const ended = "No more DFU unit that cannot be opened";

    UnitSetup const setup = unit("2.3.0", knobs);
    Bus* bus = plug_in(setup);
    QVERIFY(bus);
    QVERIFY(text.contains("Note: A unit was found"));
    QTRY_COMPARE_WITH_TIMEOUT(status(), text, flow_timeout_ms);
    // It stays, and is logged once however many passes see it.
    QVERIFY(wait_for_scans(6));
    QCOMPARE(status(), text);
    QVERIFY(in_state(sm_B->B1));
    QVERIFY(!mainWindow->install_button->isEnabled());
    QCOMPARE(log_->count(started), 1);
    QCOMPARE(log_->count(ended), 0);

    if (ends_by == "fixed") {
        for (QString const& key : knobs.keys())
            QVERIFY(bus->set_knob(setup.name, key, ""));
        QTRY_VERIFY_WITH_TIMEOUT(in_state(sm_B->B2), flow_timeout_ms);
        QCOMPARE(status(), settings.gui.text("status_devRev").arg("Lx-21").arg("2.3.0"));
    } else {
        QVERIFY(bus->unplug(setup.name));
        QTRY_COMPARE_WITH_TIMEOUT(status(), settings.gui.text("status_noDev"), flow_timeout_ms);
    }
    QVERIFY(wait_for_scans(4));
    QCOMPARE(log_->count(started), 1);
    QCOMPARE(log_->count(ended), 1);
    QVERIFY(status() != text);
}

void TestVusbProgress::record_of_each_attempt_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("verified");
    QTest::newRow("read-back differs") << "flip_bit"
                                       << "differs" << true;
    QTest::newRow("write cut, unit back with half an image") << "unplug"
                                                             << "write failed" << true;
    QTest::newRow("write refused, unit keeps its old image") << "refused_at_once"
                                                             << "write failed" << false;
    QTest::newRow("data folder not writable") << "unwritable"
                                              << "done" << true;
}

void TestVusbProgress::record_of_each_attempt() {
    QFETCH(QString, fault);
    QFETCH(QString, outcome);
    QFETCH(bool, verified);
    QMap<QString, QString> knobs;
    if (fault == "flip_bit")
        knobs.insert("flip_bit", "0x08040001:2");
    else if (fault == "unplug")
        knobs.insert("unplug", "download:60");
    else if (fault == "refused_at_once") {
        // The first request of the download times out: nothing is erased or written.
        knobs.insert("hang", "download:0");
        knobs.insert("hang_ms", "200");
    }
    UnitSetup const setup = unit("2.3.0", knobs);
    QString const record = UpgradeRecorder::default_file();
    QDir().remove(record);
    if (fault == "unwritable")
        QVERIFY(QDir().mkpath(record)); // a folder where the file should be
    Bus* bus = plug_in(setup);
    QVERIFY(bus);

    int verdicts = 0;
    int downloads = 0;
    QObject watcher;
    connect(sm_A, &SM_A::sig_FwDownloaded, &watcher, [&] { ++downloads; });
    connect(sm_B, &SM_B::sig_FwMatches, &watcher, [&] { ++verdicts; });
    connect(sm_B, &SM_B::sig_FwDiffers, &watcher, [&] { ++verdicts; });
    QTRY_VERIFY_WITH_TIMEOUT(mainWindow->install_button->isEnabled(), flow_timeout_ms);
    QTest::mouseClick(mainWindow->install_button, Qt::LeftButton);
    if (fault == "unplug") {
        QTRY_VERIFY_WITH_TIMEOUT(!bus->present(setup.name) && in_state(sm_B->B1), flow_timeout_ms);
        QVERIFY(wait_for_scans(3));
        QVERIFY(bus->set_knob(setup.name, "unplug", ""));
        QVERIFY(bus->plug_in(setup.name));
    }
    if (verified)
        QTRY_VERIFY_WITH_TIMEOUT(verdicts == 1, flow_timeout_ms);
    else
        QTRY_VERIFY_WITH_TIMEOUT(in_state(sm_B->B2) && downloads == 1, flow_timeout_ms);

    if (fault == "unwritable") {
        // The upgrade went its way; the lost line is in the log.
        QVERIFY(in_state(sm_B->B6));
        QCOMPARE(mainWindow->progress_bar->format(), QString("Done. Disconnect USB cable."));
        QCOMPARE(log_->count("Could not add to the upgrade record"), 2); // both lines
        QVERIFY(log_->contains("\"outcome\":\"done\""));
        QVERIFY(QDir().rmdir(record));
        return;
    }
    // The started line, then the final line of the same attempt.
    QList<QJsonObject> const lines = records();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0]["outcome"].toString(), QString("started"));
    QCOMPARE(lines[0]["attempt"], lines[1]["attempt"]);
    QJsonObject const line = lines[1];
    QCOMPARE(line["outcome"].toString(), outcome);
    QCOMPARE(line["serial"].toString(), setup.serial);
    QCOMPARE(line["revision_before"].toString(), QString("2.3.0"));
    QVERIFY(line["write_ms"].isDouble());
    // A write that failed is recorded when dfu-util ends, before the unit is checked.
    QCOMPARE(line["verify_ms"].isDouble(), verified && fault != "unplug");
    QCOMPARE(line["write_exit_code"].toInt() != 0, fault != "flip_bit");
    QCOMPARE(log_->count("Could not add to the upgrade record"), 0);
}

int main(int argc, char** argv) {
    QTemporaryDir root;
    if (!root.isValid() || !switched_bus::set_up(root.path()))
        return 1;
    // The user's data folder, where the upgrade record goes.
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.path() + "/data"));

    ToolHarness const tool({"-l"});
    TestVusbProgress test;
    return ToolHarness::end(ToolHarness::exec(&test, argc, argv, nullptr));
}

#include "tst_vusb_progress.moc"
