// The executable itself: how a run ends, its exit status and what it leaves behind.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestToolProcess : public QObject {
    Q_OBJECT
private slots:
    void termination_signal_ends_the_run_data();
    void termination_signal_ends_the_run();
};

void TestToolProcess::termination_signal_ends_the_run_data() {
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("SIGTERM, simulator") << int(SIGTERM) << QStringList{"-s"};
    QTest::newRow("SIGINT, real device") << int(SIGINT) << QStringList{};
}

void TestToolProcess::termination_signal_ends_the_run() {
    QFETCH(int, signal_number);
    QFETCH(QStringList, arguments);
    QTemporaryDir tmp;
    QTemporaryDir runtime; // Qt's own runtime folder, kept apart from the temporary directory
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", tmp.path());
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("KELVORA_SIM_STATE_DIR");
    tool.setProcessEnvironment(env);
    tool.start(KELVORA_BINARY_DIR "/kelvora-upgrade", arguments);
    QVERIFY(tool.waitForStarted());

    // Wait until the worker runs, then end the run from outside.
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += tool.readAllStandardError()).contains("Starting sm_A"), 30000);
    QVERIFY(QDir(tmp.path()).entryList(QStringList{"upgrade_*"}, QDir::Dirs).size() == 1);
    ::kill(tool.processId(), signal_number);
    QVERIFY(tool.waitForFinished(30000));
    err += tool.readAllStandardError();

    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 128 + signal_number);
    QVERIFY2(err.contains(QString("app.exec() returns: %1").arg(128 + signal_number).toUtf8()),
             err);
    QVERIFY(err.contains("Waiting 2 s before deleting objects"));
    QVERIFY(err.contains("SM_A: Waiting in dtor"));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{});
}

QTEST_GUILESS_MAIN(TestToolProcess)
#include "tst_tool_process.moc"
