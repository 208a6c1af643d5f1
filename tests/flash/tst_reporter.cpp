// The bench's lines about a unit whose strings carry control characters: none reaches the
// terminal raw, in the plain line nor in JSON, and the JSON still gives the text back.
#include "flash/reporter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestReporter : public QObject {
    Q_OBJECT
private slots:
    void unit_text_escaped_data();
    void unit_text_escaped();
};

void TestReporter::unit_text_escaped_data() {
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("OSC title and CSI colour")
        << "\x1b]0;owned\x07\x1b[31m2"
        << R"(\x1B]0;owned\x07\x1B[31m2)" << QByteArray(R"(\u001B]0;owned\u0007\u001B[31m2)");
    QTest::newRow("C1 CSI, DEL, line feed")
        << QString("a") + QChar(0x9B) + "2J\x7f\n"
        << R"(a\x9B2J\x7F\x0A)" << QByteArray(R"(a\u009B2J\u007F\u000A)");
    QTest::newRow("quotes and backslash") << "\"2\" \\"
                                          << "\"2\" \\" << QByteArray(R"(\"2\" \\)");
}

void TestReporter::unit_text_escaped() {
    QFETCH(QString, revision);
    QFETCH(QString, plain);
    QFETCH(QByteArray, json);
    Flash::Event event;
    event.unit = "1-1";
    event.serial = "3276375B3333";
    event.revision = revision;
    QCOMPARE(Flash::Reporter::plain_text(event), "1-1  3276375B3333  found  product -, revision " +
                                                     plain + ", carried firmware is not for it");
    QByteArray const line = Flash::Reporter::json_line(event);
    QVERIFY2(line.contains("\"revision\":\"" + json + "\","), line.constData());
    QCOMPARE(QJsonDocument::fromJson(line).object()["revision"].toString(), revision);
}

QTEST_GUILESS_MAIN(TestReporter)
#include "tst_reporter.moc"
