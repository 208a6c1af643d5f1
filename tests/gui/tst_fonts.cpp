#include "gui/fonts.h"

#include "test_main.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>

namespace {

QList<QPair<QtMsgType, QString>>* captured = nullptr;

void capture(QtMsgType type, QMessageLogContext const&, QString const& msg) {
    if (captured)
        captured->append({type, msg});
}

} // namespace

// Runs with and without the font resources linked in (KELVORA_FONTS_PRESENT).
class TestFonts : public QObject {
    Q_OBJECT

private slots:
    void setup_fonts();
    void second_load_registers_nothing();
    void set_default_font_ignores_empty_name();
};

void TestFonts::setup_fonts() {
    QString const family_before = QApplication::font().family();
    QVERIFY(support::kelvora_font_name.isEmpty());

    QList<QPair<QtMsgType, QString>> messages;
    captured = &messages;
    QtMessageHandler const previous = qInstallMessageHandler(capture);
    support::setup_fonts();
    qInstallMessageHandler(previous);
    captured = nullptr;

#ifdef KELVORA_FONTS_PRESENT
    // The carried files hold the family "Cantarell".
    QCOMPARE(support::kelvora_font_name, QString("Cantarell"));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages[0].first, QtInfoMsg);
    QCOMPARE(messages[0].second, QString("Load/set default font: \"Cantarell\""));
    QFont const font = QApplication::font();
    QCOMPARE(font.family(), QString("Cantarell"));
    QCOMPARE(font.pointSize(), 11);
    QVERIFY(!font.italic());
    QCOMPARE(font.weight(), int(QFont::Normal));

    // Widgets made afterwards use it, and the bold face is real.
    QLabel label("x");
    QCOMPARE(QFontInfo(label.font()).family(), QString("Cantarell"));
    QVERIFY(QFontDatabase().styles("Cantarell").contains("Bold"));
    QVERIFY(QFontDatabase().bold("Cantarell", "Bold"));
#else
    QCOMPARE(support::kelvora_font_name, QString());
    QCOMPARE(messages.size(), 3);
    QCOMPARE(messages[0].first, QtWarningMsg);
    QCOMPARE(messages[0].second,
             QString("Unable to load font from  \":resources/KelvoraSans-Regular.otf\""));
    QCOMPARE(messages[1].second,
             QString("Unable to load font from  \":resources/KelvoraSans-Bold.otf\""));
    QCOMPARE(messages[2].first, QtWarningMsg);
    QCOMPARE(messages[2].second, QString("Unable to load/set the Kelvora font as default"));
    QCOMPARE(QApplication::font().family(), family_before);
#endif
}

void TestFonts::second_load_registers_nothing() {
    QString const name = support::kelvora_font_name;
    int const families = QFontDatabase().families().size();
    QList<QPair<QtMsgType, QString>> messages;
    captured = &messages;
    QtMessageHandler const previous = qInstallMessageHandler(capture);
    QCOMPARE(support::load_kelvora_fonts(), name);
    QCOMPARE(support::load_kelvora_fonts(), name);
    qInstallMessageHandler(previous);
    captured = nullptr;
    QVERIFY(messages.isEmpty());
    QCOMPARE(QFontDatabase().families().size(), families);

    QTest::ignoreMessage(QtWarningMsg, "Unable to load font from  \":resources/no-such-font.otf\"");
    QCOMPARE(support::load_font(":resources/no-such-font.otf"), QString());
}

void TestFonts::set_default_font_ignores_empty_name() {
    QFont const before = QApplication::font();
    support::set_default_font(QString());
    QCOMPARE(QApplication::font(), before);
}

KELVORA_TEST_MAIN(TestFonts)
#include "tst_fonts.moc"
