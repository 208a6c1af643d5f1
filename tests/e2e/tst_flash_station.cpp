// kelvora-flash station as a bench runs it: the program, its own dfu-util preloaded with
// virtual units that announce their plugging as udev would (udev_namespace.sh runs this test),
// units plugged in and out by the test, and a stop from the terminal.
#include "flash/slots.h"
#include "test_files.h"
#include "vusb_env.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

QByteArray const slot_text = "# bench 1\n1-1 A1\n1-2 B1\n";

struct Station {
    vusb_env::Bus bus;
    QTemporaryDir dir;
    QProcess program;
    QByteArray output;
    QVector<QJsonObject> events;

    // Every unit made first, so that each keeps its port, and unplugged until the test plugs it.
    bool make(QVector<QPair<QString, QStringList>> const& units) {
        for (auto const& [name, options] : units)
            if (!bus.make_unit(name, options) || !bus.unplug(name))
                return false;
        return test_files::write_all(dir.filePath("slots.conf"), slot_text);
    }

    // setsid: the program leads a process group, as a shell's foreground job does, so that
    // a stop reaches it and its dfu-util children as Ctrl+C would.
    void start(QStringList const& arguments, QStringList const& wrapper = {}) {
        program.setProcessEnvironment(bus.environment());
        program.start("setsid",
                      wrapper + QStringList{KELVORA_BINARY_DIR "/kelvora-flash"} + arguments);
    }

    void read() {
        output += program.readAllStandardOutput();
        events.clear();
        for (QByteArray const& line : output.split('\n'))
            if (line.startsWith('{'))
                events.append(QJsonDocument::fromJson(line).object());
    }
    bool wait_for(QString const& port, QString const& event, int count = 1) {
        return QTest::qWaitFor(
            [&] {
                read();
                return std::count_if(events.begin(), events.end(), [&](QJsonObject const& e) {
                           return e["unit"] == port && e["event"] == event;
                       }) >= count;
            },
            90000);
    }
    bool stop_and_finish() {
        ::kill(-pid_t(program.processId()), SIGINT);
        bool const ended = program.waitForFinished(120000);
        read();
        return ended && program.exitStatus() == QProcess::NormalExit;
    }
};

} // namespace

class TestFlashStation : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void units_come_and_go_and_a_stop_lets_the_write_end();
    void refusals_data();
    void refusals();
};

void TestFlashStation::initTestCase() {
    if (!qEnvironmentVariableIsSet("KELVORA_VUSB_UDEV"))
        QSKIP("needs udev_namespace.sh");
}

// A unit skipped and unplugged, then a stop while a unit is written.
void TestFlashStation::units_come_and_go_and_a_stop_lets_the_write_end() {
    Station station;
    QVERIFY(station.make({{"u1", {"--serial", "1111", "--type", "03"}},
                          {"u2", {"--serial", "2222", "--knob", "timing=real"}}}));
    QByteArray const image = test_files::read_all(":resources/firmware.bin");
    station.start({"station", "--json", "--slots", station.dir.filePath("slots.conf")});
    QVERIFY(QTest::qWaitFor([&] { return station.read(), !station.events.isEmpty(); }, 30000));
    QCOMPARE(station.events[0], QJsonObject({{"event", "armed"}}));

    QVERIFY(station.bus.plug_in("u1") && station.wait_for("1-1", "skipped"));
    QVERIFY(station.bus.unplug("u1") && station.wait_for("1-1", "left"));
    QVERIFY(station.bus.plug_in("u2") && station.wait_for("1-2", "writing"));
    QVERIFY(station.stop_and_finish());
    // Stopped after its write: not verified, so a failure, but written whole.
    QCOMPARE(station.program.exitCode(), 1);
    QCOMPARE(station.bus.flash("u2").left(image.size()), image);
    QCOMPARE(
        station.events.last(),
        QJsonDocument::fromJson(R"({"event":"summary","done":0,"failed":1,"skipped":1})").object());

    // Every unit event names its slot; a count follows each verdict.
    Flash::SlotTable const table = Flash::parse_slots(slot_text);
    int verdicts = 0;
    QVector<QJsonObject> counts;
    for (QJsonObject const& e : station.events) {
        if (e.contains("unit"))
            QCOMPARE(e["slot"].toString(), table.name_of(e["unit"].toString()));
        QString const kind = e["event"].toString();
        verdicts += kind == "done" || kind == "failed" || kind == "skipped";
        if (kind == "counts")
            counts << e;
    }
    QCOMPARE(counts.size(), verdicts);
    QCOMPARE(counts.last()["failed"].toInt(), 1);
    // Nothing listed the bus once the units were there.
    for (QString const name : {"u1", "u2"})
        for (QByteArray const& line :
             test_files::read_all(station.bus.unit_path(name) + "/log").split('\n'))
            QVERIFY2(line.isEmpty() || line.endsWith(" -p 1-" + name.mid(1).toUtf8()),
                     line.constData());
}

void TestFlashStation::refusals_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("with_udev");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("udev does not run")
        << QStringList{"station"} << false << 4 << "udev does not run here";
    QTest::newRow("slots file at fault")
        << QStringList{"station", "--slots", "$bad"} << true << 2 << "line 3: not a port path: A1";
    QTest::newRow("slots file missing")
        << QStringList{"station", "--slots", "$missing"} << true << 2 << "cannot read";
    QTest::newRow("a serial for a port")
        << QStringList{"station", "serial=1111"} << true << 2 << "station takes port paths";
    QTest::newRow("slots for upgrade") << QStringList{"upgrade", "--all", "--slots", "$bad"} << true
                                       << 2 << "--slots belongs to station";
}

void TestFlashStation::refusals() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, with_udev);
    QFETCH(int, code);
    QFETCH(QString, message);
    Station station;
    QVERIFY(station.make({{"u1", {}}}));
    QVERIFY(station.bus.plug_in("u1"));
    QVERIFY(test_files::write_all(station.dir.filePath("bad.conf"), "1-1 A1\n\nA1 1-2\n"));
    arguments.replaceInStrings("$bad", station.dir.filePath("bad.conf"))
        .replaceInStrings("$missing", station.dir.filePath("missing.conf"));
    QByteArray const before = station.bus.flash("u1");
    station.start(arguments, with_udev
                                 ? QStringList()
                                 : QStringList{KELVORA_VUSB_UDEV_NAMESPACE, "--without-udev"});
    QVERIFY(station.program.waitForFinished(60000));
    QCOMPARE(station.program.exitCode(), code);
    QByteArray const error = station.program.readAllStandardError();
    QVERIFY2(error.contains(message.toUtf8()), error.constData());
    QCOMPARE(station.bus.flash("u1"), before);
}

QTEST_GUILESS_MAIN(TestFlashStation)
#include "tst_flash_station.moc"
