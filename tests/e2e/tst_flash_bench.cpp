// kelvora-flash as a bench runs it: the program itself, its own dfu-util preloaded with the
// virtual units, several units side by side. Each case looks at the units' flash afterwards,
// at what the program said (JSON Lines) and at each unit's own log of who opened it.
#include "files/files.h"
#include "system/process_lock.h"
#include "test_files.h"
#include "vusb_env.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

struct Unit {
    QString name;
    QStringList options; // make_unit.sh options
};

struct Run {
    int code = -1;
    QVector<QJsonObject> events;
    QMap<QString, QJsonObject> last; // the last event of each port
    QByteArray error;
};

} // namespace

class TestFlashBench : public QObject {
    Q_OBJECT

    QTemporaryDir work_;
    QByteArray image_;
    QString image_file_;
    QString revision_;
    QString stuck_bit_; // a bit that the image sets: a unit where it stays 0 fails its write

    bool make(vusb_env::Bus const& bus, QVector<Unit> const& units);
    QProcess* start(vusb_env::Bus const& bus, QStringList const& arguments);
    static bool finish(QProcess* bench, Run* run);
    static bool only_own_port_opened(vusb_env::Bus const& bus, QString const& name,
                                     QString const& port);
    static QString record_file() {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               "/kelvora-upgrade/upgrades.jsonl";
    }

private slots:
    void initTestCase();
    void mixed_bench();
    void pulled_unit_fails_alone();
    void unit_ends_data();
    void unit_ends();
    void refusals_change_nothing_data();
    void refusals_change_nothing();
    void listing_data();
    void listing();
    void stop_during_parallel_write();
    void refused_while_the_window_runs();
    void any_serial_addressed_by_port_data();
    void any_serial_addressed_by_port();
    void forged_device_line();
    void unit_swapped_before_the_write();
    void stuck_unit_named_data();
    void stuck_unit_named();
    void killed_during_a_write();
    void return_seen_from_its_event_data();
    void return_seen_from_its_event();
};

void TestFlashBench::initTestCase() {
    image_ = test_files::read_all(":resources/firmware.bin");
    int const block = test_files::fw_block_offset(image_);
    QVERIFY(block >= 0);
    revision_ = test_files::fw_revision(image_, block);
    image_file_ = work_.path() + "/firmware.bin";
    QVERIFY(vusb_env::write_whole(image_file_, image_));
    for (int at = 4096; at < image_.size() && stuck_bit_.isEmpty(); ++at)
        if (uchar(image_[at]) & 1)
            stuck_bit_ = QString("stuck_bit=0x%1:0").arg(0x08000000 + at, 0, 16);
    QVERIFY(!stuck_bit_.isEmpty());
}

bool TestFlashBench::make(vusb_env::Bus const& bus, QVector<Unit> const& units) {
    for (Unit const& unit : units) {
        QProcess make_unit;
        make_unit.start(KELVORA_SOURCE_DIR "/tests/instruments/vusb/make_unit.sh",
                        unit.options +
                            QStringList{"--image", image_file_, bus.unit_path(unit.name)});
        if (!make_unit.waitForFinished(60000) || make_unit.exitCode() != 0)
            return false;
    }
    return true;
}

QProcess* TestFlashBench::start(vusb_env::Bus const& bus, QStringList const& arguments) {
    auto* bench = new QProcess(this);
    bench->setProcessEnvironment(bus.environment());
    bench->start(KELVORA_BINARY_DIR "/kelvora-flash", arguments);
    return bench;
}

bool TestFlashBench::finish(QProcess* bench, Run* run) {
    if (!bench->waitForFinished(180000) || bench->exitStatus() != QProcess::NormalExit)
        return false;
    run->code = bench->exitCode();
    run->error = bench->readAllStandardError();
    QByteArray const output = bench->readAllStandardOutput();
    // Without a terminal no line is redrawn: no carriage return, JSON or not.
    if (output.contains('\r'))
        return false;
    for (QByteArray const& line : output.split('\n')) {
        if (!line.startsWith('{'))
            continue;
        QJsonDocument const document = QJsonDocument::fromJson(line);
        if (!document.isObject())
            return false;
        run->events.append(document.object());
        if (document.object().contains("unit"))
            run->last[document.object()["unit"].toString()] = document.object();
    }
    bench->deleteLater();
    return true;
}

// Apart from the one listing of the whole bus at the start, every open of the unit came from
// a command that named its port.
bool TestFlashBench::only_own_port_opened(vusb_env::Bus const& bus, QString const& name,
                                          QString const& port) {
    QList<QByteArray> const lines = test_files::read_all(bus.unit_path(name) + "/log").split('\n');
    bool listed = false;
    for (QByteArray const& line : lines) {
        if (line.isEmpty())
            continue;
        if (!listed && line.endsWith("dfu-util -d 0483 -l")) {
            continue;
        }
        listed = true;
        if (!line.endsWith(" -p " + port.toUtf8())) {
            qWarning() << name << "opened by" << line;
            return false;
        }
    }
    return true;
}

void TestFlashBench::mixed_bench() {
    vusb_env::Bus bus;
    QVERIFY(make(bus, {{"u1", {"--serial", "1111"}},
                       {"u2", {"--serial", "1111"}},
                       {"u3", {"--serial", "3333", "--type", "03"}},
                       {"u4", {"--serial", "4444"}},
                       {"u5", {"--serial", "5555", "--revision", revision_}},
                       {"u6", {"--serial", "6666", "--knob", stuck_bit_}}}));
    QFile::remove(bus.unit_path("u4") + "/otp.bin");
    QFile::remove(record_file());
    QMap<QString, QByteArray> before;
    for (QString const name : {"u1", "u2", "u3", "u4", "u5", "u6"})
        before[name] = bus.flash(name);
    QCOMPARE(before["u5"].left(image_.size()), image_);

    Run run;
    QVERIFY(finish(start(bus, {"upgrade", "--all", "--json"}), &run));
    QCOMPARE(run.code, 1);
    auto ends = [&run](QString const& port, QString const& event, QString const& reason) {
        return run.last[port]["event"].toString() == event &&
               run.last[port]["reason"].toString().contains(reason);
    };
    QVERIFY(ends("1-1", "done", "written") && ends("1-2", "done", "written"));
    QVERIFY(ends("1-3", "skipped", "another product") && ends("1-4", "skipped", "no identity"));
    QVERIFY(ends("1-5", "done", "already current") && ends("1-6", "failed", "write failed"));
    QCOMPARE(
        run.events.last(),
        QJsonDocument::fromJson(R"({"event":"summary","done":3,"failed":1,"skipped":2})").object());
    for (QJsonObject const& event : run.events)
        QVERIFY(event.contains("event") &&
                (event["event"] == "summary" || event.contains("serial")));

    QCOMPARE(bus.flash("u1").left(image_.size()), image_);
    QCOMPARE(bus.flash("u2").left(image_.size()), image_);
    for (QString const name : {"u3", "u4", "u5"})
        QCOMPARE(bus.flash(name), before[name]);
    QVERIFY(bus.flash("u6").left(image_.size()) != image_);
    for (int port = 1; port <= 6; ++port)
        QVERIFY(only_own_port_opened(bus, QString("u%1").arg(port), QString("1-%1").arg(port)));

    // The record: a started and a final line for each unit written, each with its port.
    QStringList outcomes;
    QFile record(record_file());
    QVERIFY(record.open(QIODevice::ReadOnly));
    for (QByteArray const& line : record.readAll().split('\n'))
        if (!line.isEmpty()) {
            QJsonObject const entry = QJsonDocument::fromJson(line).object();
            outcomes << entry["port"].toString() + " " + entry["outcome"].toString();
            // A final line tells where it came from and what was written.
            if (entry["outcome"] != "started")
                QVERIFY(entry["tool"].toString().startsWith("kelvora-flash ") &&
                        entry["image_sha256"].toString() ==
                            QCryptographicHash::hash(image_, QCryptographicHash::Sha256).toHex());
        }
    outcomes.sort();
    QCOMPARE(outcomes, (QStringList{"1-1 done", "1-1 started", "1-2 done", "1-2 started",
                                    "1-6 started", "1-6 write failed"}));
}

void TestFlashBench::pulled_unit_fails_alone() {
    vusb_env::Bus bus;
    QVERIFY(make(bus, {{"u1", {"--serial", "1111"}},
                       {"u2", {"--serial", "2222", "--knob", "unplug=download:40"}},
                       {"u3", {"--serial", "3333"}}}));
    Run run;
    QVERIFY(finish(start(bus, {"upgrade", "1-1", "serial=2222", "1-3", "--json"}), &run));
    QCOMPARE(run.code, 1);
    QCOMPARE(run.last["1-2"]["event"].toString(), QString("failed"));
    QCOMPARE(run.last["1-1"]["event"].toString(), QString("done"));
    QCOMPARE(run.last["1-3"]["event"].toString(), QString("done"));
    QCOMPARE(bus.flash("u1").left(image_.size()), image_);
    QCOMPARE(bus.flash("u3").left(image_.size()), image_);
}

void TestFlashBench::unit_ends_data() {
    QTest::addColumn<QStringList>("options"); // make_unit.sh options beside its serial
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("writes");          // downloads started
    QTest::addColumn<int>("write_exit_code"); // in the record's final line; no line: -2
    QString const flip = QString("flip_bit=0x%1:5").arg(0x08000000 + 300001, 0, 16);
    QTest::newRow("reset on leave without the last status")
        << QStringList{"--knob", "leave_status=none"} << "done"
        << "written" << 1 << 74;
    QTest::newRow("a bit reads back wrong") << QStringList{"--knob", flip} << "failed"
                                            << "differs" << 1 << 0;
    QTest::newRow("short read-back") << QStringList{"--knob", "short_upload=100"} << "failed"
                                     << "check interrupted" << 1 << 0;
    QTest::newRow("never back") << QStringList{"--knob", "after_leave=gone"} << "failed"
                                << "not back" << 1 << 0;
    // The carried revision is read back first, and written only when it differs.
    QTest::newRow("carried revision, short read-back")
        << QStringList{"--revision", revision_, "--knob", "short_upload=100"} << "failed"
        << "check interrupted" << 0 << -2;
    QTest::newRow("carried revision, a bit reads back wrong")
        << QStringList{"--revision", revision_, "--knob", flip} << "failed"
        << "differs" << 1 << 0;
}

// How one unit's upgrade ends, told in the same words as the window's record; the unit of
// another revision is written without reading its flash first.
void TestFlashBench::unit_ends() {
    QFETCH(QStringList, options);
    QFETCH(QString, event);
    QFETCH(QString, reason);
    QFETCH(int, writes);
    QFETCH(int, write_exit_code);
    vusb_env::Bus bus;
    QVERIFY(make(bus, {{"u1", options + QStringList{"--serial", "1111"}}}));
    QByteArray const before = bus.flash("u1");
    QFile::remove(record_file());
    Run run;
    QVERIFY(finish(start(bus, {"upgrade", "1-1", "--json"}), &run));
    QCOMPARE(run.code, event == "done" ? 0 : 1);
    QCOMPARE(run.last["1-1"]["event"].toString(), event);
    QCOMPARE(run.last["1-1"]["reason"].toString(), reason);
    if (writes == 0)
        QCOMPARE(bus.flash("u1"), before);
    else
        QCOMPARE(bus.flash("u1").left(image_.size()), image_);

    // Each dfu-util run opens the unit more than once: the runs are told by their pid.
    QByteArray const log = test_files::read_all(bus.unit_path("u1") + "/log");
    QSet<QByteArray> writers;
    for (QByteArray const& line : log.split('\n'))
        if (line.contains(" -D "))
            writers << line.split(' ').value(1);
    QCOMPARE(writers.size(), writes);
    // Another revision is written without a read-back before.
    int const first_read = log.indexOf(QString(" -s 0x08000000:%1 ").arg(image_.size()).toUtf8());
    if (!options.contains("--revision"))
        QVERIFY(first_read < 0 || first_read > log.indexOf(" -D "));

    QStringList outcomes;
    QJsonObject last;
    for (QByteArray const& line : test_files::read_all(record_file()).split('\n'))
        if (!line.isEmpty()) {
            last = QJsonDocument::fromJson(line).object();
            outcomes << last["outcome"].toString();
        }
    if (write_exit_code == -2) {
        QCOMPARE(outcomes, QStringList{});
        return;
    }
    QCOMPARE(outcomes, (QStringList{"started", event == "done" ? "done" : reason}));
    QCOMPARE(last["port"].toString(), QString("1-1"));
    QCOMPARE(last["write_exit_code"].toInt(), write_exit_code);
}

void TestFlashBench::refusals_change_nothing_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("last_event");
    QTest::newRow("dry run") << QStringList{"upgrade", "--all", "--dry-run", "--json"} << 0
                             << "skipped";
    QTest::newRow("serial of two units") << QStringList{"upgrade", "serial=1111"} << 2 << "";
    QTest::newRow("no such port") << QStringList{"upgrade", "1-9"} << 3 << "";
    QTest::newRow("units and --all") << QStringList{"upgrade", "1-1", "--all"} << 2 << "";
    QTest::newRow("check only reads") << QStringList{"check", "--json"} << 1 << "failed";
    QTest::newRow("check --all") << QStringList{"check", "--all", "--json"} << 1 << "failed";
    QTest::newRow("plain lines") << QStringList{"upgrade", "--all", "--dry-run"} << 0 << "";
}

void TestFlashBench::refusals_change_nothing() {
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, last_event);
    vusb_env::Bus bus;
    QVERIFY(make(bus, {{"u1", {"--serial", "1111"}}, {"u2", {"--serial", "1111"}}}));
    QByteArray const before = bus.flash("u1");
    Run run;
    QVERIFY(finish(start(bus, arguments), &run));
    QCOMPARE(run.code, code);
    if (!last_event.isEmpty())
        QCOMPARE(run.last["1-1"]["event"].toString(), last_event);
    QCOMPARE(bus.flash("u1"), before);
    QCOMPARE(bus.flash("u2"), before);
}

void TestFlashBench::listing_data() {
    QTest::addColumn<QString>("access");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no permission") << "denied"
                                   << "no permission";
    QTest::newRow("held by another program") << "busy"
                                             << "busy";
}

// Every unit with what was read of it by its port; one that cannot be opened with the reason.
void TestFlashBench::listing() {
    QFETCH(QString, access);
    QFETCH(QString, reason);
    vusb_env::Bus bus;
    QVERIFY(make(bus, {{"u1", {"--serial", "1111"}},
                       {"u2", {"--serial", "1111", "--type", "03"}},
                       {"u3", {"--serial", "3333", "--knob", "access=" + access}}}));
    Run run;
    QVERIFY(finish(start(bus, {"list", "--json"}), &run));
    QCOMPARE(run.code, 0);
    QCOMPARE(run.events.size(), 3);
    QCOMPARE(run.last["1-1"]["revision"].toString(), QString("2.3.0"));
    QVERIFY(run.last["1-1"]["carried_for_it"].toBool());
    QVERIFY(!run.last["1-2"]["carried_for_it"].toBool());
    QVERIFY(run.last["1-2"]["product"].toString() != run.last["1-1"]["product"].toString());
    QCOMPARE(run.last[""]["event"].toString(), QString("skipped"));
    QVERIFY(run.last[""]["reason"].toString().endsWith(reason));
}

// Ctrl+C in a terminal reaches the whole foreground group: the program and its dfu-util
// children. Every unit ends whole: written completely, or not written at all.
void TestFlashBench::stop_during_parallel_write() {
    vusb_env::Bus bus;
    QVector<Unit> units;
    for (int i = 1; i <= 5; ++i)
        units.append({QString("u%1").arg(i),
                      {"--serial", QString("%1").arg(i * 1111), "--knob", "timing=real"}});
    QVERIFY(make(bus, units));
    QByteArray const before = bus.flash("u1");
    auto* bench = new QProcess(this);
    bench->setProcessEnvironment(bus.environment());
    // setsid: the program leads a process group, as a shell's foreground job does.
    bench->start("setsid", {KELVORA_BINARY_DIR "/kelvora-flash", "upgrade", "--all", "--jobs", "4",
                            "--json"});
    // Four jobs for five units: once four units write, the fifth waits for a free job.
    QStringList writing;
    auto four_writing = [bench, &writing] {
        QString const seen = QString::fromUtf8(bench->peek(1 << 24));
        writing.clear();
        for (int port = 1; port <= 5; ++port)
            if (seen.contains(QRegularExpression(
                    QString(R"("unit":"1-%1","serial":"\w+","event":"writing")").arg(port))))
                writing << QString("1-%1").arg(port);
        return writing.size() == 4;
    };
    QTRY_VERIFY_WITH_TIMEOUT(four_writing(), 120000);
    ::kill(-pid_t(bench->processId()), SIGINT);
    Run run;
    QVERIFY(finish(bench, &run));
    QCOMPARE(run.code, 1);
    for (int port = 1; port <= 5; ++port) {
        QByteArray const flash = bus.flash(QString("u%1").arg(port));
        QVERIFY2(flash.left(image_.size()) == image_ || flash == before,
                 qPrintable(QString("1-%1").arg(port)));
        QJsonObject const last = run.last[QString("1-%1").arg(port)];
        // The unit that waited was never started.
        if (!writing.contains(QString("1-%1").arg(port)))
            QCOMPARE(last["reason"].toString(), QString("stopped"));
    }
    QCOMPARE(run.events.last()["event"].toString(), QString("summary"));
}

void TestFlashBench::refused_while_the_window_runs() {
    vusb_env::Bus bus;
    QVERIFY(make(bus, {{"u1", {}}}));
    ProcessLock window;
    QCOMPARE(window.take_instance(), ProcessLock::Taken);
    QByteArray const before = bus.flash("u1");
    Run run;
    QVERIFY(finish(start(bus, {"upgrade", "--all"}), &run));
    QCOMPARE(run.code, 4);
    QVERIFY(run.error.contains("running for this user"));
    QCOMPARE(bus.flash("u1"), before);
    QVERIFY(!QFile::exists(bus.unit_path("u1") + "/log"));
}

void TestFlashBench::any_serial_addressed_by_port_data() {
    QTest::addColumn<QString>("serial");
    QTest::newRow("not readable") << "UNKNOWN";
    QTest::newRow("not hex digits") << "STM32FxSTM32";
    QTest::newRow("empty") << "";
}

// A unit whose serial is not hex digits hides no unit listed after it; "serial=" never
// names it, its port does.
void TestFlashBench::any_serial_addressed_by_port() {
    QFETCH(QString, serial);
    vusb_env::Bus bus;
    QVERIFY(make(bus, {{"u1", {"--serial", "1111"}},
                       {"u2", {"--serial", vusb_env::Bus::config_bytes(serial)}},
                       {"u3", {"--serial", "3333"}}}));
    QByteArray const before = bus.flash("u2");
    Run named;
    QVERIFY(finish(start(bus, {"upgrade", "serial=" + serial, "--json"}), &named));
    QCOMPARE(named.code, 3);
    QCOMPARE(bus.flash("u2"), before);

    Run run;
    QVERIFY(finish(start(bus, {"upgrade", "1-1", "1-2", "1-3", "--json"}), &run));
    QCOMPARE(run.code, 0);
    for (int port = 1; port <= 3; ++port) {
        QCOMPARE(run.last[QString("1-%1").arg(port)]["event"].toString(), QString("done"));
        QCOMPARE(bus.flash(QString("u%1").arg(port)).left(image_.size()), image_);
    }
}

// The unit on 1-2 ends its serial with a device line for port 1-1 that says serial "DEAD".
void TestFlashBench::forged_device_line() {
    vusb_env::Bus bus;
    QString const forged = "2222\"\nFound DFU: [0483:df11] ver=2200, devnum=2, cfg=1, intf=0, "
                           "path=\"1-1\", alt=0, name=\"x\", serial=\"DEAD";
    QVERIFY(make(bus, {{"u1", {"--serial", "1111"}},
                       {"u2", {"--serial", vusb_env::Bus::config_bytes(forged)}}}));
    QByteArray const before = bus.flash("u1");

    Run named;
    QVERIFY(finish(start(bus, {"upgrade", "serial=DEAD", "--json"}), &named));
    QCOMPARE(named.code, 1);
    QCOMPARE(named.last["1-1"]["event"].toString(), QString("failed"));
    QString const why = named.last["1-1"]["reason"].toString();
    QVERIFY2(why.contains(R"("DEAD" and "1111")") || why.contains(R"("1111" and "DEAD")"),
             qPrintable(why));

    Run all;
    QVERIFY(finish(start(bus, {"upgrade", "--all", "--json"}), &all));
    QCOMPARE(all.code, 1);
    QCOMPARE(all.last["1-1"]["event"].toString(), QString("failed"));
    QCOMPARE(all.last["1-2"]["event"].toString(), QString("failed"));
    QCOMPARE(bus.flash("u1"), before);
    QCOMPARE(bus.flash("u2"), before);
    // The listings opened the innocent unit, and nothing else did.
    for (QByteArray const& line : test_files::read_all(bus.unit_path("u1") + "/log").split('\n'))
        QVERIFY2(line.isEmpty() || line.endsWith("dfu-util -d 0483 -l"), line.constData());
}

// While its information block is read (slowly, in some seconds), another unit takes the port.
void TestFlashBench::unit_swapped_before_the_write() {
    vusb_env::Bus bus;
    QVERIFY(make(
        bus,
        {{"u1", {"--serial", "1111", "--knob", "timing=real", "--knob", "timing_scale=400"}}}));
    QByteArray const before = bus.flash("u1");
    QProcess* bench = start(bus, {"upgrade", "1-1", "--json"});
    QTRY_VERIFY_WITH_TIMEOUT(
        test_files::read_all(bus.unit_path("u1") + "/log").contains("0x08000000:2048"), 60000);
    QVERIFY(bus.set_knob("u1", "serial", "2222"));
    Run run;
    QVERIFY(finish(bench, &run));
    QCOMPARE(run.code, 1);
    QCOMPARE(run.last["1-1"]["reason"].toString(),
             QString(R"(the port now shows serial "2222"; not written)"));
    QCOMPARE(bus.flash("u1"), before);
}

void TestFlashBench::stuck_unit_named_data() {
    QTest::addColumn<QString>("knob");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("ending");
    QTest::newRow("hangs when opened") << "hang=open:0"
                                       << "1-1"
                                       << "failed: hangs when dfu-util lists it";
    QTest::newRow("cannot be opened") << "access=denied"
                                      << ""
                                      << "skipped: devnum 2: no permission";
}

// The first unit on the bus cannot be listed; the one after it is upgraded all the same,
// and the run does not end as if every unit were done.
void TestFlashBench::stuck_unit_named() {
    QFETCH(QString, knob);
    QFETCH(QString, port);
    QFETCH(QString, ending);
    vusb_env::Bus bus;
    QVERIFY(
        make(bus, {{"u1", {"--serial", "1111", "--knob", knob}}, {"u2", {"--serial", "2222"}}}));
    QByteArray const before = bus.flash("u1");
    Run run;
    QVERIFY(finish(start(bus, {"upgrade", "--all", "--json"}), &run));
    QCOMPARE(run.code, 1);
    QCOMPARE(run.last["1-2"]["event"].toString(), QString("done"));
    QCOMPARE(bus.flash("u2").left(image_.size()), image_);
    QCOMPARE(run.last[port]["event"].toString() + ": " + run.last[port]["reason"].toString(),
             ending);
    QCOMPARE(bus.flash("u1"), before);
}

// A bench killed in the middle of a write does not cut the write: its dfu-util goes on alone
// and leaves the unit holding the whole image.
void TestFlashBench::killed_during_a_write() {
    vusb_env::Bus bus;
    QVERIFY(make(bus, {{"u1", {"--knob", "timing=real"}}}));
    QProcess* const bench = start(bus, {"upgrade", "1-1", "--json"});
    QByteArray output;
    auto const writing_under_way = [&] {
        output += bench->readAllStandardOutput();
        for (QByteArray const& line : output.split('\n')) {
            QJsonObject const event = QJsonDocument::fromJson(line).object();
            if (event["event"] == "writing" && event["percent"].toInt() >= 10)
                return event["percent"].toInt() < 100;
        }
        return false;
    };
    QVERIFY2(QTest::qWaitFor(writing_under_way, 120000), output.constData());
    ::kill(pid_t(bench->processId()), SIGKILL);
    QVERIFY(bench->waitForFinished());
    QCOMPARE(bench->exitStatus(), QProcess::CrashExit);

    ProcessLock claim; // held by the dfu-util that has the unit open
    QVERIFY(QTest::qWaitFor(
        [&] { return claim.take(bus.unit_path("u1") + "/lock", false) == ProcessLock::Taken; },
        120000));
    QCOMPARE(bus.flash("u1").left(image_.size()), image_);
}

void TestFlashBench::return_seen_from_its_event_data() {
    QTest::addColumn<QStringList>("back_after_ms"); // one unit each
    QTest::newRow("one unit back after 1.5 s") << QStringList{"1500"};
    QTest::newRow("back after 2 s beside one back at once") << QStringList{"2000", "50"};
}

// Where udev runs, a unit's return after its write is learnt from udev's event: its port is
// listed once, when it is back, and no listing opens a unit while it is written.
void TestFlashBench::return_seen_from_its_event() {
    QFETCH(QStringList, back_after_ms);
    if (!qEnvironmentVariableIsSet("KELVORA_VUSB_UDEV"))
        QSKIP("needs udev_namespace.sh");
    vusb_env::Bus bus;
    QVector<Unit> units;
    for (int i = 0; i < back_after_ms.size(); ++i)
        units.append({QString("u%1").arg(i + 1),
                      {"--serial", QString("%1").arg(i + 1).repeated(4), "--knob",
                       "back_after_ms=" + back_after_ms[i]}});
    QVERIFY(make(bus, units));
    Run run;
    QVERIFY(finish(start(bus, {"upgrade", "--all", "--json"}), &run));
    QCOMPARE(run.code, 0);
    for (int i = 0; i < units.size(); ++i) {
        QString const port = QString("1-%1").arg(i + 1);
        QCOMPARE(run.last[port]["reason"].toString(), QString("written"));
        QVERIFY(only_own_port_opened(bus, units[i].name, port));
        // Two listings of its port: the one right before the write and the one after its
        // return. Every look at the bus is in its "scans", those that find nothing too.
        QSet<QByteArray> listings;
        for (QByteArray const& line : test_files::read_all(bus.path() + "/scans").split('\n'))
            if (line.endsWith(" -l -p " + port.toUtf8()))
                listings.insert(line.split(' ').value(1));
        QCOMPARE(listings.size(), 2);
    }
}

QTEST_GUILESS_MAIN(TestFlashBench)
#include "tst_flash_bench.moc"
