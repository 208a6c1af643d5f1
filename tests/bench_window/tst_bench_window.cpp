#include "bench_window/bench_window.h"

#include "slot_steps.h"
#include "test_main.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>

class TestBenchWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void buttons_data();
    void buttons();
    void log_of_the_selected_row();
    void keyboard_reaches_everything();
    void fits_small_screens_data();
    void fits_small_screens();

private:
    Settings::GUI gui;
};

void TestBenchWindow::initTestCase() {
    gui = Settings::make_GUI(":resources/settings_GUI.json");
    QVERIFY(gui.valid);
}

void TestBenchWindow::buttons_data() {
    QTest::addColumn<bool>("armed");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("start");
    QTest::addColumn<bool>("retry");
    QTest::newRow("nothing plugged in") << false << QStringList{} << false << false;
    QTest::newRow("disarmed, a unit waits")
        << false << QStringList{"arrive 1-1.2"} << true << false;
    QTest::newRow("armed, a unit waits") << true << QStringList{"arrive 1-1.2"} << false << false;
    QTest::newRow("a failed unit plugged in")
        << true << QStringList{"arrive 1-1.2", "failed 1-1.2 x"} << false << true;
    QTest::newRow("a failed unit that left")
        << false << QStringList{"arrive 1-1.2", "failed 1-1.2 x", "leave 1-1.2"} << false << false;
    QTest::newRow("a done unit") << false << QStringList{"arrive 1-1.2", "done 1-1.2 written"}
                                 << false << false;
}

void TestBenchWindow::buttons() {
    QFETCH(bool, armed);
    QFETCH(QStringList, steps);
    BenchWindow window(gui);
    window.show_armed(armed);
    for (QString const& step : steps)
        feed(*window.model, step);
    QTEST(window.start_button->isEnabled(), "start");
    QTEST(window.retry_button->isEnabled(), "retry");
    QCOMPARE(window.arm_switch->isChecked(), armed);

    // The buttons only ask; the bench's answer sets the switch.
    QSignalSpy arm(&window, &BenchWindow::arm_requested);
    QSignalSpy start(&window, &BenchWindow::start_requested);
    window.show();
    window.arm_switch->click();
    window.start_button->click();
    QCOMPARE(arm.size(), 1);
    QCOMPARE(arm[0][0].toBool(), !armed);
    QTEST(start.size() == 1, "start");
}

void TestBenchWindow::log_of_the_selected_row() {
    BenchWindow window(gui);
    feed(*window.model, "arrive 1-1.2");
    feed(*window.model, "arrive 1-1.3");
    window.model->unit_log("1-1.2", "arrived");
    window.model->unit_log("1-1.3", "arrived");
    QVERIFY(!window.save_button->isEnabled());
    window.table->setCurrentIndex(window.model->index(1, 0));
    QCOMPARE(window.log_view->toPlainText(), QString("arrived"));
    QCOMPARE(window.log_title->text(), gui.text("bench_log").arg("1-1.3"));
    window.model->unit_log("1-1.2", "writing");
    window.model->unit_log("1-1.3", "done: written");
    QCOMPARE(window.log_view->toPlainText(), QString("arrived\ndone: written"));

    QTemporaryDir dir;
    QString const file = dir.filePath("slot.log");
    BenchWindow::ask_file_name = [file] { return file; };
    window.save_button->click();
    QFile saved(file);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("arrived\ndone: written\n"));
    // A file that cannot be written is said, not passed over.
    QString const unwritable = dir.filePath("none/slot.log");
    BenchWindow::ask_file_name = [unwritable] { return unwritable; };
    window.save_button->click();
    BenchWindow::ask_file_name = nullptr;
    QCOMPARE(window.alert_line->text(), gui.text("bench_save_failed").arg(unwritable));
}

void TestBenchWindow::keyboard_reaches_everything() {
    BenchWindow window(gui);
    feed(*window.model, "arrive 1-1.2");
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QSet<QWidget*> reached;
    window.arm_switch->setFocus();
    for (int i = 0; i < 8; ++i) {
        reached << QApplication::focusWidget();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    for (QWidget* const widget : std::initializer_list<QWidget*>{
             window.arm_switch, window.start_button, window.table, window.log_view})
        QVERIFY2(reached.contains(widget), qPrintable(widget->objectName()));
    QSignalSpy arm(&window, &BenchWindow::arm_requested);
    window.arm_switch->setFocus();
    QTest::keyClick(window.arm_switch, Qt::Key_Space);
    QCOMPARE(arm.size(), 1);
}

void TestBenchWindow::fits_small_screens_data() {
    QTest::addColumn<QSize>("screen");
    QTest::newRow("1366x768 at scale 1") << QSize(1366, 768);
    QTest::newRow("1920x1080 at scale 2") << QSize(960, 540);
}

// Every part keeps the size it needs inside the screen's logical pixels, with room for the
// window's frame and a panel.
void TestBenchWindow::fits_small_screens() {
    QFETCH(QSize, screen);
    BenchWindow window(gui);
    window.model->set_named_slots({{"1-1.2", "A1"}, {"1-1.3", "A2"}, {"1-1.4", "A3"}});
    QSize const needed = window.minimumSizeHint();
    QVERIFY2(needed.width() <= screen.width() - 20 && needed.height() <= screen.height() - 80,
             qPrintable(QString("%1x%2").arg(needed.width()).arg(needed.height())));
}

KELVORA_TEST_MAIN(TestBenchWindow)
#include "tst_bench_window.moc"
