// The upgrade record's lines and the file they are added to, in temporary folders; and the
// recorder following a watch that is told an upgrade's steps by hand.
#include "control/upgrade_record.h"
#include "control/upgrade_watch.h"
#include "message_log.h"
#include "small_filesystem.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

UpgradeAttempt attempt(QString const& outcome) {
    UpgradeAttempt a;
    a.time = QDateTime(QDate(2026, 12, 8), QTime(1, 2, 3, 45), Qt::UTC);
    a.serial = "3276375B3333";
    a.product = "Lx-21";
    a.revision_before = "2.3.0";
    a.revision_carried = "2.4.1";
    a.outcome = outcome;
    return a;
}

int mode(QString const& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Every line of the file as a JSON object; an empty object stands for a line that is not one.
QList<QJsonObject> record_lines(QString const& file) {
    QFile in(file);
    QList<QJsonObject> lines;
    if (!in.open(QIODevice::ReadOnly))
        return lines;
    QByteArray const content = in.readAll();
    for (QByteArray const& line : content.split('\n'))
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    if (!content.isEmpty() && !content.endsWith('\n'))
        lines << QJsonObject();
    return lines;
}

// Appends `count` final lines; gives how many could not be written.
int append_many(QString const& file, int count) {
    int failed = 0;
    for (int i = 0; i < count; ++i)
        failed += UpgradeRecorder::append(file, attempt("done")) ? 0 : 1;
    return failed;
}

// append_many while this process's files may not grow beyond `limit` bytes, and SIGXFSZ is
// ignored, so that a write beyond the limit fails with EFBIG; -1 when no limit can be set.
int append_many_with_size_limit(QString const& file, qint64 limit, int count) {
    struct rlimit unlimited {};
    ::getrlimit(RLIMIT_FSIZE, &unlimited);
    struct rlimit limited = unlimited;
    limited.rlim_cur = rlim_t(limit);
    auto const handler = std::signal(SIGXFSZ, SIG_IGN);
    int const failed = ::setrlimit(RLIMIT_FSIZE, &limited) == 0 ? append_many(file, count) : -1;
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, handler);
    return failed;
}

} // namespace

class TestUpgradeRecord : public QObject {
    Q_OBJECT
private slots:
    void line_data();
    void line();
    void travelling_fields_data();
    void travelling_fields();
    void lines_are_added();
    void unwritable_data();
    void unwritable();
    void full_file_system_data();
    void full_file_system();
    void planted_links_data();
    void planted_links();
    void two_writers_on_a_full_file_system();
    void attempts();
};

void TestUpgradeRecord::line_data() {
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<qint64>("write_ms");
    QTest::addColumn<qint64>("verify_ms");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("done") << "done" << qint64(9120) << qint64(1840) << "Lx-21"
                          << QByteArray(R"("product":"Lx-21","revision_before":"2.3.0",)"
                                        R"("revision_carried":"2.4.1","serial":"3276375B3333",)"
                                        R"("time":"2026-12-08T01:02:03.045Z","tool":)");
    QTest::newRow("durations") << "done" << qint64(9120) << qint64(1840) << "Lx-21"
                               << QByteArray(R"("verify_ms":1840,"write_exit_code":0,)"
                                             R"("write_ms":9120})");
    QTest::newRow("interrupted before the write ended")
        << "interrupted" << qint64(-1) << qint64(-1) << "Lx-21"
        << QByteArray(R"("verify_ms":null,"write_exit_code":null,"write_ms":null})");
    QTest::newRow("quotes and line feeds stay inside the line")
        << "write failed" << qint64(5) << qint64(-1) << "a \"b\"\nc"
        << QByteArray(R"("product":"a \"b\"\nc",)");
}

void TestUpgradeRecord::line() {
    QFETCH(QString, outcome);
    QFETCH(qint64, write_ms);
    QFETCH(qint64, verify_ms);
    QFETCH(QString, product);
    QFETCH(QByteArray, expected);
    UpgradeAttempt a = attempt(outcome);
    a.write_ms = write_ms;
    a.verify_ms = verify_ms;
    a.write_exit_code = 0;
    a.product = product;
    QByteArray const line = a.json_line();
    QVERIFY(line.endsWith('\n'));
    QCOMPARE(line.count('\n'), 1);
    QVERIFY2(line.contains(expected), line.constData());
    QJsonObject const object = QJsonDocument::fromJson(line).object();
    QCOMPARE(object["outcome"].toString(), outcome);
    QCOMPARE(object["product"].toString(), product);
}

void TestUpgradeRecord::travelling_fields_data() {
    QTest::addColumn<bool>("final");
    QTest::addColumn<QString>("slot");
    QTest::newRow("final line at a bench slot") << true << "A1";
    QTest::newRow("final line of the window") << true << "";
    QTest::newRow("started line") << false << "B2";
}

// What a final line carries so that it can be read far from where it was written: the
// program, the image written, when it ended; and the slot where a bench names one.
void TestUpgradeRecord::travelling_fields() {
    QFETCH(bool, final);
    QFETCH(QString, slot);
    QTemporaryDir dir;
    QString const file = dir.filePath("upgrades.jsonl");
    UpgradeAttempt a = attempt("done");
    a.slot = slot;
    a.image_sha256 = UpgradeAttempt::sha256_of("abc");
    QDateTime const before = QDateTime::currentDateTimeUtc();
    QVERIFY(final ? UpgradeRecorder::append(file, a)
                  : UpgradeRecorder::append(file, a.started_line()));
    QList<QJsonObject> const lines = record_lines(file);
    QCOMPARE(lines.size(), 1);
    QJsonObject const line = lines[0];
    QCOMPARE(line["slot"].toString(), slot);
    QCOMPARE(line.contains("slot"), !slot.isEmpty());
    QCOMPARE(line.contains("tool"), final);
    QCOMPARE(line.contains("ended"), final);
    if (!final)
        return;
    QCOMPARE(line["tool"].toString(), "kelvora-upgrade " + QString(KELVORA_TEST_VERSION));
    QCOMPARE(line["image_sha256"].toString(),
             QString("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    QDateTime const ended = QDateTime::fromString(line["ended"].toString(), Qt::ISODateWithMs);
    QVERIFY(line["ended"].toString().endsWith('Z'));
    QVERIFY(ended >= before.addMSecs(-1) && ended <= QDateTime::currentDateTimeUtc());
}

void TestUpgradeRecord::lines_are_added() {
    QTemporaryDir dir;
    // The folder is made when missing.
    QString const file = dir.filePath("kelvora-upgrade/upgrades.jsonl");
    QVERIFY(UpgradeRecorder::append(file, attempt("done")));
    QVERIFY(UpgradeRecorder::append(file, attempt("differs")));
    QFile in(file);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QList<QByteArray> const lines = in.readAll().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[2].isEmpty());
    QCOMPARE(QJsonDocument::fromJson(lines[0]).object()["outcome"].toString(), QString("done"));
    QCOMPARE(QJsonDocument::fromJson(lines[1]).object()["outcome"].toString(), QString("differs"));
    QVERIFY(UpgradeRecorder::default_file().endsWith("/kelvora-upgrade/upgrades.jsonl"));
    // The record is the user's own: the file and the folders made for it are private.
    QCOMPARE(mode(file), 0600);
    QCOMPARE(mode(dir.filePath("kelvora-upgrade")), 0700);
}

void TestUpgradeRecord::unwritable_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("cause");
    // Also as root: neither can be opened for writing by anyone.
    QTest::newRow("folder below a file") << "plain_file/upgrades.jsonl" << qt_error_string(ENOTDIR);
    QTest::newRow("a folder where the file goes") << "folder" << qt_error_string(EISDIR);
}

void TestUpgradeRecord::unwritable() {
    QFETCH(QString, where);
    QFETCH(QString, cause);
    QTemporaryDir dir;
    QFile plain(dir.filePath("plain_file"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QVERIFY(QDir(dir.path()).mkdir("folder"));

    MessageLog log;
    QVERIFY(!UpgradeRecorder::append(dir.filePath(where), attempt("done")));
    QCOMPARE(log.count("Could not add to the upgrade record"), 1);
    QCOMPARE(log.count(cause), 1);
    // The line is not lost from sight: the log holds it.
    QVERIFY(log.contains("\"serial\":\"3276375B3333\""));
}

void TestUpgradeRecord::full_file_system_data() {
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("cause");
    QTest::newRow("small tmpfs, filled") << "tmpfs" << qt_error_string(ENOSPC);
    QTest::newRow("file size limit") << "rlimit" << qt_error_string(EFBIG);
}

// The lines that no longer fit are lost whole, with the cause in the log; the first of them
// fits in part, which is cut off again.
void TestUpgradeRecord::full_file_system() {
    QFETCH(QString, limit);
    QFETCH(QString, cause);
    QTemporaryDir dir;
    std::unique_ptr<SmallFilesystem> small;
    if (limit == "tmpfs") {
        small = std::make_unique<SmallFilesystem>(dir.path(), "16k");
        if (!small->mounted())
            QSKIP("No tmpfs can be mounted here");
    }
    QString const file = dir.filePath("kelvora-upgrade/upgrades.jsonl");
    QVERIFY(UpgradeRecorder::append(file, attempt("done")));
    int const count = 20;
    MessageLog log;
    int failed = 0;
    if (small) {
        QVERIFY(small->fill("filler"));
        failed = append_many(file, count);
    } else {
        qint64 const room = 3 * attempt("done").json_line().size() + 100;
        failed = append_many_with_size_limit(file, QFileInfo(file).size() + room, count);
    }
    QStringList const warnings = log.lines();
    QVERIFY(failed > 0 && failed < count);
    QCOMPARE(warnings.filter("Could not add to the upgrade record").size(), failed);
    QCOMPARE(warnings.filter(cause).size(), failed);
    QList<QJsonObject> const lines = record_lines(file);
    QCOMPARE(lines.size(), 1 + count - failed);
    for (QJsonObject const& line : lines)
        QCOMPARE(line["outcome"].toString(), QString("done"));
}

void TestUpgradeRecord::planted_links_data() {
    QTest::addColumn<QString>("plant");
    QTest::addColumn<QString>("cause"); // empty: written, through the user's own link
    // As for a bench run as root with another user's home (sudo -E): nothing that user
    // planted leads the write into "secret", a folder of root's own.
    QTest::newRow("file is a link") << "file link"
                                    << "upgrades.jsonl: it is a symbolic link";
    QTest::newRow("folder is another user's link")
        << "folder link"
        << "kelvora-upgrade: it is a symbolic link of another user";
    QTest::newRow("data folder of another user") << "home"
                                                 << "/home: it belongs to another user";
    QTest::newRow("file of another user") << "file"
                                          << "upgrades.jsonl: it belongs to another user";
    QTest::newRow("this user's link is followed") << "own link"
                                                  << "";
}

void TestUpgradeRecord::planted_links() {
    QFETCH(QString, plant);
    QFETCH(QString, cause);
    QTemporaryDir dir;
    QString const home = dir.filePath("home"), secret = dir.filePath("secret");
    QString const folder = home + "/kelvora-upgrade", file = folder + "/upgrades.jsonl";
    QVERIFY(QDir().mkpath(secret) && QDir().mkpath(plant.startsWith("file") ? folder : home));
    QVERIFY(test_files::write_all(secret + "/file", "root only\n"));
    if (plant == "file link")
        QVERIFY(QFile::link(secret + "/file", file));
    if (plant == "folder link" || plant == "own link")
        QVERIFY(QFile::link(secret, folder));
    if (plant == "file")
        QVERIFY(test_files::write_all(file, ""));
    QString const given = plant == "home"          ? home
                          : plant == "folder link" ? folder
                          : plant == "own link"    ? ""
                                                   : file;
    if (!given.isEmpty() && ::lchown(QFile::encodeName(given).constData(), 65534, 65534) != 0)
        QSKIP("cannot give files to another user here (not root)");

    MessageLog log;
    QCOMPARE(UpgradeRecorder::append(file, attempt("done")), cause.isEmpty());
    QVERIFY2(cause.isEmpty() || log.contains(cause), qPrintable(log.lines().join('\n')));
    QCOMPARE(test_files::read_all(secret + "/file"), QByteArray("root only\n"));
    QCOMPARE(QDir(secret).entryList(QDir::Files).size(), cause.isEmpty() ? 2 : 1);
}

// Two processes add lines while the file system is full but now and then has room for a few
// more: every line in the file is whole, and every line that a writer was told is written is
// there (a writer that cuts off its own part line never cuts off the other's whole one).
void TestUpgradeRecord::two_writers_on_a_full_file_system() {
    QTemporaryDir dir;
    QTemporaryDir control;
    SmallFilesystem small(dir.path(), "256k");
    if (!small.mounted())
        QSKIP("No tmpfs can be mounted here");
    QString const file = dir.filePath("kelvora-upgrade/upgrades.jsonl");
    QVERIFY(UpgradeRecorder::append(file, attempt("done")));
    // Pages to free one at a time while the writers run.
    int const pages = 48;
    for (int i = 0; i < pages; ++i)
        QVERIFY(
            test_files::write_all(dir.filePath(QString("page%1").arg(i)), QByteArray(4096, 'p')));
    QVERIFY(small.fill("filler"));

    QString const stop = control.filePath("stop");
    QProcess writers[2];
    for (QProcess& writer : writers) {
        writer.setStandardErrorFile(QProcess::nullDevice());
        writer.start(KELVORA_TEST_HELPERS_DIR "/record_writer", {file, stop});
        QVERIFY(writer.waitForStarted());
    }
    for (int i = 0; i < pages; ++i) {
        QTest::qWait(10);
        QVERIFY(QFile::remove(dir.filePath(QString("page%1").arg(i))));
    }
    QVERIFY(test_files::write_all(stop, ""));
    int written = 1;
    for (QProcess& writer : writers) {
        QVERIFY(writer.waitForFinished(60000));
        QCOMPARE(writer.exitCode(), 0);
        bool number = false;
        written += writer.readAllStandardOutput().trimmed().toInt(&number);
        QVERIFY(number);
    }
    QList<QJsonObject> const lines = record_lines(file);
    QVERIFY(written > 1 + pages);
    QCOMPARE(lines.size(), written);
    for (QJsonObject const& line : lines)
        QCOMPARE(line["outcome"].toString(), QString("done"));
}

// The record follows the watch alone: a started line when an attempt begins, the final line
// when it ends (not while its unit may still come back), and nothing for a unit only checked.
void TestUpgradeRecord::attempts() {
    QTemporaryDir dir;
    QString const file = dir.filePath("upgrades.jsonl");
    UpgradeWatch watch(nullptr);
    watch.return_timeout_ms = 1;
    UpgradeRecorder recorder(&watch, file, "cafe", nullptr);
    DFU::DeviceInfo unit;
    unit.serial = "A";
    unit.FW_revision = "2.3.0";
    watch.unit_read(unit);
    watch.checked(Outcome::differs);
    QVERIFY(!QFile::exists(file));

    watch.begin(unit, "2.4.1");
    QCOMPARE(record_lines(file).size(), 1); // should the tool be killed now
    watch.writing_started();
    watch.write_ended(0);
    watch.unit_gone();
    QTest::qWait(20); // not back in time
    watch.unit_read(unit);
    watch.reading_started();
    watch.checked(Outcome::check_interrupted);
    watch.unit_gone();
    watch.unit_read(unit);
    watch.checked(Outcome::done); // a later check is not this attempt's
    watch.begin(unit, "2.4.1");
    watch.abandon(); // stopped during the write

    QList<QJsonObject> const lines = record_lines(file);
    QCOMPARE(lines.size(), 4);
    QStringList outcomes;
    for (QJsonObject const& line : lines)
        outcomes << line["outcome"].toString();
    QCOMPARE(outcomes, (QStringList{"started", "check interrupted", "started", "interrupted"}));
    QCOMPARE(lines[0]["attempt"], lines[1]["attempt"]);
    QCOMPARE(lines[2]["attempt"], lines[3]["attempt"]);
    QVERIFY(lines[0]["attempt"] != lines[2]["attempt"]);
    QCOMPARE(lines[1]["revision_before"].toString(), QString("2.3.0"));
    QCOMPARE(lines[1]["revision_carried"].toString(), QString("2.4.1"));
    QVERIFY(lines[1]["write_ms"].isDouble());
    QVERIFY(!lines[1]["verify_ms"].isDouble());
    QVERIFY(!lines[3]["write_ms"].isDouble());
    QCOMPARE(lines[1]["image_sha256"].toString(), QString("cafe"));
    QVERIFY(lines[3]["ended"].isString());
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    app.setApplicationName("kelvora-upgrade");
    TestUpgradeRecord test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_upgrade_record.moc"
