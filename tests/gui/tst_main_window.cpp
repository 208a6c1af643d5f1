#include "gui/circle.h"
#include "gui/install_button.h"
#include "gui/main_window.h"
#include "gui/progress_bar.h"

#include "message_log.h"
#include "test_main.h"

#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>

#include <memory>

namespace {

Settings::Settings default_settings() {
    Settings::Settings s;
    s.gui = Settings::make_GUI(":resources/settings_GUI.json");
    s.desired_FW_name = "Sample";
    s.desired_FW_type = Device::Type::DAVO;
    s.desired_FW_revision = "2.4.1";
    return s;
}

QList<QLabel*> labels_of(MainWindow* window) {
    return window->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
}

QLabel* label_with_text(MainWindow* window, QString const& text) {
    for (auto* label : labels_of(window)) {
        if (label->text() == text)
            return label;
    }
    return nullptr;
}

int font_lines(QLabel* label) {
    return QFontMetrics(label->font()).height() * (label->text().count('\n') + 1);
}

// Windows of the tests, deleted even when a check fails.
struct Window {
    Window(Settings::Settings const* settings, bool use_simulator, double scale = 1.0) {
        MainWindow::override_scale(scale);
        window.reset(MainWindow_factory(settings, nullptr, use_simulator));
        MainWindow::override_scale(0);
    }
    MainWindow* operator->() const { return window.get(); }
    MainWindow* get() const { return window.get(); }
    std::unique_ptr<MainWindow> window;
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void geometry_data();
    void geometry();
    void default_labels_data();
    void default_labels();
    void simulator_mode_label();
    void label_4_width_logged_once();
    void screen_scale();
    void unknown_product_type();
    void label_fonts_and_styles();
    void scaled_circles();
    void install_button_follows_download_mode();
    void window_without_button();
    void bar_covers_the_button_data();
    void bar_covers_the_button();
    void keyboard_starts_the_upgrade_data();
    void keyboard_starts_the_upgrade();
    void keys_data();
    void keys();
    void missing_status_text_stops_the_program();

private:
    Settings::Settings settings = default_settings();
};

void TestMainWindow::geometry_data() {
    QTest::addColumn<double>("scale");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("button");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QPoint>("label2");

    QTest::newRow("scale 1.0") << 1.0 << QSize(665, 517) << QRect(207, 417, 250, 40) << 50
                               << QPoint(32, 28);
    // 568 + 55 would reach beyond the 600 rows of the test screen: the window moves up until
    // its frame ends where the screen's usable area ends (offset -1).
    QTest::newRow("scale 1.1") << 1.1 << QSize(731, 568) << QRect(227, 458, 275, 44) << -1
                               << QPoint(35, 31);
    QTest::newRow("scale 1.25") << 1.25 << QSize(831, 646) << QRect(258, 521, 312, 50) << 63
                                << QPoint(40, 35);
}

void TestMainWindow::geometry() {
    QFETCH(double, scale);
    QFETCH(QSize, size);
    QFETCH(QRect, button);
    QFETCH(int, offset);

    Window window(&settings, false, scale);
    QCOMPARE(window->scale, scale);
    QCOMPARE(window->minimumSize(), size);
    QCOMPARE(window->maximumSize(), size);
    QCOMPARE(window->size(), size);

    QRect const screen = QGuiApplication::primaryScreen()->geometry();
    QRect const placed = window->geometry();
    if (offset < 0)
        QCOMPARE(window->frameGeometry().bottom(),
                 QGuiApplication::primaryScreen()->availableGeometry().bottom());
    else
        QCOMPARE(placed.top(), screen.top() + offset);
    QVERIFY2(qAbs((placed.left() - screen.left()) - (screen.right() - placed.right())) <= 1,
             "not centred horizontally");

    QVERIFY(window->install_button);
    QVERIFY(window->progress_bar);
    QCOMPARE(window->install_button->geometry(), button);
    QCOMPARE(window->progress_bar->geometry(), button);
    QVERIFY(window->progress_bar->isHidden());
    QVERIFY(window->isVisible());
    QCOMPARE(window->centralWidget(), window->central_widget);
    QCOMPARE(window->styleSheet(), QString("QMainWindow { border-image:url(\"://resources/"
                                           "background.jpg\") 0 0 0 0 stretch stretch; }"));

    QLabel* label2 = label_with_text(window.get(), settings.gui.text("2").arg("Kelvora Lx-21"));
    QVERIFY(label2);
    QTEST(label2->pos(), "label2");
}

void TestMainWindow::default_labels_data() {
    QTest::addColumn<double>("scale");
    QTest::newRow("scale 1.0") << 1.0;
    QTest::newRow("scale 1.25") << 1.25;
}

void TestMainWindow::default_labels() {
    QFETCH(double, scale);
    Window window(&settings, false, scale);
    double const factor = window->scale;
    auto scaled = [&](int x, int y) { return QPoint(qRound(x * factor), qRound(y * factor)); };

    struct Expected {
        char const* id;
        QString text;
        QPoint position;
        Qt::Alignment alignment;
        int lines;
    };
    auto const& gui = settings.gui;
    Qt::Alignment const standard = QLabel().alignment();
    std::vector<Expected> const expected = {
        {"2", gui.text("2").arg("Kelvora Lx-21"), scaled(32, 28), Qt::AlignLeft | Qt::AlignTop, 5},
        {"4", gui.text("4").arg("2.4.1"), scaled(400, 28), Qt::AlignRight | Qt::AlignTop, 4},
        {"5", "Follow the steps below\nto upgrade your product.", scaled(32, 270), standard, 2},
        {"7a", "1. Turn off the device.", scaled(32, 320), standard, 1},
        {"7b", "2. Remove the battery.", scaled(32, 350), standard, 1},
        {"9", "3. Connect USB cable.", scaled(32, 380), standard, 1},
        {"status_noDev", gui.text("status_noDev"), scaled(32, 473), standard, 3},
    };

    QList<QLabel*> const labels = labels_of(window.get());
    QCOMPARE(labels.size(), int(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        QLabel* label = labels[int(i)];
        auto const& e = expected[i];
        QCOMPARE(label->text(), e.text);
        QCOMPARE(label->pos(), e.position);
        QCOMPARE(label->alignment(), e.alignment);
        QCOMPARE(label->height(), QFontMetrics(label->font()).height() * e.lines);
        QCOMPARE(label->height(), font_lines(label));
        if (QString(e.id) == "4")
            QCOMPARE(label->width(), int(228 * factor));
        else
            QCOMPARE(label->width(), QFontMetrics(label->font()).horizontalAdvance(e.text));
        QCOMPARE(label->styleSheet(), QString("QLabel { background-color : rgba(0,0,0,0%); "
                                              "color : rgba(175,175,175,100%); }"));
        QVERIFY(label->isVisible());
    }
    QCOMPARE(window->status_label, labels.last());
    QCOMPARE(window->install_button->text(), QString("Click here to start upgrade."));
    QVERIFY(!label_with_text(window.get(), "Simulator mode"));
    QVERIFY(!label_with_text(window.get(), "Debug mode"));
}

void TestMainWindow::simulator_mode_label() {
    for (double scale : {1.0, 1.25}) {
        Window window(&settings, true, scale);
        QList<QLabel*> const labels = labels_of(window.get());
        QCOMPARE(labels.size(), 8);
        QLabel* sim = label_with_text(window.get(), "Simulator mode");
        QVERIFY(sim);
        QCOMPARE(sim, labels[7]);
        QCOMPARE(sim->pos(), scale == 1.0 ? QPoint(480, 407) : QPoint(600, 509));
        QVERIFY(!label_with_text(window.get(), "Debug mode"));
        QCOMPARE(window->status_label->text(), settings.gui.text("status_noDev"));
    }
}

void TestMainWindow::label_4_width_logged_once() {
    MessageLog log;
    Window window(&settings, false);
    QCOMPARE(log.lines().filter(QRegularExpression("^Overriding width to ")).size(), 1);
    QVERIFY(log.lines().contains("Overriding width to  228 for text: \"<span "
                                 "style=\\\"font-size:16pt\\\">\\nFirmware version:\\n<br>\\n%1"
                                 "</span>\""));
}

// Off macOS the factor is the screen's logical resolution over 96 dpi.
void TestMainWindow::screen_scale() {
    Window window(&settings, false, 0);
    double const expected = QGuiApplication::primaryScreen()->logicalDotsPerInchX() / 96.0;
    QCOMPARE(window->scale, expected);
    QCOMPARE(window->size(), QSize(int(665 * expected), int(517 * expected)));
    QCOMPARE(window->install_button->geometry(), QRect(int(207 * expected), int(417 * expected),
                                                       int(250 * expected), int(40 * expected)));
}

void TestMainWindow::unknown_product_type() {
    Settings::Settings s = settings;
    s.desired_FW_type = Device::Type(0x55);
    Window window(&s, false);
    QVERIFY(label_with_text(window.get(), s.gui.text("2").arg(QString())));

    s.desired_FW_type = Device::Type::WEXL;
    Window other(&s, false);
    // The label is rich text: the name goes in escaped, and shows as it is.
    QLabel* const named =
        label_with_text(other.get(), s.gui.text("2").arg("Kelvora T8X &amp; T8 series"));
    QVERIFY(named);
    QCOMPARE(named->textFormat(), Qt::RichText);
    QVERIFY(label_with_text(other.get(), s.gui.text("5")));
    QCOMPARE(label_with_text(other.get(), s.gui.text("5"))->textFormat(), Qt::PlainText);
}

void TestMainWindow::label_fonts_and_styles() {
    Settings::Settings s;
    s.gui = Settings::GUI(
        R"({"labels": [{"id": "status_noDev", "text": "status", "white": false},
                       {"id": "a", "text": "sized", "size": 20, "position": {"x": 0, "y": 9}},
                       {"id": "b", "text": "family", "font": "Serif", "position": {"x": 5}},
                       {"id": "c", "text": ""},
                       {"id": "4_hdr", "text": "hdr"},
                       {"id": "3", "text": "three"}]})");
    Window window(&s, false);
    QList<QLabel*> const labels = labels_of(window.get());
    QCOMPARE(labels.size(), 5);

    QCOMPARE(labels[0]->styleSheet(),
             QString("QLabel { background-color : rgba(0,0,0,0%); color : black; }"));
    QCOMPARE(labels[0]->pos(), QPoint(0, 0));

    double const dpi = QGuiApplication::primaryScreen()->physicalDotsPerInch();
    QCOMPARE(font_scale, dpi / 110.0);
    QCOMPARE(labels[1]->font().pixelSize(), int(20 * dpi / 110.0));
    QCOMPARE(labels[1]->height(), font_lines(labels[1]));
    QCOMPARE(labels[1]->pos(), QPoint(0, 0)); // x = 0 is not a position

    QCOMPARE(labels[2]->font().family(), QString("Serif"));
    QCOMPARE(labels[2]->font().pointSizeF(), window->font().pointSizeF());
    QCOMPARE(labels[2]->pos(), QPoint(0, 0));

    QCOMPARE(labels[3]->text(), QString("hdr"));
    QCOMPARE(labels[3]->width(), 228);
    QCOMPARE(labels[3]->alignment(), Qt::AlignRight | Qt::AlignTop);
    QCOMPARE(labels[4]->alignment(), Qt::AlignLeft | Qt::AlignTop);
}

void TestMainWindow::scaled_circles() {
    Settings::Settings s = settings;
    s.gui.circles = Settings::GUI(
                        R"({"circles": [{"center": {"x": 100, "y": 50}, "radius": 20,
                                         "pen_width": 4, "color": "#ffffff"}]})")
                        .circles;
    Window window(&s, false, 1.25);
    auto const circles = window->findChildren<Circle*>();
    QCOMPARE(circles.size(), 1);
    QCOMPARE(circles[0]->data.center, QPoint(125, 63));
    QCOMPARE(circles[0]->data.radius, 25);
    QCOMPARE(circles[0]->data.pen_width, 5);
    QCOMPARE(circles[0]->geometry(), QRect(100, 38, 50, 50));
    QVERIFY(circles[0]->isVisible());
    // The settings themselves stay unscaled.
    QCOMPARE(s.gui.circles[0].radius, 20);
}

void TestMainWindow::install_button_follows_download_mode() {
    MessageLog log;
    Window window(&settings, false);
    QVERIFY(!window->download_mode);
    QVERIFY(!window->install_button->isEnabled());
    QVERIFY(log.lines().contains("MainWindow downloadMode: setEnabled false"));

    QSignalSpy changed(window.get(), &MainWindow::downloadModeChanged);
    log.clear();
    window->enableDownload();
    QVERIFY(window->install_button->isEnabled());
    QCOMPARE(log.lines(),
             QStringList({"MainWindow downloadMode: setEnabled true", "Download  enabled"}));
    window->enableDownload();
    QVERIFY(window->install_button->isEnabled());
    window->disableDownload();
    QVERIFY(!window->install_button->isEnabled());
    window->toggleDownload();
    QVERIFY(window->download_mode);
    QVERIFY(window->install_button->isEnabled());
    QCOMPARE(changed.count(), 4);
}

void TestMainWindow::bar_covers_the_button_data() {
    QTest::addColumn<bool>("download_mode");
    QTest::addColumn<QString>("while_covered"); // what changes the mode under the bar
    QTest::newRow("offered, nothing changes") << true << "";
    QTest::newRow("offered, key A") << true << "A";
    QTest::newRow("not offered, enabled under the bar") << false << "enable";
}

// While the progress bar lies over the install button, neither a click, Space nor a change of
// the download mode can start anything; once the bar goes, the mode applies again.
void TestMainWindow::bar_covers_the_button() {
    QFETCH(bool, download_mode);
    QFETCH(QString, while_covered);
    Window window(&settings, false);
    window->show();
    if (download_mode)
        window->enableDownload();
    InstallButton* button = window->install_button;
    QSignalSpy clicks(button, &QAbstractButton::clicked);
    button->setFocus();

    window->progress_bar->startAutoProgress("Upgrading firmware", 100.0);
    QVERIFY(!window->progress_bar->isHidden());
    if (while_covered == "A")
        QTest::keyClick(window.get(), Qt::Key_A);
    else if (while_covered == "enable") {
        MessageLog log;
        window->enableDownload();
        // The trace tells what the button is, not what the mode asks for.
        QVERIFY(log.lines().contains("MainWindow downloadMode: setEnabled false"));
    }
    QVERIFY(!button->isEnabled());
    QCOMPARE(button->focusPolicy(), Qt::NoFocus);
    QVERIFY(!button->hasFocus());
    QTest::keyClick(button, Qt::Key_Space);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(clicks.count(), 0);

    window->progress_bar->hide();
    QCOMPARE(button->isEnabled(), window->download_mode);
    QCOMPARE(button->focusPolicy(), Qt::StrongFocus);
}

void TestMainWindow::keyboard_starts_the_upgrade_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter") << int(Qt::Key_Enter);
    QTest::newRow("Space") << int(Qt::Key_Space);
}

// The button takes the focus whenever it is offered, also when the bar gives it back, so a
// key alone starts the upgrade; Tab never reaches it while it is covered.
void TestMainWindow::keyboard_starts_the_upgrade() {
    QFETCH(int, key);
    Window window(&settings, false);
    window->show();
    QApplication::setActiveWindow(window.get());
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    InstallButton* button = window->install_button;
    QSignalSpy clicks(button, &QAbstractButton::clicked);
    QVERIFY(!button->hasFocus());

    window->enableDownload();
    QVERIFY(button->hasFocus());
    QVERIFY(button->styleSheet().contains(":focus"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QCOMPARE(clicks.count(), 1);

    window->progress_bar->startAutoProgress("Upgrading firmware", 100.0);
    QTest::keyClick(window.get(), Qt::Key_Tab);
    QVERIFY(QApplication::focusWidget() != button);
    window->progress_bar->hide();
    QVERIFY(button->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QCOMPARE(clicks.count(), 2);
}

void TestMainWindow::window_without_button() {
    MessageLog log;
    MainWindow::override_scale(1.0);
    MainWindow window(&settings, nullptr);
    MainWindow::override_scale(0);
    QVERIFY(!window.install_button);
    QVERIFY(!window.progress_bar);
    QVERIFY(!window.status_label);
    QCOMPARE(window.size(), QSize(665, 517));
    log.clear();
    window.updateDownloadMode();
    QCOMPARE(log.lines(), QStringList({"Download  disabled"}));
    window.toggleDownload();
    QCOMPARE(log.lines(), QStringList({"Download  disabled", "Download  enabled"}));
}

void TestMainWindow::keys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("finished");
    QTest::addColumn<bool>("toggles");

    QTest::newRow("A") << int(Qt::Key_A) << int(Qt::NoModifier) << 0 << true;
    QTest::newRow("Shift+A") << int(Qt::Key_A) << int(Qt::ShiftModifier) << 0 << true;
    QTest::newRow("Q") << int(Qt::Key_Q) << int(Qt::NoModifier) << 1 << false;
    QTest::newRow("Ctrl+Q") << int(Qt::Key_Q) << int(Qt::ControlModifier) << 1 << false;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier) << 1 << false;
    QTest::newRow("B") << int(Qt::Key_B) << int(Qt::NoModifier) << 0 << false;
    QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier) << 0 << false;
}

void TestMainWindow::keys() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, toggles);

    Window window(&settings, false);
    QSignalSpy finished(window.get(), &MainWindow::finished);
    MessageLog log;
    QTest::keyClick(window.get(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTEST(finished.count(), "finished");
    QCOMPARE(window->download_mode, toggles);
    QCOMPARE(window->install_button->isEnabled(), toggles);
    QVERIFY(window->isVisible());
    if (toggles) {
        QCOMPARE(log.lines(),
                 QStringList({"MainWindow downloadMode: setEnabled true", "Download  enabled"}));
        QTest::keyClick(window.get(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QVERIFY(!window->download_mode);
        QCOMPARE(log.lines().size(), 4);
        QCOMPARE(log.lines()[3], QString("Download  disabled"));
    } else {
        QVERIFY(log.lines().isEmpty());
    }
}

void TestMainWindow::missing_status_text_stops_the_program() {
    QTemporaryDir tmp;
    QTemporaryDir runtime; // Qt's own runtime folder, kept apart from the temporary directory
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", tmp.path());
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    probe.setProcessEnvironment(env);
    probe.start(KELVORA_GUI_PROBE, {"no-status-text"});
    QVERIFY(probe.waitForFinished(30000));
    QCOMPARE(probe.exitStatus(), QProcess::CrashExit);
    QByteArray const err = probe.readAllStandardError();
    QVERIFY2(err.contains("No message with id 'status_noDev' found, aborting"), err.constData());
    QVERIFY2(!err.contains("window built"), err.constData());
    // The abort skips the clean-up at exit; the working directory went before it.
    QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

KELVORA_TEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
