// The flow machine and its guarded transition driven from the test thread, with the worker
// object idle: its signals are emitted by hand, so every case is exact and quick.
#include "control/flow_machine.h"
#include "control/guarded_transition.h"
#include "control/upgrade_record.h"
#include "control/worker.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

int guard_calls = 0;
bool guard_result = false;

bool counting_guard() {
    ++guard_calls;
    return guard_result;
}

DFU::DeviceInfo record(bool valid, int type, QString revision, bool blank = false) {
    DFU::DeviceInfo info;
    info.valid = valid;
    info.device_type = static_cast<Device::Type>(type);
    info.FW_revision = revision;
    info.OTP_info.blank = blank;
    return info;
}

} // namespace

class Emitter : public QObject {
    Q_OBJECT
signals:
    void ping();
    void other();
};

class TestFlowMachine : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void meta_object_order();
    void state_names();
    void guard_is_asked_only_for_its_signal();
    void leaving_B1_data();
    void leaving_B1();
    void install_only_where_allowed_data();
    void install_only_where_allowed();
    void unit_removed_during_verification_returns_to_B1();
    void upgrade_outcome_data();
    void upgrade_outcome();

private:
    void report(DFU::DeviceInfo const& info);
    void go_to(QState* state);
    std::unique_ptr<SM_A> worker;
    std::unique_ptr<SM_B> machine;
};

void TestFlowMachine::init() {
    worker.reset(new SM_A("a.dfu", "a.bin", "up.bin"));
    machine.reset(new SM_B(worker.get(), Device::Type::DAVO, "2.4.1"));
    sm_A = worker.get();
    sm_B = machine.get();
    machine->start();
    QTRY_VERIFY(machine->configuration().contains(machine->B1));
}

void TestFlowMachine::cleanup() {
    machine->stop();
    sm_A = nullptr;
    sm_B = nullptr;
    machine.reset();
    worker.reset();
}

void TestFlowMachine::report(DFU::DeviceInfo const& info) {
    emit worker->sig_DevConnInfo(info);
    emit worker->sig_DevConn();
    QCoreApplication::processEvents();
}

void TestFlowMachine::meta_object_order() {
    QStringList const worker_signals = {"sig_NoDevConn()",          "sig_DevConn()",
                                        "sig_scanning()",           "sig_readingInfo()",
                                        "sig_DeviceError(QString)", "sig_FwDownloading()",
                                        "sig_FwDownloaded()",       "sig_FwUploading()",
                                        "sig_FwUploadedDiffers()",  "sig_FwUploadedMatches()",
                                        "sig_A0_entered()",         "sig_A1_entered()",
                                        "sig_A2_entered()",         "sig_A3_entered()",
                                        "sig_A4_entered()",         "sig_A5_entered()",
                                        "sig_A6_entered()",         "sig_A7_entered()"};
    QMetaObject const& a = SM_A::staticMetaObject;
    for (int i = 0; i < worker_signals.size(); ++i)
        QCOMPARE(QString(a.method(a.methodOffset() + i).methodSignature()), worker_signals[i]);

    QStringList const machine_methods = {"sig_UpgradeImpossible()",  "sig_UpgradePossible()",
                                         "sig_DifferingRevision()",  "sig_DoDownload()",
                                         "sig_UploadingVerifying()", "sig_FwMatches()",
                                         "sig_FwDiffers()",          "sig_DeviceConnected()",
                                         "sig_InvalidProduct()",     "do_download()"};
    QMetaObject const& b = SM_B::staticMetaObject;
    QCOMPARE(b.methodCount() - b.methodOffset(), machine_methods.size());
    for (int i = 0; i < machine_methods.size(); ++i)
        QCOMPARE(QString(b.method(b.methodOffset() + i).methodSignature()), machine_methods[i]);
    QCOMPARE(b.method(b.methodOffset() + 9).methodType(), QMetaMethod::Slot);
}

void TestFlowMachine::state_names() {
    QCOMPARE(machine->B1->objectName(), QString("B1: No (DFU-SE) dev. conn."));
    QCOMPARE(machine->B2->objectName(), QString("B2: Conn. to (DFU-SE) dev. with diff. FW rev."));
    QCOMPARE(machine->B3->objectName(), QString("B3: Upgrading FW"));
    QCOMPARE(machine->B4->objectName(), QString("B4: Uploading and verifying FW"));
    QCOMPARE(machine->B6->objectName(), QString("B6: FW in dev. matches"));
    QCOMPARE(machine->B7->objectName(), QString("B7: FW in dev. differs"));
    QCOMPARE(machine->B8->objectName(), QString("B8: Invalid (DFU-SE) dev. conn."));
    QCOMPARE(machine->B9->objectName(), QString("B9: Conn. to (DFU-SE) dev. with Empty OTP."));
    QCOMPARE(machine->initialState(), machine->B1);
    QCOMPARE(SM_B::desired_ID, Device::Type::DAVO);
    QCOMPARE(SM_B::desired_revision, QString("2.4.1"));
}

void TestFlowMachine::guard_is_asked_only_for_its_signal() {
    Emitter emitter;
    QStateMachine m;
    auto* from = new QState(&m);
    auto* to = new QState(&m);
    auto* t = new GuardedTransition(&emitter, SIGNAL(ping()), counting_guard);
    QVERIFY(!t->sourceState());
    from->addTransition(t);
    t->setTargetState(to);
    from->addTransition(&emitter, &Emitter::other, from); // a second trigger of the same state
    m.setInitialState(from);
    m.start();
    QTRY_VERIFY(m.configuration().contains(from));

    guard_calls = 0;
    guard_result = false;
    emit emitter.other();
    QCoreApplication::processEvents();
    QCOMPARE(guard_calls, 0);
    emit emitter.ping();
    QCoreApplication::processEvents();
    QCOMPARE(guard_calls, 1);
    QVERIFY(m.configuration().contains(from));
    guard_result = true;
    emit emitter.ping();
    QCoreApplication::processEvents();
    QCOMPARE(guard_calls, 2);
    QVERIFY(m.configuration().contains(to));
}

void TestFlowMachine::leaving_B1_data() {
    QTest::addColumn<DFU::DeviceInfo>("info");
    QTest::addColumn<QString>("state");
    QTest::newRow("blank OTP, right type, same revision") << record(true, 4, "2.4.1", true) << "B9";
    QTest::newRow("blank OTP, invalid record") << record(false, 0, "", true) << "B9";
    QTest::newRow("other product") << record(true, 3, "2.4.1") << "B8";
    QTest::newRow("other revision") << record(true, 4, "2.3.0") << "B2";
    QTest::newRow("no revision") << record(true, 4, "") << "B2";
    QTest::newRow("longer revision") << record(true, 4, "2.4.10") << "B2";
    QTest::newRow("same revision") << record(true, 4, "2.4.1") << "B4";
    QTest::newRow("invalid and not blank") << record(false, 4, "2.4.1") << "B1";
}

void TestFlowMachine::leaving_B1() {
    QFETCH(DFU::DeviceInfo, info);
    QFETCH(QString, state);
    QSignalSpy connected(machine.get(), &SM_B::sig_DeviceConnected);
    report(info);
    QState* now = nullptr;
    for (QAbstractState* s : machine->configuration())
        now = qobject_cast<QState*>(s);
    QVERIFY(now);
    QCOMPARE(now->objectName().left(2), state);
    if (state == "B1") {
        QCOMPARE(connected.count(), 0);
        QVERIFY(!machine->device_info.valid);
        return;
    }
    // Every exit from B1 announces the unit and keeps its record.
    QCOMPARE(connected.count(), 1);
    QCOMPARE(machine->device_info.FW_revision, info.FW_revision);
    QCOMPARE(machine->device_info.valid, info.valid);
    QCOMPARE(worker->get_command(), state == "B4" ? SM_A::UploadAndCompare : SM_A::NoCommand);

    // Back to B1 (not from B4): the copy is cleared.
    if (state != "B4") {
        emit worker->sig_NoDevConn();
        QCoreApplication::processEvents();
        QVERIFY(machine->configuration().contains(machine->B1));
        QVERIFY(!machine->device_info.valid);
        QVERIFY(machine->device_info.FW_revision.isEmpty());
    }
}

void TestFlowMachine::go_to(QState* state) {
    if (state == machine->B1)
        return;
    if (state == machine->B3) {
        go_to(machine->B2);
        machine->do_download();
    } else if (state == machine->B6 || state == machine->B7) {
        go_to(machine->B4);
        if (state == machine->B6)
            emit worker->sig_FwUploadedMatches();
        else
            emit worker->sig_FwUploadedDiffers();
    } else {
        DFU::DeviceInfo const info = state == machine->B2   ? record(true, 4, "2.3.0")
                                     : state == machine->B4 ? record(true, 4, "2.4.1")
                                     : state == machine->B8 ? record(true, 3, "2.3.0")
                                                            : record(true, 0, "", true);
        report(info);
    }
    QCoreApplication::processEvents();
    QVERIFY(machine->configuration().contains(state));
}

void TestFlowMachine::install_only_where_allowed_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("moves");
    for (QString const s : {"B1", "B3", "B4", "B6", "B8"})
        QTest::newRow(qPrintable(s)) << s << false;
    for (QString const s : {"B2", "B7", "B9"})
        QTest::newRow(qPrintable(s)) << s << true;
}

void TestFlowMachine::install_only_where_allowed() {
    QFETCH(QString, from);
    QFETCH(bool, moves);
    QState* state = nullptr;
    for (QState* s : machine->findChildren<QState*>())
        if (s->objectName().startsWith(from + ":"))
            state = s;
    QVERIFY(state);
    go_to(state);
    worker->set_command(SM_A::NoCommand);

    QSignalSpy download(machine.get(), &SM_B::sig_DoDownload);
    machine->do_download();
    QCoreApplication::processEvents();
    QCOMPARE(download.count(), 1);
    QCOMPARE(machine->configuration().contains(machine->B3), moves || state == machine->B3);
    QCOMPARE(worker->get_command(), moves ? SM_A::Download : SM_A::NoCommand);
}

// The verification belongs to the unit that was removed: no verdict may follow for the next.
void TestFlowMachine::unit_removed_during_verification_returns_to_B1() {
    go_to(machine->B4);
    emit worker->sig_NoDevConn();
    QCoreApplication::processEvents();
    QVERIFY(machine->configuration().contains(machine->B1));
    emit worker->sig_FwUploadedDiffers();
    emit worker->sig_FwUploadedMatches();
    QCoreApplication::processEvents();
    QVERIFY(machine->configuration().contains(machine->B1));
}

void TestFlowMachine::upgrade_outcome_data() {
    QTest::addColumn<int>("code");         // the download's exit code
    QTest::addColumn<bool>("sent");        // dfu-util said that every block was written
    QTest::addColumn<QString>("back");     // serial of the unit read after the write; empty: none
    QTest::addColumn<QString>("revision"); // the revision it reports
    QTest::addColumn<QString>("verdict");  // the worker's verdict, if it checks
    QTest::addColumn<QStringList>("states");
    QTest::addColumn<QStringList>("ends"); // the watch's outcomes, in order
    QString const S = "5E1A00000001";
    QTest::newRow("written and checked")
        << 0 << false << S << "2.4.1"
        << "matches" << QStringList{"B4", "B6"} << QStringList{"done"};
    QTest::newRow("check differs")
        << 0 << false << S << "2.4.1"
        << "differs" << QStringList{"B4", "B7"} << QStringList{"differs"};
    QTest::newRow("error of dfu-util, check differs")
        << 74 << false << S << "2.4.1"
        << "differs" << QStringList{"B4", "B7"} << QStringList{"write failed", "write failed"};
    // Nothing is known of the flash: neither a failed check nor a failed write.
    QTest::newRow("check cut short")
        << 0 << false << S << "2.4.1"
        << "cut" << QStringList{"B4", "B5"} << QStringList{"check interrupted"};
    QTest::newRow("back with the old revision")
        << 0 << false << S << "2.3.0"
        << "" << QStringList{"B2"} << QStringList{"write failed"};
    QTest::newRow("another unit comes") << 0 << false << "5E1A00000002"
                                        << "2.3.0"
                                        << "" << QStringList{"B2"} << QStringList{"not back"};
    QTest::newRow("not back") << 0 << false << ""
                              << ""
                              << "" << QStringList{} << QStringList{"not back"};
    QTest::newRow("write failed, not back") << 74 << false << ""
                                            << ""
                                            << "" << QStringList{} << QStringList{"write failed"};
    // The unit resets on "leave" before it answers: dfu-util fails after the whole write.
    QTest::newRow("reset on leave, checked")
        << 74 << true << S << "2.4.1"
        << "matches" << QStringList{"B4", "B6"} << QStringList{"done"};
    QTest::newRow("reset on leave, check differs")
        << 74 << true << S << "2.4.1"
        << "differs" << QStringList{"B4", "B7"} << QStringList{"differs"};
    QTest::newRow("reset on leave, back with the old revision")
        << 74 << true << S << "2.3.0"
        << "" << QStringList{"B2"} << QStringList{"write failed"};
    QTest::newRow("reset on leave, not back") << 74 << true << ""
                                              << ""
                                              << "" << QStringList{} << QStringList{"not back"};
}

// One upgrade from the click to its end, as the worker reports it: only a write that dfu-util
// reported complete is followed through the restart, every end is told once, and a failure
// only for the unit that was written.
void TestFlowMachine::upgrade_outcome() {
    QFETCH(int, code);
    QFETCH(bool, sent);
    QFETCH(QString, back);
    QFETCH(QString, revision);
    QFETCH(QString, verdict);
    QFETCH(QStringList, states);
    QFETCH(QStringList, ends);

    machine->watch->return_timeout_ms = 100;
    DFU::DeviceInfo unit = record(true, 4, "2.3.0");
    unit.serial = "5E1A00000001";
    report(unit);
    machine->do_download();
    QCoreApplication::processEvents();
    QVERIFY(machine->configuration().contains(machine->B3));

    QStringList told;
    connect(machine->watch, &UpgradeWatch::finished, this,
            [&told](UpgradeResult const& r) { told << record_text(r.outcome); });
    QSignalSpy restarting(machine->watch, &UpgradeWatch::restarting);
    // Back to no unit, the button goes before the status line changes.
    QStringList order;
    connect(machine.get(), &SM_B::sig_UpgradeImpossible, this, [&order] { order << "button"; });
    connect(machine->watch, &UpgradeWatch::restarting, this, [&order] { order << "text"; });
    QStringList entered;
    for (QState* s : {machine->B2, machine->B4, machine->B5, machine->B6, machine->B7})
        connect(s, &QState::entered, this, [&entered, s] { entered << s->objectName().left(2); });
    emit worker->sig_FwDownloadResult(code, sent);
    emit worker->sig_FwDownloaded();
    emit worker->sig_NoDevConn();
    QCoreApplication::processEvents();
    QVERIFY(machine->configuration().contains(machine->B1));
    // A failed write is told at once, never as a restart.
    bool const followed = code == 0 || sent;
    QCOMPARE(restarting.count(), followed ? 1 : 0);
    QCOMPARE(order, (followed ? QStringList{"button", "text"} : QStringList{"button"}));
    QCOMPARE(told, followed ? QStringList{} : QStringList{"write failed"});

    if (back.isEmpty()) {
        QTest::qWait(300);
    } else {
        DFU::DeviceInfo again = record(true, 4, revision);
        again.serial = back;
        report(again);
        if (verdict == "matches")
            emit worker->sig_FwUploadedMatches();
        else if (verdict == "differs")
            emit worker->sig_FwUploadedDiffers();
        else if (verdict == "cut")
            emit worker->sig_FwUploadCut();
        QCoreApplication::processEvents();
        // Long past the time-out: a unit that came back is not told as lost.
        QTest::qWait(300);
    }
    QCOMPARE(entered, states);
    QCOMPARE(told, ends);
}

QTEST_GUILESS_MAIN(TestFlowMachine)
#include "tst_flow_machine.moc"
