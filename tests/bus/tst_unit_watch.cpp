// The bus watch: what a udev message about a usb_device says, and the watch following the
// messages that udevd sends (here the virtual units' own, in a network namespace of the
// test's own: udev_namespace.sh runs this test).
#include "bus/unit_watch.h"

#include "udev_events.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

Q_DECLARE_METATYPE(Bus::UnitEvent::Kind)

class TestUnitWatch : public QObject {
    Q_OBJECT
private slots:
    void unit_event_data();
    void unit_event();
    void udev_running();
    void follows_udev_events_data();
    void follows_udev_events();
    void arrivals_wake_a_waiting_thread_data();
    void arrivals_wake_a_waiting_thread();
};

void TestUnitWatch::unit_event_data() {
    QTest::addColumn<QByteArray>("action");
    QTest::addColumn<QByteArray>("devpath");
    QTest::addColumn<QByteArray>("product");
    QTest::addColumn<bool>("is_event");
    QTest::addColumn<Bus::UnitEvent::Kind>("kind");
    QTest::addColumn<QString>("port");
    auto const arrived = Bus::UnitEvent::arrived;
    auto const left = Bus::UnitEvent::left;
    QByteArray const hub = "/devices/pci0000:00/0000:00:14.0/usb1";
    QTest::newRow("arrives") << QByteArray("add") << hub + "/1-4" << QByteArray("483/df11/2200")
                             << true << arrived << "1-4";
    QTest::newRow("leaves behind a hub") << QByteArray("remove") << hub + "/1-4/1-4.2"
                                         << QByteArray("483/df11/2200") << true << left << "1-4.2";
    QTest::newRow("leading zeros") << QByteArray("add") << hub + "/1-1"
                                   << QByteArray("0483/DF11/2200") << true << arrived << "1-1";
    QTest::newRow("bound, not arrived") << QByteArray("bind") << hub + "/1-1"
                                        << QByteArray("483/df11/2200") << false << arrived << "";
    QTest::newRow("another product") << QByteArray("add") << hub + "/1-1"
                                     << QByteArray("483/5740/200") << false << arrived << "";
    QTest::newRow("another vendor") << QByteArray("add") << hub + "/1-1"
                                    << QByteArray("1d50/df11/2200") << false << arrived << "";
    QTest::newRow("no product") << QByteArray("add") << hub + "/1-1" << QByteArray() << false
                                << arrived << "";
    QTest::newRow("product not hex") << QByteArray("add") << hub + "/1-1"
                                     << QByteArray("483/dfxx/2200") << false << arrived << "";
    QTest::newRow("root hub path")
        << QByteArray("add") << hub << QByteArray("483/df11/2200") << false << arrived << "";
    QTest::newRow("no devpath") << QByteArray("add") << QByteArray() << QByteArray("483/df11/2200")
                                << false << arrived << "";
    QTest::newRow("quote in port") << QByteArray("add") << hub + "/1-1\""
                                   << QByteArray("483/df11/2200") << false << arrived << "";
}

void TestUnitWatch::unit_event() {
    QFETCH(QByteArray, action);
    QFETCH(QByteArray, devpath);
    QFETCH(QByteArray, product);
    QFETCH(bool, is_event);
    QFETCH(Bus::UnitEvent::Kind, kind);
    QFETCH(QString, port);
    std::optional<Bus::UnitEvent> const event = Bus::unit_event(action, devpath, product);
    QCOMPARE(event.has_value(), is_event);
    if (!event)
        return;
    QCOMPARE(event->kind, kind);
    QCOMPARE(event->port, port);
}

void TestUnitWatch::udev_running() {
    QTemporaryDir dir;
    QVERIFY(!Bus::udev_running(dir.path() + "/control"));
    QFile control(dir.path() + "/control");
    QVERIFY(control.open(QIODevice::WriteOnly));
    QVERIFY(Bus::udev_running(dir.path() + "/control"));
}

void TestUnitWatch::follows_udev_events_data() {
    QTest::addColumn<bool>("arrive");
    QTest::addColumn<int>("port");
    QTest::newRow("arrives on port 2") << true << 2;
    QTest::newRow("leaves port 3") << false << 3;
}

void TestUnitWatch::follows_udev_events() {
    QFETCH(bool, arrive);
    QFETCH(int, port);
    if (!qEnvironmentVariableIsSet("KELVORA_VUSB_UDEV"))
        QSKIP("needs udev_namespace.sh");
    Bus::UnitWatch watch;
    QVERIFY(watch.watching());
    QSignalSpy arrived(&watch, &Bus::UnitWatch::unit_arrived);
    QSignalSpy left(&watch, &Bus::UnitWatch::unit_left);
    QVERIFY(
        vusb::announce(arrive ? vusb::UdevAction::add : vusb::UdevAction::remove, port, 0x2200, 7));
    QSignalSpy& expected = arrive ? arrived : left;
    QVERIFY(expected.wait(5000));
    QCOMPARE(expected.size(), 1);
    QCOMPARE(expected.at(0).at(0).toString(), QString("1-%1").arg(port));
    QCOMPARE((arrive ? left : arrived).size(), 0);
}

void TestUnitWatch::arrivals_wake_a_waiting_thread_data() {
    QTest::addColumn<int>("noted_before");
    QTest::addColumn<bool>("noted_meanwhile");
    QTest::addColumn<QString>("port_noted");
    QTest::addColumn<bool>("woken");
    QTest::newRow("noted meanwhile") << 0 << true << "1-1" << true;
    QTest::newRow("noted before the wait") << 1 << false << "1-1" << true;
    QTest::newRow("nothing noted") << 0 << false << "1-1" << false;
    QTest::newRow("another port noted") << 0 << true << "1-2" << false;
}

void TestUnitWatch::arrivals_wake_a_waiting_thread() {
    QFETCH(int, noted_before);
    QFETCH(bool, noted_meanwhile);
    QFETCH(QString, port_noted);
    QFETCH(bool, woken);
    Bus::Arrivals arrivals;
    int const seen = arrivals.count("1-1");
    for (int i = 0; i < noted_before; ++i)
        arrivals.note("1-1");
    bool result = false;
    std::unique_ptr<QThread> waiter(
        QThread::create([&] { result = arrivals.wait_beyond("1-1", seen, woken ? 60000 : 300); }));
    waiter->start();
    if (noted_meanwhile)
        arrivals.note(port_noted);
    QVERIFY(waiter->wait(120000));
    QCOMPARE(result, woken);
}

QTEST_GUILESS_MAIN(TestUnitWatch)
#include "tst_unit_watch.moc"
