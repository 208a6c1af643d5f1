// A unit's strings on their way to a log: control characters written as \xNN, line
// separators and bidirectional controls as \uNNNN.
#include "device/unit_text.h"

#include <QtTest>

class TestUnitText : public QObject {
    Q_OBJECT
private slots:
    void loggable_data();
    void loggable();
};

void TestUnitText::loggable_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("logged_lines"); // with the line feeds of a child's output
    QTest::newRow("title and colour sequences") << "\x1b]0;title\x07 \x1b[31mred"
                                                << R"(\x1B]0;title\x07 \x1B[31mred)"
                                                << R"(\x1B]0;title\x07 \x1B[31mred)";
    QTest::newRow("NUL, tab, DEL, C1 CSI")
        << QString::fromUtf8("a\0b\tc\x7f", 6) + QChar(0x9B) << R"(a\x00b\x09c\x7F\x9B)"
        << R"(a\x00b\x09c\x7F\x9B)";
    QTest::newRow("line feeds") << "one\ntwo\n"
                                << R"(one\x0Atwo\x0A)"
                                << "one\ntwo\n";
    // A text view starts a new line at these, or shows what follows them reordered.
    QTest::newRow("line and paragraph separators")
        << QString::fromUtf8("2.4.1\u2028Warning: forged\u2029")
        << R"(2.4.1\u2028Warning: forged\u2029)"
        << R"(2.4.1\u2028Warning: forged\u2029)";
    QTest::newRow("bidirectional embeddings, overrides and isolates")
        << QString::fromUtf8("a\u202Ab\u202Ec\u2066d\u2069e\u200Ff")
        << QString::fromUtf8(R"(a\u202Ab\u202Ec\u2066d\u2069e)") + QChar(0x200F) + "f"
        << QString::fromUtf8(R"(a\u202Ab\u202Ec\u2066d\u2069e)") + QChar(0x200F) + "f";
    QTest::newRow("printable text stays") << QString::fromUtf8("2.4.1 <img> \\x1B é € \u00A0")
                                          << QString::fromUtf8("2.4.1 <img> \\x1B é € \u00A0")
                                          << QString::fromUtf8("2.4.1 <img> \\x1B é € \u00A0");
}

void TestUnitText::loggable() {
    QFETCH(QString, text);
    QFETCH(QString, logged);
    QFETCH(QString, logged_lines);
    QCOMPARE(Device::loggable(text), logged);
    QCOMPARE(Device::loggable_lines(text), logged_lines);
    // Escaping what was already escaped changes nothing.
    QCOMPARE(Device::loggable(logged), logged);
}

QTEST_GUILESS_MAIN(TestUnitText)
#include "tst_unit_text.moc"
