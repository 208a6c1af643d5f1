// The upgrade record's lines and the file they are added to, in temporary folders.
#include "app/upgrade_record.h"
#include "message_log.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

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

} // namespace

class TestUpgradeRecord : public QObject {
    Q_OBJECT
private slots:
    void line_data();
    void line();
    void lines_are_added();
    void unwritable_data();
    void unwritable();
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
                                        R"("time":"2026-12-08T01:02:03.045Z","verify_ms":1840,)"
                                        R"("write_exit_code":0,"write_ms":9120})");
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
}

void TestUpgradeRecord::unwritable_data() {
    QTest::addColumn<QString>("where");
    // Also as root: neither can be opened for writing by anyone.
    QTest::newRow("folder below a file") << "plain_file/upgrades.jsonl";
    QTest::newRow("a folder where the file goes") << "folder";
}

void TestUpgradeRecord::unwritable() {
    QFETCH(QString, where);
    QTemporaryDir dir;
    QFile plain(dir.filePath("plain_file"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QVERIFY(QDir(dir.path()).mkdir("folder"));

    MessageLog log;
    QVERIFY(!UpgradeRecorder::append(dir.filePath(where), attempt("done")));
    QCOMPARE(log.count("Could not add to the upgrade record"), 1);
    // The line is not lost from sight: the log holds it.
    QVERIFY(log.contains("\"serial\":\"3276375B3333\""));
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    app.setApplicationName("kelvora-upgrade");
    TestUpgradeRecord test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_upgrade_record.moc"
