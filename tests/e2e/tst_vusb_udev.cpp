// The whole tool following udev's events: real-device mode, the carried dfu-util against
// virtual units that announce their arrivals and departures as udevd does. udev_namespace.sh
// runs this test in namespaces of its own; with --without-udev, where udev does not run, the
// same plug-in is found by the listings every poll interval.
//
// With udev the worker's safety listing is set far beyond any case, so that whatever the
// window does follows from an event.
#include "control/flow_machine.h"
#include "control/worker.h"
#include "e2e/tool_harness.h"
#include "gui/install_button.h"
#include "gui/main_window.h"
#include "gui/progress_bar.h"
#include "message_log.h"
#include "settings/settings.h"
#include "switched_bus.h"
#include "test_files.h"
#include "vusb_env.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using tool::in_state;
using tool::status;
using tool::text;
using vusb_env::Bus;
using vusb_env::UnitSetup;
using Knobs = QMap<QString, QString>;

namespace {

constexpr int flow_timeout_ms = 60000;
QString const older_revision = "2.3.0";

bool with_udev() {
    return qEnvironmentVariableIsSet("KELVORA_VUSB_UDEV");
}

} // namespace

class TestVusbUdev : public QObject {
    Q_OBJECT

    QByteArray carried_;
    int serial_counter_ = 0;
    std::unique_ptr<Bus> bus_;
    std::unique_ptr<MessageLog> log_;
    int readings_ = 0;
    QStringList refusals_; // what the access note was told, in order
    int verdicts_ = 0;

    UnitSetup unit(QString const& revision, Knobs const& knobs = {}) {
        UnitSetup setup;
        setup.name = QString("unit%1").arg(++serial_counter_);
        setup.serial = QString("0DE7%1").arg(serial_counter_, 8, 10, QChar('0'));
        QByteArray otp = test_files::otp_marker();
        otp += char(0x04);
        otp += QByteArray(3, char(0xFF)) + QByteArray("\x00\x01\x02\x03\x04\x05\x06\x07", 8);
        setup.otp = otp;
        QByteArray image = carried_;
        test_files::set_fw_revision(&image, test_files::fw_block_offset(image), revision.toUtf8());
        setup.flash = image;
        setup.knobs = knobs;
        return setup;
    }

    // Puts the unit on a bus of its own and plugs it in: udev's event follows.
    Bus* plug_in(UnitSetup const& setup) {
        auto bus = std::make_unique<Bus>();
        if (!bus->add_unit(setup) || !switched_bus::attach(bus->path()))
            return nullptr;
        bus_ = std::move(bus);
        bus_->announce(setup.name, vusb::UdevAction::add);
        return bus_.get();
    }

    static bool offered() { return in_state("B2") && mainWindow->install_button->isEnabled(); }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void plug_in_offers_the_unit_data();
    void plug_in_offers_the_unit();
    void unplug_shows_no_unit_data();
    void unplug_shows_no_unit();
    void quick_reconnect_after_an_interrupted_check_data();
    void quick_reconnect_after_an_interrupted_check();
    void access_set_after_the_event_data();
    void access_set_after_the_event();
};

void TestVusbUdev::initTestCase() {
    carried_ = test_files::read_all(":resources/firmware.bin");
    QVERIFY(!carried_.isEmpty());
    QCOMPARE(sm_A->follows_bus_events, with_udev());
    connect(sm_A, &SM_A::sig_readingInfo, this, [this] { ++readings_; });
    connect(sm_A, &SM_A::sig_OpenRefused, this, [this](QString const& r) { refusals_ << r; });
    connect(sm_B, &SM_B::sig_FwMatches, this, [this] { ++verdicts_; });
    connect(sm_B, &SM_B::sig_FwDiffers, this, [this] { ++verdicts_; });
    log_ = std::make_unique<MessageLog>();
}

void TestVusbUdev::init() {
    // The last case's unit leaves the bus.
    QVERIFY(switched_bus::attach(switched_bus::empty_bus()));
    if (with_udev())
        QVERIFY(vusb::announce(vusb::UdevAction::remove, 1, 0x2200, 2));
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B1") && status() == text("status_noDev"), flow_timeout_ms);
    bus_.reset();
    readings_ = verdicts_ = 0;
    refusals_.clear();
    log_->clear();
}

void TestVusbUdev::cleanup() {
    if (QTest::currentTestFailed())
        std::fprintf(stderr, "---- the tool's last messages ----\n%s\n",
                     qPrintable(log_->lines().mid(qMax(0, log_->lines().size() - 60)).join('\n')));
}

void TestVusbUdev::plug_in_offers_the_unit_data() {
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("state");
    QTest::newRow("older revision: offered") << older_revision << "B2";
    QTest::newRow("carried revision: checked at once") << QString() << "B6";
}

void TestVusbUdev::plug_in_offers_the_unit() {
    QFETCH(QString, revision);
    QFETCH(QString, state);
    UnitSetup const setup = unit(revision.isEmpty() ? settings.desired_FW_revision : revision);
    QVERIFY(plug_in(setup));
    QTRY_VERIFY_WITH_TIMEOUT(in_state(state), flow_timeout_ms);
    QCOMPARE(readings_, 1);
    QCOMPARE(sm_B->device_info.serial, setup.serial);
    if (state == "B2") {
        QCOMPARE(status(), text("status_devRev").arg("Lx-21").arg(older_revision));
        QVERIFY(offered());
    } else {
        QCOMPARE(mainWindow->progress_bar->format(), QString("Done. Disconnect USB cable."));
    }
}

void TestVusbUdev::unplug_shows_no_unit_data() {
    QTest::addColumn<QString>("revision");
    QTest::newRow("offered unit") << older_revision;
    QTest::newRow("unit checked: Done") << QString();
}

void TestVusbUdev::unplug_shows_no_unit() {
    QFETCH(QString, revision);
    UnitSetup const setup = unit(revision.isEmpty() ? settings.desired_FW_revision : revision);
    Bus* bus = plug_in(setup);
    QVERIFY(bus);
    QString const state = revision.isEmpty() ? "B6" : "B2";
    QTRY_VERIFY_WITH_TIMEOUT(in_state(state), flow_timeout_ms);
    QVERIFY(bus->unplug(setup.name));
    QTRY_VERIFY_WITH_TIMEOUT(in_state("B1") && status() == text("status_noDev"), flow_timeout_ms);
    QVERIFY(!mainWindow->install_button->isEnabled());
    // Back in, it is read anew.
    QVERIFY(bus->plug_in(setup.name));
    QTRY_VERIFY_WITH_TIMEOUT(in_state(state), flow_timeout_ms);
    QCOMPARE(readings_, 2);
}

void TestVusbUdev::quick_reconnect_after_an_interrupted_check_data() {
    QTest::addColumn<Knobs>("knobs");
    int const blocks = (carried_.size() + 2047) / 2048;
    QTest::newRow("dfu-util fails during the read-back")
        << Knobs{{"hang", QString("upload:%1").arg(blocks / 2)}, {"hang_ms", "0"}};
    QTest::newRow("short read-back") << Knobs{{"short_upload", QString::number(blocks / 2)}};
}

// The check of a unit that carries the image ends early; the unit is pulled and put back at
// once, faster than any listing: it is checked again.
void TestVusbUdev::quick_reconnect_after_an_interrupted_check() {
    QFETCH(Knobs, knobs);
    UnitSetup const setup = unit(settings.desired_FW_revision, knobs);
    Bus* bus = plug_in(setup);
    QVERIFY(bus);
    QTRY_VERIFY_WITH_TIMEOUT(status() == text("status_checkInterruptedAttached").arg("Lx-21"),
                             flow_timeout_ms);
    QCOMPARE(verdicts_, 0);
    for (QString const& key : knobs.keys())
        QVERIFY(bus->set_knob(setup.name, key, ""));
    QVERIFY(bus->unplug(setup.name) && bus->plug_in(setup.name));
    QTRY_VERIFY_WITH_TIMEOUT(verdicts_ == 1, flow_timeout_ms);
    QVERIFY(in_state("B6"));
    QCOMPARE(mainWindow->progress_bar->format(), QString("Done. Disconnect USB cable."));
    QCOMPARE(readings_, 2);
}

void TestVusbUdev::access_set_after_the_event_data() {
    QTest::addColumn<int>("granted_after_ms"); // < 0: never
    QTest::addColumn<QString>("status_id");
    QTest::newRow("granted 1 s after the event") << 1000 << "status_devRev";
    QTest::newRow("never granted") << -1 << "status_noAccess";
}

void TestVusbUdev::access_set_after_the_event() {
    QFETCH(int, granted_after_ms);
    QFETCH(QString, status_id);
    UnitSetup const setup = unit(older_revision, {{"access", "denied"}});
    Bus* bus = plug_in(setup);
    QVERIFY(bus);
    if (granted_after_ms >= 0) {
        QTest::qWait(granted_after_ms);
        QVERIFY(bus->set_knob(setup.name, "access", ""));
        QTRY_VERIFY_WITH_TIMEOUT(offered(), flow_timeout_ms);
        QCOMPARE(status(), text(status_id).arg("Lx-21").arg(older_revision));
        // The note never showed.
        QCOMPARE(refusals_, QStringList{});
        QVERIFY(!log_->contains("cannot be opened"));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(status() == text(status_id), flow_timeout_ms);
        QCOMPARE(refusals_, QStringList{"LIBUSB_ERROR_ACCESS"});
        QCOMPARE(readings_, 0);
        // Pulled out, it takes its note along.
        QVERIFY(bus->unplug(setup.name));
        QTRY_VERIFY_WITH_TIMEOUT(status() == text("status_noDev"), flow_timeout_ms);
        QCOMPARE(refusals_, (QStringList{"LIBUSB_ERROR_ACCESS", ""}));
    }
}

int main(int argc, char** argv) {
    QTemporaryDir root;
    if (!root.isValid() || !switched_bus::set_up(root.path()))
        return 1;
    ToolHarness const tool({"-l"});
    if (sm_A->follows_bus_events)
        sm_A->safety_listing_ms = 3600 * 1000;
    TestVusbUdev test;
    return ToolHarness::end(ToolHarness::exec(&test, argc, argv, nullptr));
}

#include "tst_vusb_udev.moc"
