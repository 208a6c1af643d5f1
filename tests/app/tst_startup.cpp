// The command line and the device-side start-up, run in a child process as the tool runs them.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct ProbeRun {
    int exit_code = -1;
    QString out;
    QString err;
};

ProbeRun run_probe(QStringList const& arguments, QString const& tmpdir = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!tmpdir.isEmpty())
        env.insert("TMPDIR", tmpdir);
    env.remove("KELVORA_SIM_STATE_DIR");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(KELVORA_BINARY_DIR "/tests/app/startup_probe", arguments);
    if (!process.waitForFinished(60000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void command_line_data();
    void command_line();
    void unknown_options_end_the_process_data();
    void unknown_options_end_the_process();
    void real_device_start_up_extracts_and_tests_dfu_util();
    void simulator_start_up_runs_the_script();
};

void TestStartup::command_line_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("debug_line");
    QString const none =
        "Initial value of 'simulator::use'= false , isSet('-s')= false , isSet('-S')= false";
    QTest::newRow("no options") << QStringList{} << "use_simulator=false log_window=false" << none;
    QTest::newRow("-s") << QStringList{"-s"} << "use_simulator=true log_window=false"
                        << "isSet('-s')= true , isSet('-S')= false";
    QTest::newRow("-s -S") << QStringList{"-s", "-S"} << "use_simulator=false log_window=false"
                           << "isSet('-s')= true , isSet('-S')= true";
    QTest::newRow("-S -s") << QStringList{"-S", "-s"} << "use_simulator=false log_window=false"
                           << "isSet('-s')= true , isSet('-S')= true";
    QTest::newRow("long names") << QStringList{"--use-simulator", "--use-log-window"}
                                << "use_simulator=true log_window=true"
                                << "isSet('-s')= true";
    QTest::newRow("-l") << QStringList{"-l"} << "use_simulator=false log_window=true" << none;
    QTest::newRow("grouped -sl") << QStringList{"-sl"} << "use_simulator=true log_window=true"
                                 << "isSet('-s')= true";
    QTest::newRow("positional words")
        << QStringList{"one", "-s", "two"} << "use_simulator=true log_window=false"
        << "isSet('-s')= true";
}

void TestStartup::command_line() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QFETCH(QString, debug_line);
    ProbeRun const run = run_probe(arguments + QStringList{"probe-no-device-side"});
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(run.out.section('\n', 0, 0), expected);
    QVERIFY2(run.err.contains(debug_line), qPrintable(run.err));
}

void TestStartup::unknown_options_end_the_process_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::newRow("--help") << QStringList{"--help"} << "Unknown option 'help'.";
    QTest::newRow("-h") << QStringList{"-h"} << "Unknown option 'h'.";
    QTest::newRow("--version") << QStringList{"-s", "--version"} << "Unknown option 'version'.";
    QTest::newRow("value for a switch")
        << QStringList{"--use-simulator=yes"} << "Unexpected value after '--use-simulator'.";
}

void TestStartup::unknown_options_end_the_process() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QTemporaryDir tmp;
    ProbeRun const run = run_probe(arguments, tmp.path());
    QCOMPARE(run.exit_code, 1);
    QVERIFY2(run.err.contains(error), qPrintable(run.err));
    // Nothing of the start-up ran, and the working directory made before main is gone.
    QVERIFY(run.out.isEmpty());
    QVERIFY(!run.err.contains("Will use"));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{});
}

void TestStartup::real_device_start_up_extracts_and_tests_dfu_util() {
    QTemporaryDir tmp;
    ProbeRun const run = run_probe({}, tmp.path());
    QCOMPARE(run.exit_code, 0);

    QStringList const expected_lines = {
        "Will use real device (i.e. no option 'use_simulator'.)",
        "Compiled for platform (OS): Linux with 'DEBUG' not defined",
        "Extracted \"firmware.dfu\"",
        "Extracted \"firmware.bin\"",
        "Extracted \"dfu-util\"",
        "Extracted \"libusb-1.0.so.0\"",
        "Changing file permissions to make it executable:",
        "/dfu-util\" (\"-V\")",
        "Result of execution test: status was ok and output: as expected",
    };
    int from = 0;
    for (QString const& line : expected_lines) {
        int const at = run.err.indexOf(line, from);
        QVERIFY2(at >= 0, qPrintable("missing or out of order: " + line + "\n" + run.err));
        from = at + line.size();
    }

    QString const workdir = run.out.section("workdir=", 1).section('\n', 0, 0);
    QVERIFY(workdir.startsWith(tmp.path() + "/upgrade_"));
    QMap<QString, QStringList> files; // name -> {size, x or -}
    for (QString const& line : run.out.split('\n').filter(QRegularExpression("^file="))) {
        QStringList const parts = line.mid(5).split(' ');
        files[parts.value(0)] = parts.mid(1);
    }
    QCOMPARE(files.keys(),
             (QStringList{"dfu-util", "firmware.bin", "firmware.dfu", "libusb-1.0.so.0"}));
    QCOMPARE(files["firmware.bin"], (QStringList{"625900", "-"}));
    QCOMPARE(files["firmware.dfu"], (QStringList{"626209", "-"}));
    QCOMPARE(files["dfu-util"].value(1), QString("x"));
    QVERIFY(files["libusb-1.0.so.0"].value(0).toInt() > 0);

    // The working directory went away with the process.
    QVERIFY(!QFileInfo::exists(workdir));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{});
}

void TestStartup::simulator_start_up_runs_the_script() {
    QTemporaryDir tmp;
    ProbeRun const run = run_probe({"-s"}, tmp.path());
    QCOMPARE(run.exit_code, 0);
    QVERIFY2(run.err.contains("Will use simulator (i.e. option 'use_simulator)."),
             qPrintable(run.err));
    QVERIFY2(
        run.err.contains("dfu-util_simulator.sh\" (\"--dfu-util-command\", \"version\", \"-V\")"),
        qPrintable(run.err));
    // The simulated unit lived in the working directory, and both are gone.
    QVERIFY2(run.err.contains("Simulated unit kept in \"" + tmp.path() + "/upgrade_"),
             qPrintable(run.err));
    QVERIFY2(run.err.contains("Result of execution test: status was ok and output: as expected"),
             qPrintable(run.err));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{});
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
