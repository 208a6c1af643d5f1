// The journal entry of an ended upgrade attempt, as journald would receive it: the test runs
// in a mount namespace of its own (as root) with a tmpfs on /run, and binds a datagram socket
// where journald's socket lies; what the record writer sends there is read back and parsed.
#include "control/upgrade_journal.h"
#include "control/upgrade_record.h"
#include "message_log.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <optional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

char const journal_socket[] = "/run/systemd/journal/socket";
QString namespace_failure = "not tried";

// Before the application object starts any thread: a mount namespace is a thread's own.
void enter_private_run() {
    if (::geteuid() != 0)
        namespace_failure = "needs root";
    else if (::unshare(CLONE_NEWNS) != 0 ||
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("tmpfs", "/run", "tmpfs", 0, "size=1m") != 0)
        namespace_failure = qt_error_string(errno);
    else
        namespace_failure.clear();
}

// The fields of one datagram in journald's native protocol. Every value is escaped, so each
// field is one NAME=value line (a value with a line feed would take the binary form).
QMap<QByteArray, QByteArray> parse_entry(QByteArray const& datagram) {
    QMap<QByteArray, QByteArray> fields;
    for (QByteArray const& line : datagram.split('\n'))
        if (int const equals = line.indexOf('='); equals > 0)
            fields.insert(line.left(equals), line.mid(equals + 1));
    return fields;
}

class Journal {
public:
    Journal() {
        QDir().mkpath(QFileInfo(journal_socket).path());
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, journal_socket);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Journal() {
        ::close(fd_);
        ::unlink(journal_socket);
    }
    bool bound() const { return bound_; }
    // Every datagram waiting, without blocking.
    QList<QByteArray> received() const {
        QList<QByteArray> datagrams;
        QByteArray buffer(1 << 16, '\0');
        for (ssize_t n; (n = ::recv(fd_, buffer.data(), size_t(buffer.size()), MSG_DONTWAIT)) >= 0;)
            datagrams << buffer.left(int(n));
        return datagrams;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

} // namespace

class TestUpgradeJournal : public QObject {
    Q_OBJECT
private slots:
    void entry_data();
    void entry();
};

void TestUpgradeJournal::entry_data() {
    QTest::addColumn<bool>("journal");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QByteArray>("priority");
    QTest::addColumn<QByteArray>("product_field");
    QTest::newRow("bench slot, done") << true << "done"
                                      << "1-1.2"
                                      << "A1"
                                      << "Lx-21" << QByteArray("6") << QByteArray("Lx-21");
    QTest::newRow("window, write failed") << true << "write failed"
                                          << ""
                                          << ""
                                          << "Lx-21" << QByteArray("4") << QByteArray("Lx-21");
    QTest::newRow("unit text with a line feed and an escape")
        << true << "differs"
        << "1-3"
        << ""
        << "Lx\n\x1b[2J" << QByteArray("4") << QByteArray("Lx\\x0A\\x1B[2J");
    QTest::newRow("no journal: the record alone") << false << "done"
                                                  << "1-1"
                                                  << ""
                                                  << "Lx-21" << QByteArray() << QByteArray();
}

// One entry per ended attempt with the fixed id and every field; the record line is written
// beside it, and nothing goes to the log, with a journal or without.
void TestUpgradeJournal::entry() {
    QFETCH(bool, journal);
    QFETCH(QString, outcome);
    QFETCH(QString, port);
    QFETCH(QString, slot);
    QFETCH(QString, product);
    QFETCH(QByteArray, priority);
    QFETCH(QByteArray, product_field);
    if (!namespace_failure.isEmpty())
        QSKIP(qPrintable("No private /run for a journal socket: " + namespace_failure));
    std::optional<Journal> socket;
    if (journal)
        QVERIFY(socket.emplace().bound());
    QTemporaryDir dir;
    UpgradeAttempt a;
    a.id = "6f1c2a7e-3b0d-4e55-9a41-0c8f2d9b7e13";
    a.serial = "3276375B3333";
    a.revision_before = "2.3.0";
    a.revision_carried = "2.4.1";
    a.image_sha256 = UpgradeAttempt::sha256_of("image");
    a.outcome = outcome;
    a.port = port;
    a.slot = slot;
    a.product = product;
    MessageLog log;
    QVERIFY(UpgradeRecorder::append(dir.filePath("upgrades.jsonl"), a));
    QCOMPARE(log.lines(), QStringList());
    QCOMPARE(QJsonDocument::fromJson(test_files::read_all(dir.filePath("upgrades.jsonl")))
                 .object()["attempt"]
                 .toString(),
             a.id);
    if (!journal)
        return;
    QList<QByteArray> const datagrams = socket->received();
    QCOMPARE(datagrams.size(), 1);
    QMap<QByteArray, QByteArray> fields = parse_entry(datagrams[0]);
    QByteArray const message = fields.take("MESSAGE");
    QVERIFY2(message.contains(product_field) && message.endsWith(": " + outcome.toUtf8()),
             message.constData());
    QMap<QByteArray, QByteArray> expected{{"MESSAGE_ID", UpgradeJournal::message_id},
                                          {"PRIORITY", priority},
                                          {"SYSLOG_IDENTIFIER", "kelvora-flash"},
                                          {"KELVORA_ATTEMPT", a.id.toUtf8()},
                                          {"KELVORA_SERIAL", "3276375B3333"},
                                          {"KELVORA_PRODUCT", product_field},
                                          {"KELVORA_REVISION_BEFORE", "2.3.0"},
                                          {"KELVORA_REVISION_CARRIED", "2.4.1"},
                                          {"KELVORA_IMAGE_SHA256", a.image_sha256.toUtf8()},
                                          {"KELVORA_OUTCOME", outcome.toUtf8()}};
    if (!port.isEmpty())
        expected.insert("KELVORA_PORT", port.toUtf8());
    if (!slot.isEmpty())
        expected.insert("KELVORA_SLOT", slot.toUtf8());
    QCOMPARE(fields, expected);
}

int main(int argc, char** argv) {
    enter_private_run();
    QCoreApplication app(argc, argv);
    app.setApplicationName("kelvora-flash");
    TestUpgradeJournal test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_upgrade_journal.moc"
