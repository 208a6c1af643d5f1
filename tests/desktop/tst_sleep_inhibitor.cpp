#include "desktop/sleep_inhibitor.h"

#include "message_log.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <poll.h>
#include <unistd.h>

namespace {

// What logind does for Inhibit: hands out one end of a pipe and holds the lock until every
// copy of that end is closed, which its own end sees as end-of-file.
class InhibitService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    int watched = -1; // logind's end of the last lock
    QStringList calls;

public slots:
    QDBusUnixFileDescriptor Inhibit(QString const& what, QString const& who, QString const& why,
                                    QString const& mode) {
        calls << QStringList({what, who, why, mode}).join('|');
        int ends[2];
        if (pipe(ends) != 0)
            return {};
        watched = ends[0];
        QDBusUnixFileDescriptor lock(ends[1]); // a copy
        close(ends[1]);
        return lock;
    }
};

// Whether every copy of the lock's other end is closed.
bool lock_closed(int watched) {
    pollfd p{watched, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLIN));
}

} // namespace

class TestSleepInhibitor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void held_while_writing();
    void released_before_the_answer();
    void without_logind();

private:
    QTemporaryDir dir;
    QProcess bus;
    InhibitService service;
};

// A private bus stands in for the system bus; logind's name is taken only by the cases that
// want it.
void TestSleepInhibitor::initTestCase() {
    QVERIFY(dir.isValid());
    QFile config(dir.filePath("bus.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QString("<busconfig><type>session</type><listen>unix:tmpdir=%1</listen>"
                         "<policy context=\"default\"><allow user=\"*\"/>"
                         "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                         "<allow own=\"*\"/></policy></busconfig>")
                     .arg(dir.path())
                     .toUtf8());
    config.close();
    bus.start("dbus-daemon",
              {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
    if (!bus.waitForStarted(5000))
        QSKIP("dbus-daemon is not installed");
    QVERIFY(bus.waitForReadyRead(5000));
    QByteArray const address = bus.readLine().trimmed();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    QDBusConnection logind = QDBusConnection::connectToBus(QString(address), "logind");
    QVERIFY(logind.isConnected());
    QVERIFY(logind.registerObject("/org/freedesktop/login1", &service,
                                  QDBusConnection::ExportAllSlots));
    QVERIFY(QDBusConnection::systemBus().isConnected());
}

void TestSleepInhibitor::cleanupTestCase() {
    bus.kill();
    bus.waitForFinished();
}

void TestSleepInhibitor::held_while_writing() {
    QDBusConnection logind("logind");
    QVERIFY(logind.registerService("org.freedesktop.login1"));
    SleepInhibitor inhibitor(nullptr);
    inhibitor.acquire();
    QTRY_VERIFY(inhibitor.holding());
    QCOMPARE(service.calls.last(),
             QString("sleep|Kelvora Firmware Upgrade Tool|Writing firmware to a unit|block"));
    QVERIFY(!lock_closed(service.watched));
    inhibitor.acquire(); // a second start of the same write asks for no second lock
    inhibitor.release();
    QVERIFY(!inhibitor.holding());
    QVERIFY(lock_closed(service.watched));
    QTest::qWait(100);
    QCOMPARE(service.calls.size(), 1);
    close(service.watched);
    service.calls.clear();
    QVERIFY(logind.unregisterService("org.freedesktop.login1"));
}

// A write that ends before logind answers must not leave the machine unable to sleep.
void TestSleepInhibitor::released_before_the_answer() {
    QDBusConnection logind("logind");
    QVERIFY(logind.registerService("org.freedesktop.login1"));
    SleepInhibitor inhibitor(nullptr);
    inhibitor.acquire();
    inhibitor.release();
    QTRY_COMPARE(service.calls.size(), 1);
    QTRY_VERIFY(lock_closed(service.watched));
    QVERIFY(!inhibitor.holding());
    close(service.watched);
    service.calls.clear();
    QVERIFY(logind.unregisterService("org.freedesktop.login1"));
}

void TestSleepInhibitor::without_logind() {
    MessageLog log;
    SleepInhibitor inhibitor(nullptr);
    inhibitor.acquire();
    QTRY_COMPARE(log.lines().filter("Sleep not inhibited").size(), 1);
    QCOMPARE(log.lines().filter("Sleep not inhibited").first(),
             QString("Sleep not inhibited: \"org.freedesktop.DBus.Error.ServiceUnknown\""));
    inhibitor.release();
    QVERIFY(!inhibitor.holding());
}

QTEST_GUILESS_MAIN(TestSleepInhibitor)
#include "tst_sleep_inhibitor.moc"
