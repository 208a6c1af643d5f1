#include "device/product_table.h"
#include "gui/fonts.h"
#include "gui/install_button.h"
#include "gui/main_window.h"
#include "gui/progress_bar.h"
#include "settings/translations.h"

#include "test_main.h"

#include <QApplication>
#include <QDir>
#include <QLabel>

#include <memory>

namespace {

// Overlays shipped beside the English settings file, by language.
QStringList shipped_languages() {
    QStringList languages;
    for (QString const& name : QDir(":/resources").entryList({"settings_GUI.*.json"}))
        languages << name.section('.', 1, 1);
    return languages;
}

// The size a text takes in the label that shows it: laid out in the label's own font and
// text format, as the window lays it out.
QSize needed(QString const& text, QLabel* label) {
    QString const before = label->text();
    label->setText(text);
    QSize const size = label->sizeHint();
    label->setText(before);
    return size;
}

// A text that no label shows (the button's, the bar's) in its widget's font.
QSize needed(QString const& text, QFont const& font) {
    return QFontMetrics(font).boundingRect(QRect(), Qt::TextExpandTabs, text).size();
}

// The area, in the window's own coordinates at scale 1, that the window gives each text the
// user sees: the labels up to their neighbours, the button's and the bar's insides, the
// band of the status line. Texts not listed are not shown in the window.
QRect area_of(QString const& id) {
    QRect const button(207, 417, 250, 40);
    if (id == "2")
        return QRect(32, 28, 400 - 32, 270 - 28);
    if (id == "4")
        return QRect(400, 28, 228, 270 - 28);
    if (id == "5")
        return QRect(32, 270, 480 - 32, 50);
    if (id == "7a" || id == "7b" || id == "9")
        return QRect(32, 0, 480 - 32, 30); // the height of one step; y comes from the label
    if (id == "8b2")
        return button.adjusted(6, 4, -6, -4);
    if (id.startsWith("bar_"))
        return button.adjusted(2, 2, -2, -2);
    if (id == "sim_mode" || id == "debug_mode" || id == "app_name")
        return QRect(480, 0, 665 - 480 - 4, 20);
    if (id.startsWith("status_"))
        return QRect(32, 473, 665 - 32, 517 - 473);
    return QRect();
}

// The texts with their placeholders filled by the longest value they may show.
QStringList filled(QString const& id, QString const& text) {
    QStringList out;
    for (auto const& product : Device::products) {
        if (id == "2")
            out << text.arg(product.name_full);
        else if (id == "4")
            out << text.arg("12.34.567");
        else if (id == "status_cannotOpen")
            out << text.arg("LIBUSB_ERROR_NOT_SUPPORTED");
        else if (id == "status_devRev")
            out << text.arg(product.name, "12.34.567");
        else if (text.contains("%1"))
            out << text.arg(product.name);
        else
            return {text};
    }
    return out;
}

} // namespace

class TestTranslations : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void languages_data();
    void languages();
    void missing_label_falls_back_to_english();
    void every_label_translated_data();
    void every_label_translated();
    void texts_fit_data();
    void texts_fit();
};

void TestTranslations::initTestCase() {
    support::setup_fonts();
    QVERIFY(shipped_languages().contains("de"));
}

void TestTranslations::languages_data() {
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QStringList>("languages");
    QTest::newRow("nothing set") << QStringList() << QStringList();
    QTest::newRow("LANG") << QStringList({"LANG=de_DE.UTF-8"}) << QStringList({"de_DE", "de"});
    QTest::newRow("modifier") << QStringList({"LANG=de_AT@euro"}) << QStringList({"de_AT", "de"});
    QTest::newRow("LC_MESSAGES over LANG")
        << QStringList({"LANG=en_US.UTF-8", "LC_MESSAGES=de_CH.UTF-8"})
        << QStringList({"de_CH", "de"});
    QTest::newRow("LC_ALL over LC_MESSAGES")
        << QStringList({"LC_ALL=en_GB.UTF-8", "LC_MESSAGES=de_DE.UTF-8"}) << QStringList();
    QTest::newRow("LANGUAGE list first") << QStringList({"LANG=de_DE.UTF-8", "LANGUAGE=fr:nl_BE"})
                                         << QStringList({"fr", "nl_BE", "nl", "de_DE", "de"});
    QTest::newRow("LANGUAGE ignored in the C locale")
        << QStringList({"LANG=C", "LANGUAGE=de"}) << QStringList();
    QTest::newRow("POSIX") << QStringList({"LC_ALL=POSIX", "LANG=de_DE"}) << QStringList();
    QTest::newRow("C.UTF-8") << QStringList({"LANG=C.UTF-8", "LANGUAGE=de"}) << QStringList();
    QTest::newRow("English first in LANGUAGE")
        << QStringList({"LANG=de_DE.UTF-8", "LANGUAGE=en:de"}) << QStringList();
    QTest::newRow("English locale, LANGUAGE German")
        << QStringList({"LANG=en_US.UTF-8", "LANGUAGE=de"}) << QStringList({"de"});
}

void TestTranslations::languages() {
    QFETCH(QStringList, environment);
    QProcessEnvironment env;
    for (QString const& pair : environment)
        env.insert(pair.section('=', 0, 0), pair.section('=', 1));
    QTEST(Settings::ui_languages(env), "languages");
}

void TestTranslations::missing_label_falls_back_to_english() {
    Settings::GUI gui = Settings::make_GUI(":resources/settings_GUI.json");
    QString const english = gui.text("7b");
    int const replaced = Settings::apply_overlay(
        gui, R"({ "labels": [ { "id": "7a", "text": "1. Aus." }, { "id": "nonesuch",
                  "text": "x" }, { "id": "9", "text": 3 } ] })");
    QCOMPARE(replaced, 1);
    QCOMPARE(gui.text("7a"), QString("1. Aus."));
    QCOMPARE(gui.text("7b"), english);
    QCOMPARE(gui.label("7a")->position, QPoint(32, 320));

    QString used;
    Settings::GUI const german =
        Settings::make_localized_GUI(":resources/settings_GUI.json", {"xx", "de_DE", "de"}, &used);
    QCOMPARE(used, QString("de"));
    QCOMPARE(german.text("sim_mode"), QString("Simulatormodus"));
}

void TestTranslations::every_label_translated_data() {
    QTest::addColumn<QString>("language");
    for (QString const& language : shipped_languages())
        QTest::newRow(qPrintable(language)) << language;
}

// A label of the English file that a shipped language leaves out would show in English.
void TestTranslations::every_label_translated() {
    QFETCH(QString, language);
    Settings::GUI const english = Settings::make_GUI(":resources/settings_GUI.json");
    QJsonObject const overlay =
        QJsonDocument::fromJson(
            Settings::load_settings_file(
                Settings::overlay_path(":resources/settings_GUI.json", language))
                .toUtf8())
            .object();
    QVERIFY(!overlay.isEmpty());
    QSet<QString> translated;
    for (QJsonValue const& entry : overlay.value("labels").toArray()) {
        if (entry.toObject().value("text").isString())
            translated << entry.toObject().value("id").toString();
    }
    QStringList missing;
    for (auto const& label : english.labels) {
        if (!translated.contains(label.id))
            missing << label.id;
    }
    QVERIFY2(missing.isEmpty(), qPrintable("no text for: " + missing.join(", ")));
}

void TestTranslations::texts_fit_data() {
    QTest::addColumn<QString>("language");
    for (QString const& language : shipped_languages())
        QTest::newRow(qPrintable(language)) << language;
}

// Every text of the window, in the window's own fonts at scale 1, lies inside the area that
// the window gives it.
void TestTranslations::texts_fit() {
    QFETCH(QString, language);
    Settings::Settings settings;
    settings.gui = Settings::make_localized_GUI(
        ":resources/settings_GUI.json", language.isEmpty() ? QStringList() : QStringList{language});
    settings.desired_FW_type = Device::Type::WEXL;
    settings.desired_FW_revision = "12.34.567";
    MainWindow::override_scale(1.0);
    std::unique_ptr<MainWindow> window(MainWindow_factory(&settings, nullptr, true));
    MainWindow::override_scale(0);

    QStringList too_big;
    for (auto const& label : settings.gui.labels) {
        QRect area = area_of(label.id);
        if (area.isNull() || label.text.isEmpty())
            continue;
        QLabel* shown = window->findChild<QLabel*>("label_" + label.id);
        if (label.id.startsWith("status_"))
            shown = window->status_label;
        if (area.y() == 0)
            area.moveTop(shown ? shown->y() : label.position.y());
        QFont const font =
            label.id == "8b2" ? window->install_button->font() : window->progress_bar->font();
        for (QString const& text : filled(label.id, label.text)) {
            QSize const size = shown ? needed(text, shown) : needed(text, font);
            QRect const at(area.topLeft(), size);
            if (!area.contains(at))
                too_big << QString("%1 needs %2x%3 in %4x%5")
                               .arg(label.id)
                               .arg(size.width())
                               .arg(size.height())
                               .arg(area.width())
                               .arg(area.height());
        }
    }
    too_big.removeDuplicates();
    QVERIFY2(too_big.isEmpty(), qPrintable(too_big.join("; ")));
}

KELVORA_TEST_MAIN(TestTranslations)
#include "tst_translations.moc"
