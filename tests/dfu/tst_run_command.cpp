// The runner against small child programs, and the execution test against the real dfu-util.
#include "dfu/command.h"
#include "dfu/dfu_util.h"
#include "files/files.h"
#include "files/support_misc.h"
#include "message_log.h"
#include "small_filesystem.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <memory>
#include <thread>

namespace {

QString const fake_child = KELVORA_TEST_HELPERS_DIR "/fake_child";

} // namespace

class TestRunCommand : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void command_text();
    void exit_codes_and_output_data();
    void exit_codes_and_output();
    void taps_data();
    void taps();
    void start_is_announced_except_for_list();
    void program_that_cannot_start();
    void missing_row_gets_the_default();
    void child_outliving_the_first_wait();
    void wait_bounds_data();
    void wait_bounds();
    void end_of_run_stops_a_running_listing();
    void local_cause_of_a_failed_transfer_data();
    void local_cause_of_a_failed_transfer();
    void execution_test_with_the_real_dfu_util();
    void execution_test_banners_data();
    void execution_test_banners();

private:
    std::map<DFU::CmdID, DFU::Command> saved_commands;
};

void TestRunCommand::init() {
    saved_commands = DFU::commands;
    DFU::Command::path.clear();
}

void TestRunCommand::cleanup() {
    DFU::commands = saved_commands;
    DFU::Command::path.clear();
    DFU::first_wait_ms = 30000;
    DFU::wait_limit_ms = 120000;
    DFU::silence_limit_ms = 30000;
    DFU::end_waits_for_exit(false);
}

void TestRunCommand::command_text() {
    QCOMPARE(QString(DFU::commands[DFU::list]), QString("dfu-util(-d,0483,-l)"));
    QCOMPARE(QString(DFU::commands[DFU::download_FW]),
             QString("dfu-util(-d,0483,-a,0,-s,0x08000000:leave,-D)"));
    QCOMPARE(QString(DFU::Command{}), QString("dfu-util()"));
    QCOMPARE(DFU::commands.size(), size_t(7));
}

void TestRunCommand::exit_codes_and_output_data() {
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("output");
    QTest::newRow("success") << QStringList{"exit", "0", "hello\n"} << 0 << "hello\n";
    QTest::newRow("nothing printed") << QStringList{"exit", "0"} << 0 << "";
    QTest::newRow("failure code") << QStringList{"exit", "74", "partial"} << 74 << "partial";
    QTest::newRow("code 1") << QStringList{"exit", "1"} << 1 << "";
    QTest::newRow("cut at NUL") << QStringList{"nul"} << 0 << "before";
    QTest::newRow("stderr not captured") << QStringList{"stderr", "noise"} << 0 << "";
    QTest::newRow("utf-8") << QStringList{"exit", "0", "Grüße"} << 0 << "Grüße";
    QTest::newRow("killed by a signal") << QStringList{"crash"} << -1 << "";
    QTest::newRow("arguments kept apart")
        << QStringList{"args", "a b", "", "c"} << 0 << "a b\n\nc\n";
}

void TestRunCommand::exit_codes_and_output() {
    QFETCH(QStringList, extra);
    QFETCH(int, code);
    QFETCH(QString, output);
    DFU::commands[DFU::upload_FW] = {fake_child, {}};
    MessageLog log;
    auto const result = DFU::run_command(DFU::upload_FW, extra);
    QCOMPARE(result.first, code);
    QCOMPARE(result.second, output);
    // Failures, and only failures, leave the "Exit with" message.
    QCOMPARE(log.count("Exit with"), code != 0 ? 1 : 0);
    if (code != 0)
        QVERIFY(log.contains(QString("Exit with %1 from \"%2\"").arg(code).arg(fake_child)));
    // The row itself is not changed by the caller's arguments.
    QVERIFY(DFU::commands[DFU::upload_FW].arguments.isEmpty());
}

void TestRunCommand::taps_data() {
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QByteArray>("seen");
    QTest::addColumn<QByteArray>("error_output");
    QTest::newRow("printed at once")
        << QStringList{"exit", "3", "hello\n"} << QByteArray("hello\n") << QByteArray();
    QTest::newRow("printed early and late")
        << QStringList{"sleep", "300", "early "} << QByteArray("early late") << QByteArray();
    QTest::newRow("NUL reaches the tap")
        << QStringList{"nul"} << QByteArray("before\0after", 12) << QByteArray();
    QTest::newRow("standard error")
        << QStringList{"stderr", "noise"} << QByteArray() << QByteArray("noise");
    QTest::newRow("killed") << QStringList{"crash"} << QByteArray() << QByteArray();
}

void TestRunCommand::taps() {
    QFETCH(QStringList, extra);
    QFETCH(QByteArray, seen);
    QFETCH(QByteArray, error_output);
    DFU::commands[DFU::version] = {fake_child, {}};
    DFU::Result const plain = DFU::run_command(DFU::version, extra);

    QByteArray tapped;
    int pieces = 0;
    QByteArray errors("left over");
    DFU::OutputTaps taps;
    taps.on_output = [&](QByteArray const& bytes) {
        tapped += bytes;
        ++pieces;
    };
    taps.error_output = &errors;
    DFU::Result const result = DFU::run_command(DFU::version, extra, taps);
    // The result is the one without taps.
    QCOMPARE(result, plain);
    QCOMPARE(tapped, seen);
    QCOMPARE(pieces > 0, !seen.isEmpty());
    QCOMPARE(errors, error_output);
}

void TestRunCommand::start_is_announced_except_for_list() {
    DFU::commands[DFU::list] = {fake_child, {"exit", "0"}};
    DFU::commands[DFU::version] = {fake_child, {"exit", "0"}};
    {
        MessageLog log;
        QCOMPARE(DFU::run_command(DFU::list).first, 0);
        QVERIFY2(log.lines().isEmpty(), qPrintable(log.lines().join('\n')));
    }
    {
        MessageLog log;
        QCOMPARE(DFU::run_command(DFU::version, {"x"}).first, 0);
        QCOMPARE(log.lines(),
                 QStringList{QString("Start  \"%1\" (\"exit\", \"0\", \"x\")").arg(fake_child)});
    }
    {
        // A failing listing is reported like any other command.
        DFU::commands[DFU::list] = {fake_child, {"exit", "74"}};
        MessageLog log;
        QCOMPARE(DFU::run_command(DFU::list).first, 74);
        QCOMPARE(log.count("Start "), 0);
        QCOMPARE(log.count("Exit with 74"), 1);
    }
}

void TestRunCommand::program_that_cannot_start() {
    QTemporaryDir dir;
    DFU::Command::path = dir.path();
    DFU::commands[DFU::download_FW] = {"no-such-program", {"-D"}};
    MessageLog log;
    auto const result = DFU::run_command(DFU::download_FW, {"firmware.bin"});
    QCOMPARE(result.first, -1);
    QCOMPARE(result.second, QString());
    QVERIFY2(log.contains("Could not start \"" + dir.path() + "/no-such-program\""),
             qPrintable(log.lines().join('\n')));
    QVERIFY(log.contains("Exit with -1 from \"" + dir.path() + "/no-such-program\""));
    QVERIFY(!log.contains("will wait again"));
}

void TestRunCommand::missing_row_gets_the_default() {
    QTemporaryDir dir;
    QVERIFY(QFile::link(fake_child, dir.path() + "/dfu-util"));
    DFU::Command::path = dir.path();
    auto const id = static_cast<DFU::CmdID>(42);
    QCOMPARE(DFU::commands.count(id), size_t(0));
    auto const result = DFU::run_command(id, {"exit", "5", "from the default row"});
    QCOMPARE(result, (DFU::Result{5, "from the default row"}));
    QCOMPARE(DFU::commands.count(id), size_t(1));
    QCOMPARE(DFU::commands[id].program, QString("dfu-util"));
    QVERIFY(DFU::commands[id].arguments.isEmpty());
}

void TestRunCommand::child_outliving_the_first_wait() {
    DFU::first_wait_ms = 300;
    DFU::commands[DFU::upload_OTP] = {fake_child, {}};
    MessageLog log;
    auto const result = DFU::run_command(DFU::upload_OTP, {"sleep", "1500", "early"});
    QCOMPARE(result.first, 0);
    // What arrived before the first wait ended was logged there and is not returned again.
    QCOMPARE(result.second, QString("late"));
    QVERIFY(log.contains("waitForFinished(): Process did not finish in time, exit status: "
                         "QProcess::NormalExit and output: \"early\""));
    QVERIFY(log.contains("will wait on while it shows progress, at most 30 s without"));
}

void TestRunCommand::wait_bounds_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("child");      // what the fake child does, or how long it sleeps
    QTest::addColumn<QString>("run_ending"); // "no", "before" the start or "during" the run
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QString const killed = "Killing \"" + fake_child + "\" still running after 3 s";
    QString const silent = "Killing \"" + fake_child + "\" silent for 2 s";
    QString const waits_on = "will wait on while it shows progress, at most 2 s without";
    QString const not_started = "Not starting \"" + fake_child + "\" (\"sleep\"";
    QTest::newRow("silent download killed") << int(DFU::download_FW) << "600000"
                                            << "no" << -1 << silent;
    QTest::newRow("silent upload killed") << int(DFU::upload_FW) << "600000"
                                          << "no" << -1 << silent;
    // Progress every 300 ms for longer than the listing's bound.
    QTest::newRow("long download that shows progress") << int(DFU::download_FW) << "ticks 14 300"
                                                       << "no" << 0 << waits_on;
    QTest::newRow("stalled listing killed at the limit") << int(DFU::list) << "600000"
                                                         << "no" << -1 << killed;
    QTest::newRow("slow download within the bound") << int(DFU::download_FW) << "700"
                                                    << "no" << 0 << waits_on;
    QTest::newRow("listing not started when the run ends") << int(DFU::list) << "600000"
                                                           << "before" << -1 << not_started;
    QTest::newRow("version test not started when the run ends") << int(DFU::version) << "600000"
                                                                << "before" << -1 << not_started;
    // The second upload of a unit's information would double the wait at the end of a run.
    QTest::newRow("upload not started when the run ends") << int(DFU::upload_FW_info) << "600000"
                                                          << "before" << -1 << not_started;
    QTest::newRow("download finishes although the run ends") << int(DFU::download_FW) << "700"
                                                             << "during" << 0 << waits_on;
    QTest::newRow("silent download killed although the run ends")
        << int(DFU::download_FW) << "600000"
        << "during" << -1 << silent;
}

void TestRunCommand::wait_bounds() {
    QFETCH(int, id);
    QFETCH(QString, child);
    QFETCH(QString, run_ending);
    QFETCH(int, code);
    QFETCH(QString, message);
    DFU::first_wait_ms = 300;
    DFU::wait_limit_ms = 3000;
    DFU::silence_limit_ms = 2000;
    DFU::end_waits_for_exit(run_ending == "before");
    DFU::commands[DFU::CmdID(id)] = {fake_child, {}};
    MessageLog log;
    // The child prints its first text at once: the run ends while it runs.
    DFU::OutputTaps taps;
    if (run_ending == "during")
        taps.on_output = [](QByteArray const&) { DFU::end_waits_for_exit(); };
    QStringList const arguments =
        child.contains(' ') ? child.split(' ') : QStringList{"sleep", child, "early"};
    auto const result = DFU::run_command(DFU::CmdID(id), arguments, taps);
    QCOMPARE(result.first, code);
    QVERIFY2(log.contains(message), qPrintable(log.lines().join('\n')));
    if (code == 0 && arguments.front() == "sleep")
        QCOMPARE(result.second, QString("late"));
}

void TestRunCommand::end_of_run_stops_a_running_listing() {
    QTemporaryDir scratch;
    QString const started = scratch.path() + "/started";
    DFU::commands[DFU::list] = {"/bin/sh", {"-c", "touch \"$0\"; exec sleep 600", started}};
    // The run ends once the listing's child is under way.
    std::thread ender([&started] {
        while (!QFileInfo::exists(started))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        DFU::end_waits_for_exit();
    });
    MessageLog log;
    auto const result = DFU::run_command(DFU::list);
    ender.join();
    QCOMPARE(result.first, -1);
    QVERIFY2(log.contains("Stopping \"/bin/sh\" because the run ends"),
             qPrintable(log.lines().join('\n')));
    QVERIFY(!log.contains("Not starting"));
}

void TestRunCommand::local_cause_of_a_failed_transfer_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("where"); // the folder of the file: plain, missing or full
    QTest::addColumn<QString>("cause"); // %1: the folder; empty: no local cause
    QTest::newRow("upload, room to spare") << int(DFU::upload_FW) << "plain"
                                           << "";
    QTest::newRow("upload into a missing folder") << int(DFU::upload_OTP) << "missing"
                                                  << "the folder %1 does not exist";
    QTest::newRow("upload into a full file system") << int(DFU::upload_FW) << "full"
                                                    << "no room left in %1 (0 bytes free, ";
    QTest::newRow("download of a missing file") << int(DFU::download_FW) << "plain"
                                                << "cannot read %1/image.bin (No such file";
    QTest::newRow("listing") << int(DFU::list) << "missing"
                             << "";
}

void TestRunCommand::local_cause_of_a_failed_transfer() {
    QFETCH(int, id);
    QFETCH(QString, where);
    QFETCH(QString, cause);
    QTemporaryDir scratch;
    QString folder = scratch.path();
    std::unique_ptr<SmallFilesystem> small;
    if (where == "missing")
        folder += "/missing";
    if (where == "full") {
        folder += "/full";
        QVERIFY(QDir().mkdir(folder));
        small = std::make_unique<SmallFilesystem>(folder, "16k");
        if (!small->mounted())
            QSKIP("no permission to mount a small file system here");
        QVERIFY(small->fill("filler"));
    }
    // The stand-in child fails like dfu-util does; the file named after "-U" or "-D" decides,
    // whatever follows it (the unit's serial).
    DFU::commands[DFU::CmdID(id)] = {fake_child, {"exit", "74", ""}};
    QString const file = folder + "/image.bin";
    QStringList extra;
    if (id == DFU::upload_FW)
        extra << "-s"
              << "0x08000000:625900";
    extra << (id == DFU::download_FW ? "-D" : "-U") << file << "-S"
          << "3276375B3333";
    MessageLog log;
    QCOMPARE(DFU::run_command(DFU::CmdID(id), extra).first, 74);
    QStringList const local = log.lines().filter("Local cause, not the unit:");
    if (cause.isEmpty()) {
        QCOMPARE(local, QStringList());
    } else {
        QCOMPARE(local.size(), 1);
        QVERIFY2(local.first().startsWith("Local cause, not the unit: " + cause.arg(folder)),
                 qPrintable(local.first()));
    }
}

void TestRunCommand::execution_test_with_the_real_dfu_util() {
    if (!QFileInfo::exists(Files::external_dir.path() + "/dfu-util")) {
        QVERIFY(Files::extract_resources({Files::dfu_util_executable, Files::libusb_dylib}, true));
        QVERIFY(support_misc::mark_file_executable(DFU::dfu_util::full_path()));
    }
    DFU::Command::path = Files::external_dir.path();
    MessageLog log;
    QVERIFY(DFU::dfu_util::execution_test());
    QVERIFY(log.contains("Result of execution test: status was ok and output: as expected"));
    QCOMPARE(DFU::dfu_util::expected_output_of_execution_test.size(), 262);
    QCOMPARE(DFU::dfu_util::banner_0_9.size(), 261);
}

void TestRunCommand::execution_test_banners_data() {
    QTest::addColumn<QString>("banner");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("passes");
    QString const good = DFU::dfu_util::expected_output_of_execution_test;
    QString one_off = good;
    one_off[20] = QChar(one_off[20].unicode() + 1);
    QTest::newRow("exact") << good << 0 << true;
    QTest::newRow("exact but failing") << good << 1 << false;
    QTest::newRow("one character off") << one_off << 0 << false;
    QTest::newRow("last empty line missing") << good.chopped(1) << 0 << false;
    QTest::newRow("carriage returns") << QString(good).replace("\n", "\r\n") << 0 << false;
    QTest::newRow("the other release") << DFU::dfu_util::banner_0_9 << 0 << false;
    QTest::newRow("empty") << QString() << 0 << false;
}

void TestRunCommand::execution_test_banners() {
    QFETCH(QString, banner);
    QFETCH(int, code);
    QFETCH(bool, passes);
    DFU::commands[DFU::version] = {fake_child, {"exit", QString::number(code), banner}};
    MessageLog log;
    QCOMPARE(DFU::dfu_util::execution_test(), passes);
    QString const expected = QString("Result of execution test: status was %1 and output: ")
                                 .arg(code == 0 ? "ok" : "bad");
    QVERIFY2(log.contains(expected), qPrintable(log.lines().join('\n')));
    QCOMPARE(log.contains(expected + "as expected"),
             banner == DFU::dfu_util::expected_output_of_execution_test);
}

QTEST_GUILESS_MAIN(TestRunCommand)
#include "tst_run_command.moc"
