// The set-up that points every dfu-util command line at the simulator script.
#include "dfu/command.h"
#include "sim/simulator.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList messages;

void capture(QtMsgType, QMessageLogContext const&, QString const& text) {
    messages << text;
}

QString script() {
    return simulator::dfu_util_path("dfu-util_simulator.sh");
}

} // namespace

class TestSimulatorSetup : public QObject {
    Q_OBJECT
    std::map<DFU::CmdID, DFU::Command> original;

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void script_lies_in_the_simulator_folder();
    void rows_are_rewritten_data();
    void rows_are_rewritten();
    void upload_FW_row_with_callers_arguments();
    void missing_row_is_created_and_rewritten();
    void second_setup_adds_a_second_prefix();
    void prepared_config_loads_data();
    void prepared_config_loads();
};

void TestSimulatorSetup::initTestCase() {
    original = DFU::commands;
}

void TestSimulatorSetup::init() {
    DFU::commands = original;
}

void TestSimulatorSetup::cleanupTestCase() {
    DFU::commands = original;
}

void TestSimulatorSetup::script_lies_in_the_simulator_folder() {
    QFileInfo const info(script());
    QVERIFY(info.isAbsolute());
    QCOMPARE(info.dir().dirName(), QString("simulator"));
    QCOMPARE(info.fileName(), QString("dfu-util_simulator.sh"));
    QVERIFY2(info.isFile() && info.isExecutable(), qPrintable(info.filePath()));
    QCOMPARE(simulator::dfu_util_path("x y"), info.path() + "/x y");
}

void TestSimulatorSetup::rows_are_rewritten_data() {
    QTest::addColumn<int>("setup");
    QTest::addColumn<int>("id");
    QTest::addColumn<QStringList>("arguments");
    QStringList const otp{"-d", "0483", "-a", "2", "-s", "0x1FFF7800:512", "-U"};
    QStringList const info{"-d", "0483", "-a", "0", "-s", "0x08000000:2048", "-U"};
    QStringList const download{"-d", "0483", "-a", "0", "-s", "0x08000000:leave", "-D"};
    struct Row {
        char const* tag;
        DFU::CmdID id;
        char const* name;
        QStringList tail;
    };
    Row const rows[] = {
        {"version", DFU::version, "version", {"-V"}},
        {"list", DFU::list, "list", {"-d", "0483", "-l"}},
        {"upload_OTP", DFU::upload_OTP, "upload_OTP", otp},
        {"upload_FW_info", DFU::upload_FW_info, "upload_FW", info},
        {"upload_FW", DFU::upload_FW, "upload_FW", {"-d", "0483", "-a", "0"}},
        {"download_FW", DFU::download_FW, "download_FW", download},
        {"setup_prepared_config", DFU::setup_prepared_config, "setup_prepared_config", {}},
    };
    for (Row const& row : rows) {
        QTest::addRow("normal %s", row.tag)
            << int(simulator::normal) << int(row.id)
            << QStringList{"--dfu-util-command", row.name} + row.tail;
        QTest::addRow("fast_progress %s", row.tag)
            << int(simulator::fast_progress) << int(row.id)
            << QStringList{"--dfu-util-command", row.name, "--fast-progress"} + row.tail;
    }
}

void TestSimulatorSetup::rows_are_rewritten() {
    QFETCH(int, setup);
    QFETCH(int, id);
    QFETCH(QStringList, arguments);
    simulator::setup_for_simulated_dfu_util(simulator::Setup(setup));
    DFU::Command const& row = DFU::commands.at(DFU::CmdID(id));
    QCOMPARE(row.program, script());
    QCOMPARE(row.arguments, arguments);
    QCOMPARE(DFU::commands.size(), size_t(7));
}

void TestSimulatorSetup::upload_FW_row_with_callers_arguments() {
    // The list the runner starts the script with: the row's arguments, then the caller's.
    QTemporaryDir dir;
    simulator::setup_for_simulated_dfu_util(simulator::normal);
    QString const file = dir.filePath("uploaded_FW.bin");
    QStringList const extra{"-s", "0x08000000:625900", "-U", file};
    QCOMPARE(DFU::commands[DFU::upload_FW].arguments + extra,
             (QStringList{"--dfu-util-command", "upload_FW", "-d", "0483", "-a", "0", "-s",
                          "0x08000000:625900", "-U", file}));
    QCOMPARE(DFU::commands[DFU::list].arguments,
             (QStringList{"--dfu-util-command", "list", "-d", "0483", "-l"}));
}

void TestSimulatorSetup::missing_row_is_created_and_rewritten() {
    DFU::commands.erase(DFU::setup_prepared_config);
    DFU::commands.erase(DFU::list);
    simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
    QCOMPARE(DFU::commands.size(), size_t(7));
    QCOMPARE(DFU::commands[DFU::setup_prepared_config].program, script());
    QCOMPARE(DFU::commands[DFU::setup_prepared_config].arguments,
             (QStringList{"--dfu-util-command", "setup_prepared_config", "--fast-progress"}));
    // A recreated row has the default command's (empty) fixed arguments.
    QCOMPARE(DFU::commands[DFU::list].arguments,
             (QStringList{"--dfu-util-command", "list", "--fast-progress"}));
}

void TestSimulatorSetup::second_setup_adds_a_second_prefix() {
    simulator::setup_for_simulated_dfu_util(simulator::normal);
    simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
    QCOMPARE(DFU::commands[DFU::version].arguments,
             (QStringList{"--dfu-util-command", "version", "--fast-progress", "--dfu-util-command",
                          "version", "-V"}));
}

void TestSimulatorSetup::prepared_config_loads_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("code");
    QTest::newRow("known configuration") << "same_revision" << 0;
    QTest::newRow("action") << "unplug" << 0;
    QTest::newRow("unknown name") << "no_such_config" << 2;
    QTest::newRow("empty name") << "" << 64;
    QTest::newRow("name with a blank") << "same revision" << 2;
}

void TestSimulatorSetup::prepared_config_loads() {
    QFETCH(QString, name);
    QFETCH(int, code);
    QTemporaryDir state;
    qputenv("KELVORA_SIM_STATE_DIR", state.filePath("state dir").toLocal8Bit());
    simulator::setup_for_simulated_dfu_util(simulator::fast_progress);

    messages.clear();
    QtMessageHandler const previous = qInstallMessageHandler(capture);
    int const result = simulator::sim_setup_prepared_config(name);
    qInstallMessageHandler(previous);
    qunsetenv("KELVORA_SIM_STATE_DIR");

    QCOMPARE(result, code);
    QString const failure =
        QString("Failed to setup simulation config \"%1\" with code %2").arg(name).arg(code);
    QCOMPARE(messages.contains(failure), code != 0);
    QVERIFY2(messages.filter("Start ").size() == 1, qPrintable(messages.join('\n')));
}

QTEST_GUILESS_MAIN(TestSimulatorSetup)
#include "tst_simulator_setup.moc"
