// The executable itself: how a run ends, its exit status and what it leaves behind.
#include "e2e/tool_process.h"

#include <QDir>
#include <QtTest>

#include <csignal>

class TestToolProcess : public QObject {
    Q_OBJECT
private slots:
    void termination_signal_ends_the_run_data();
    void termination_signal_ends_the_run();
    void signal_ignored_at_start_stays_ignored_data();
    void signal_ignored_at_start_stays_ignored();
};

void TestToolProcess::termination_signal_ends_the_run_data() {
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("phase"); // when the signal comes
    struct Signal {
        int number;
        char const* name;
    };
    for (Signal const signal : {Signal{SIGTERM, "SIGTERM"}, Signal{SIGINT, "SIGINT"},
                                Signal{SIGHUP, "SIGHUP"}, Signal{SIGQUIT, "SIGQUIT"}}) {
        QTest::addRow("%s, start-up", signal.name) << signal.number << QStringList{} << "start-up";
        QTest::addRow("%s, idle, real device", signal.name)
            << signal.number << QStringList{} << "idle";
        QTest::addRow("%s, idle, simulator", signal.name)
            << signal.number << QStringList{"-s"} << "idle";
    }
}

void TestToolProcess::termination_signal_ends_the_run() {
    QFETCH(int, signal_number);
    QFETCH(QStringList, arguments);
    QFETCH(QString, phase);
    ToolProcess tool;
    QVERIFY(tool.start_in(QProcessEnvironment::systemEnvironment(), arguments));

    // In the middle of the start-up, or once the worker runs; then end the run from outside.
    QByteArray const moment = phase == "start-up" ? "Compiled for platform" : "Starting sm_A";
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += tool.readAllStandardError()).contains(moment), 30000);
    QVERIFY(QDir(tool.tmp.path()).entryList(QStringList{"upgrade_*"}, QDir::Dirs).size() == 1);
    ::kill(tool.processId(), signal_number);
    QVERIFY(tool.waitForFinished(30000));
    err += tool.readAllStandardError();

    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 128 + signal_number);
    if (phase == "idle") {
        QVERIFY2(err.contains(QString("app.exec() returns: %1").arg(128 + signal_number).toUtf8()),
                 err);
        QVERIFY(err.contains("Waiting 2 s before deleting objects"));
        QVERIFY(err.contains("SM_A: Waiting in dtor"));
    }
    QCOMPARE(QDir(tool.tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{});
}

void TestToolProcess::signal_ignored_at_start_stays_ignored_data() {
    QTest::addColumn<int>("ignored");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGQUIT") << int(SIGQUIT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestToolProcess::signal_ignored_at_start_stays_ignored() {
    QFETCH(int, ignored);
    ToolProcess tool;
    // As a shell starts a background job: the signal ignored before the program runs.
    QVERIFY(tool.start_in(QProcessEnvironment::systemEnvironment(),
                          {"-c", QString("trap '' %1; exec \"$0\"").arg(ignored),
                           KELVORA_BINARY_DIR "/kelvora-upgrade"},
                          "/bin/sh"));
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += tool.readAllStandardError()).contains("Starting sm_A"), 30000);
    ::kill(tool.processId(), ignored);
    ::kill(tool.processId(), SIGTERM);
    QVERIFY(tool.waitForFinished(30000));
    err += tool.readAllStandardError();
    // The first signal that the tool saw was the second one sent.
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 128 + SIGTERM);
    QVERIFY2(err.contains(QString("Signal %1 received").arg(SIGTERM).toUtf8()), err);
    QVERIFY(!err.contains(QString("Signal %1 received").arg(ignored).toUtf8()));
    QCOMPARE(QDir(tool.tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{});
}

QTEST_GUILESS_MAIN(TestToolProcess)
#include "tst_tool_process.moc"
