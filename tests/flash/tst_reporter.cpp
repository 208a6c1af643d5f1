// The bench's lines about a unit whose strings carry control characters: nothing of them
// reaches the terminal raw, in terminal and plain mode nor in JSON.
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
    QTest::addColumn<QString>("plain");   // the revision in the plain line
    QTest::addColumn<QByteArray>("json"); // the revision's member in the JSON line
    QTest::newRow("OSC title and CSI colour")
        << "\x1b]0;owned\x07\x1b[31m2.4"
        << R"(\x1B]0;owned\x07\x1B[31m2.4)"
        << QByteArray(R"("revision":"\u001B]0;owned\u0007\u001B[31m2.4")");
    QTest::newRow("C1 CSI and NEL, DEL")
        << QString("a") + QChar(0x9B) + "2J" + QChar(0x85) + QChar(0x7F) << R"(a\x9B2J\x85\x7F)"
        << QByteArray(R"("revision":"a\u009B2J\u0085\u007F")");
    QTest::newRow("line feed, carriage return, tab")
        << "1\n2\r3\t"
        << R"(1\x0A2\x0D3\x09)" << QByteArray(R"("revision":"1\u000A2\u000D3\u0009")");
    QTest::newRow("quotes, backslash and other scripts stay readable")
        << QString::fromUtf8("\"2.4\" \\ é 漢") << QString::fromUtf8("\"2.4\" \\ é 漢")
        << QByteArray(R"("revision":"\"2.4\" \\ )") + QString::fromUtf8("é 漢\"").toUtf8();
}

void TestReporter::unit_text_escaped() {
    QFETCH(QString, revision);
    QFETCH(QString, plain);
    QFETCH(QByteArray, json);
    Flash::Event event;
    event.unit = "1-1";
    event.serial = revision;
    event.revision = revision;
    event.reason = revision;

    QString const line = Flash::Reporter::plain_text(event);
    QCOMPARE(line, "1-1  " + plain + "  found  product -, revision " + plain +
                       ", carried firmware is not for it: " + plain);

    QByteArray const json_line = Flash::Reporter::json_line(event);
    QVERIFY2(json_line.contains(json), json_line.constData());
    QVERIFY(json_line.endsWith("}\n") && json_line.count('\n') == 1);
    for (QChar const c : QString::fromUtf8(json_line.chopped(1)))
        QVERIFY2(c.unicode() >= 0x20 && (c.unicode() < 0x7F || c.unicode() > 0x9F),
                 json_line.constData());
    // Still JSON that gives back the unit's text as it was.
    QJsonObject const object = QJsonDocument::fromJson(json_line).object();
    QCOMPARE(object["revision"].toString(), revision);
    QCOMPARE(object["serial"].toString(), revision);
}

QTEST_GUILESS_MAIN(TestReporter)
#include "tst_reporter.moc"
