// The station's core with the real bus watch and the real dfu-util against virtual units
// that announce their plugging, unplugging and restarts as udev would (udev_namespace.sh runs
// this test). The test plugs units in and out as a person at the bench would.
#include "bus/unit_watch.h"
#include "dfu/device_operations.h"
#include "files/files.h"
#include "flash/station.h"
#include "launch/device_startup.h"
#include "test_files.h"
#include "vusb_env.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// A bench: the bus, the watch, the station and everything it said.
struct Bench {
    vusb_env::Bus bus;
    QTemporaryDir dir;
    Bus::UnitWatch watch;
    std::unique_ptr<Flash::Station> station;
    QVector<Flash::Event> events;
    QVector<Flash::Event> gone;

    // Makes every unit first, so that each keeps its port (1-1, 1-2, ... in name order), and
    // unplugs it until the test plugs it in.
    bool make(QVector<QPair<QString, QStringList>> const& units) {
        for (auto const& [name, options] : units)
            if (!bus.make_unit(name, options + QStringList{"--serial", name.mid(1).repeated(4)}) ||
                !bus.unplug(name))
                return false;
        bus.export_to_process();
        return true;
    }

    void start(QByteArray const& slots_text, bool armed = true) {
        Flash::JobSettings settings = Flash::carried_job_settings();
        settings.record_file = dir.filePath("upgrades.jsonl");
        station = std::make_unique<Flash::Station>(settings, Flash::parse_slots(slots_text),
                                                   QStringList());
        QObject::connect(station.get(), &Flash::Station::unit_event,
                         [this](Flash::Event const& e) { events.append(e); });
        QObject::connect(station.get(), &Flash::Station::unit_gone,
                         [this](Flash::Event const& e) { gone.append(e); });
        QObject::connect(&watch, &Bus::UnitWatch::unit_arrived, station.get(),
                         &Flash::Station::unit_arrived);
        QObject::connect(&watch, &Bus::UnitWatch::unit_left, station.get(),
                         &Flash::Station::unit_left);
        if (armed)
            station->arm();
    }

    // The verdicts given on port so far, "done: written" each.
    QStringList verdicts(QString const& port) const {
        QStringList list;
        for (Flash::Event const& e : events)
            if (e.unit == port && (e.kind == Flash::Event::done || e.kind == Flash::Event::failed ||
                                   e.kind == Flash::Event::skipped))
                list << QString(Flash::kind_text(e.kind)) + ": " + e.reason;
        return list;
    }
    bool wait_verdicts(QString const& port, int count) const {
        return QTest::qWaitFor([&] { return verdicts(port).size() >= count; }, 90000);
    }
    bool wait_event(QString const& port, Flash::Event::Kind kind) const {
        return QTest::qWaitFor(
            [&] {
                return std::any_of(events.begin(), events.end(), [&](Flash::Event const& e) {
                    return e.unit == port && e.kind == kind;
                });
            },
            90000);
    }
    // Every open of the unit named its port: nothing listed the bus.
    bool opened_only_by_port(QString const& name, QString const& port) const {
        for (QByteArray const& line :
             test_files::read_all(bus.unit_path(name) + "/log").split('\n'))
            if (!line.isEmpty() && !line.endsWith(" -p " + port.toUtf8()))
                return false;
        return true;
    }
    // Removes a knob that make_unit.sh wrote into the unit's config.
    bool drop_knob(QString const& name, QByteArray const& key) {
        QList<QByteArray> kept;
        for (QByteArray const& line :
             test_files::read_all(bus.unit_path(name) + "/config").split('\n'))
            if (!line.startsWith(key + "="))
                kept << line;
        return test_files::write_all(bus.unit_path(name) + "/config", kept.join('\n'));
    }
    // The counts follow a verdict once its job has ended: a little after the verdict's event.
    bool counts_are(int done, int failed, int skipped) const {
        return QTest::qWaitFor(
            [&] {
                Flash::Counts const c = station->counts();
                return c.done == done && c.failed == failed && c.skipped == skipped;
            },
            30000);
    }
};

// A bit that the carried image sets beyond its information block: a unit where it stays 0
// fails its write.
QString stuck_bit(QByteArray const& image) {
    for (int at = 4096; at < image.size(); ++at)
        if (uchar(image[at]) & 1)
            return QString("stuck_bit=0x%1:0").arg(0x08000000 + at, 0, 16);
    return {};
}

} // namespace

class TestStation : public QObject {
    Q_OBJECT

    QByteArray image_;
    QString revision_;

private slots:
    void initTestCase();
    void a_bench_of_units();
    void disarmed_units_wait();
};

void TestStation::initTestCase() {
    if (!qEnvironmentVariableIsSet("KELVORA_VUSB_UDEV"))
        QSKIP("needs udev_namespace.sh");
    QVERIFY(init_device_side());
    image_ = test_files::read_all(Files::path_of(Files::desired_FW_bin));
    revision_ = DFU::desired_FW_Info().revision;
    QVERIFY(!image_.isEmpty() && !stuck_bit(image_).isEmpty());
}

// Units plugged one after another while the first is written, one of another product, one
// already current, one that fails its write and is plugged in again, and one that stays
// after its verdict.
void TestStation::a_bench_of_units() {
    Bench bench;
    QVERIFY(bench.make({{"u1", {"--knob", "timing=real", "--knob", "timing_scale=0.3"}},
                        {"u2", {}},
                        {"u3", {"--type", "03"}},
                        {"u4", {"--knob", stuck_bit(image_)}},
                        {"u5", {"--revision", revision_}}}));
    QByteArray const u5_before = bench.bus.flash("u5");
    QByteArray const slot_text = "1-1 A1\n1-2 A2\n1-3 B1\n1-4 B2\n1-5 B3\n";
    bench.start(slot_text);
    QVERIFY(bench.bus.plug_in("u1"));
    QVERIFY(bench.wait_event("1-1", Flash::Event::writing));
    for (QString const name : {"u2", "u3", "u4", "u5"})
        QVERIFY(bench.bus.plug_in(name));
    for (QString const port : {"1-1", "1-2", "1-3", "1-4", "1-5"})
        QVERIFY(bench.wait_verdicts(port, 1));
    // The first unit's restart after its write is no new unit: one verdict each.
    QCOMPARE(bench.verdicts("1-1"), QStringList{"done: written"});
    QCOMPARE(bench.verdicts("1-2"), QStringList{"done: written"});
    QCOMPARE(bench.verdicts("1-3"), QStringList{"skipped: another product"});
    QVERIFY(bench.verdicts("1-4").value(0).startsWith("failed: write failed"));
    QCOMPARE(bench.verdicts("1-5"), QStringList{"done: already current"});
    QCOMPARE(bench.bus.flash("u5"), u5_before);
    QVERIFY(bench.counts_are(3, 1, 1));
    // Another revision is written at once: the whole flash is read only after the write.
    QByteArray const u2_log = test_files::read_all(bench.bus.unit_path("u2") + "/log");
    QVERIFY(u2_log.indexOf(" -D ") < u2_log.indexOf(":" + QByteArray::number(image_.size())));

    // u2 stays: udev tells of it again, and the units present are started; it is not touched.
    QVERIFY(bench.bus.announce("u2", vusb::UdevAction::add));
    bench.station->start_present();
    // The failed unit, pulled, mended and plugged in again, is handled again.
    QVERIFY(bench.bus.unplug("u4"));
    QVERIFY(QTest::qWaitFor([&] { return bench.gone.size() == 1; }, 30000));
    QVERIFY(bench.drop_knob("u4", "stuck_bit"));
    QVERIFY(bench.bus.plug_in("u4"));
    QVERIFY(bench.wait_verdicts("1-4", 2));
    QCOMPARE(bench.verdicts("1-4").value(1), QString("done: written"));
    QVERIFY(bench.counts_are(4, 1, 1));
    QCOMPARE(test_files::read_all(bench.bus.unit_path("u2") + "/log"), u2_log);
    QCOMPARE(bench.gone[0].slot, QString("B2"));

    Flash::SlotTable const table = Flash::parse_slots(slot_text);
    for (Flash::Event const& e : bench.events)
        QCOMPARE(e.slot, table.name_of(e.unit));
    for (QString const name : {"u1", "u2", "u4"})
        QCOMPARE(bench.bus.flash(name).left(image_.size()), image_);
    for (int n = 1; n <= 5; ++n)
        QVERIFY(bench.opened_only_by_port(QString("u%1").arg(n), QString("1-%1").arg(n)));
}

// Disarmed, units wait; the window's entry points start them and try failed ones again.
void TestStation::disarmed_units_wait() {
    Bench bench;
    QVERIFY(bench.make({{"u1", {}}, {"u2", {"--knob", stuck_bit(image_)}}}));
    bench.start("", false);
    QSignalSpy idle(bench.station.get(), &Flash::Station::idle);
    QVERIFY(bench.bus.plug_in("u1") && bench.bus.plug_in("u2"));
    QVERIFY(QTest::qWaitFor([&] { return bench.station->slots_view().size() == 2; }, 30000));
    for (Flash::SlotView const& view : bench.station->slots_view())
        QCOMPARE(view.state, Flash::SlotView::waiting);
    QVERIFY(bench.events.isEmpty());

    QSignalSpy busy(bench.station.get(), &Flash::Station::busy_changed);
    bench.station->start_present();
    QVERIFY(bench.wait_verdicts("1-1", 1) && bench.wait_verdicts("1-2", 1));
    QVERIFY(bench.counts_are(1, 1, 0));
    QVERIFY(idle.size() > 0);
    // The sleep lock is wanted once for both units, and let go once both have their verdict.
    QCOMPARE(busy.size(), 2);
    QCOMPARE(busy[0][0].toBool(), true);
    QCOMPARE(busy[1][0].toBool(), false);
    QCOMPARE(bench.station->slots_view()[1].name, QString("1-2")); // no slots file: the port
    QVERIFY(bench.drop_knob("u2", "stuck_bit"));
    bench.station->retry_failed();
    QVERIFY(bench.wait_verdicts("1-2", 2));
    QVERIFY(bench.counts_are(2, 1, 0));
    QCOMPARE(bench.verdicts("1-1").size(), 1);
}

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
