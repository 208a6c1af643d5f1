#include "gui/circle.h"
#include "gui/install_button.h"
#include "gui/progress_bar.h"

#include "test_main.h"

#include <QApplication>
#include <QImage>
#include <QTimer>

#include <climits>

namespace {

QStringList* captured = nullptr;

void capture(QtMsgType, QMessageLogContext const&, QString const& msg) {
    if (captured)
        captured->append(msg);
}

} // namespace

class TestWidgets : public QObject {
    Q_OBJECT

private slots:
    void progress_value_data();
    void progress_value();
    void progress_start_data();
    void progress_start();
    void progress_set_up();
    void progress_zero_duration_finishes();
    void progress_runs_to_the_end();
    void progress_negative_keeps_previous();
    void progress_restart_while_running();
    void progress_stopped_from_outside();
    void progress_follows_reports_data();
    void progress_follows_reports();
    void circle_geometry_data();
    void circle_geometry();
    void circle_ring_pixels();
    void circles_from_settings();
    void install_button();
    void install_click_logged_first();
};

void TestWidgets::progress_value_data() {
    QTest::addColumn<int>("span");
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<int>("duration");
    QTest::addColumn<int>("value");

    QTest::newRow("start") << 100 << qint64(0) << 100000 << 0;
    QTest::newRow("one second of 100 s") << 100 << qint64(1000) << 100000 << 1;
    QTest::newRow("just below a percent") << 100 << qint64(999) << 100000 << 0;
    QTest::newRow("one tick of 0.5 s") << 100 << qint64(50) << 500 << 10;
    QTest::newRow("half") << 100 << qint64(250) << 500 << 50;
    QTest::newRow("at the end") << 100 << qint64(500) << 500 << 100;
    QTest::newRow("1 ms duration, first tick") << 100 << qint64(50) << 1 << 5000;
    QTest::newRow("default duration tick") << 100 << qint64(100) << 10000 << 1;
    QTest::newRow("span 1") << 1 << qint64(9999) << 10000 << 0;
    QTest::newRow("long run, no overflow") << 100 << qint64(3600000) << 100000 << 3600;
}

void TestWidgets::progress_value() {
    QFETCH(int, span);
    QFETCH(qint64, elapsed);
    QFETCH(int, duration);
    QTEST(ProgressBar::value_after(span, elapsed, duration), "value");
}

void TestWidgets::progress_start_data() {
    QTest::addColumn<double>("seconds");
    QTest::addColumn<int>("duration");
    QTest::addColumn<int>("interval");

    QTest::newRow("upgrading, 100 s") << 100.0 << 100000 << 1000;
    QTest::newRow("verifying, 0.5 s: minimum interval") << 0.5 << 500 << 50;
    QTest::newRow("0 s") << 0.0 << 1 << 50;
    QTest::newRow("0.0004 s truncates to 1 ms") << 0.0004 << 1 << 50;
    QTest::newRow("exactly 5 s") << 5.0 << 5000 << 50;
    QTest::newRow("10 s") << 10.0 << 10000 << 100;
    QTest::newRow("fraction of a ms truncated") << 12.3456 << 12345 << 123;
    QTest::newRow("negative keeps the default") << -1.0 << 10000 << 100;
    QTest::newRow("negative fraction keeps the default") << -0.001 << 10000 << 100;
    QTest::newRow("huge is clamped") << 1e12 << INT_MAX << INT_MAX / 100;
}

void TestWidgets::progress_start() {
    QFETCH(double, seconds);
    QWidget parent;
    auto* bar = new ProgressBar(&parent);
    bar->hide();
    parent.show();
    bar->startAutoProgress("Upgrading firmware", seconds);
    QTEST(bar->duration, "duration");
    QTEST(bar->timer->interval(), "interval");
    QCOMPARE(bar->span, 100);
    QCOMPARE(bar->value(), bar->minimum());
    QCOMPARE(bar->format(), QString("Upgrading firmware"));
    QCOMPARE(bar->text(), QString("Upgrading firmware"));
    QVERIFY(bar->timer->isActive());
    QVERIFY(bar->isVisible());
    bar->timer->stop();
}

void TestWidgets::progress_set_up() {
    ProgressBar bar(nullptr);
    QCOMPARE(bar.minimum(), 0);
    QCOMPARE(bar.maximum(), 100);
    QCOMPARE(bar.min_interval, 50);
    QCOMPARE(bar.duration, 10000);
    QVERIFY(!bar.time.isValid());
    QVERIFY(!bar.timer->isActive());
    QCOMPARE(bar.timer->parent(), &bar);

    // A tick before any start changes nothing.
    QSignalSpy finished(&bar, &ProgressBar::finished);
    int const untouched = bar.value();
    bar.increase();
    QCOMPARE(bar.value(), untouched);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(bar.styleSheet(), QString("\nQProgressBar {\n    border: 2px solid grey;\n"
                                       "    border-radius: 5px;\n    text-align: center;\n}\n\n"
                                       "QProgressBar::chunk {\n    background-color: "
                                       "rgba(160,240,140,100%);\n    width: 5px;\n}\n"));
}

void TestWidgets::progress_zero_duration_finishes() {
    ProgressBar bar(nullptr);
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress("x", 0);
    QCOMPARE(bar.value(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
    QCOMPARE(bar.value(), 100);
    QVERIFY(!bar.timer->isActive());
    QTest::qWait(200);
    QCOMPARE(finished.count(), 1);
}

void TestWidgets::progress_runs_to_the_end() {
    ProgressBar bar(nullptr);
    QList<int> values;
    connect(&bar, &QProgressBar::valueChanged, [&](int value) { values << value; });
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress("Uploading & verifying", 0.5);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QCOMPARE(bar.value(), 100);
    QVERIFY(!values.isEmpty());
    QCOMPARE(values.last(), 100);
    QVERIFY(std::is_sorted(values.begin(), values.end()));
}

void TestWidgets::progress_negative_keeps_previous() {
    ProgressBar bar(nullptr);
    bar.startAutoProgress("first", 2.0);
    QCOMPARE(bar.duration, 2000);
    bar.startAutoProgress("second");
    QCOMPARE(bar.duration, 2000);
    QCOMPARE(bar.timer->interval(), 50);
    QCOMPARE(bar.format(), QString("second"));
    bar.startAutoProgress();
    QCOMPARE(bar.duration, 2000);
    QCOMPARE(bar.format(), QString("second"));
    bar.timer->stop();
}

void TestWidgets::progress_restart_while_running() {
    ProgressBar bar(nullptr);
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress("fast", 0.5);
    QTRY_VERIFY_WITH_TIMEOUT(bar.value() >= 20, 5000);
    bar.startAutoProgress("slow", 100);
    QCOMPARE(bar.value(), 0);
    QCOMPARE(bar.timer->interval(), 1000);
    QVERIFY(bar.timer->isActive());
    QTest::qWait(700);
    // The clock restarted: 0.7 s of 100 s is nowhere near the end.
    QVERIFY(bar.value() < 50);
    QCOMPARE(finished.count(), 0);
    bar.timer->stop();
}

void TestWidgets::progress_stopped_from_outside() {
    ProgressBar bar(nullptr);
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress("x", 0.5);
    QTRY_VERIFY_WITH_TIMEOUT(bar.value() >= 20, 5000);
    bar.timer->stop();
    int const value = bar.value();
    QVERIFY(value < 100);
    QTest::qWait(800);
    QCOMPARE(bar.value(), value);
    QCOMPARE(finished.count(), 0);
}

void TestWidgets::progress_follows_reports_data() {
    QTest::addColumn<bool>("clock_first"); // the clock fills the bar before the first report
    QTest::addColumn<QList<int>>("reports");
    QTest::addColumn<QList<int>>("values");
    QTest::newRow("rising") << false << QList<int>{0, 12, 35, 100} << QList<int>{0, 12, 35, 100};
    QTest::newRow("never back") << false << QList<int>{40, 20, 41} << QList<int>{40, 40, 41};
    QTest::newRow("out of range") << false << QList<int>{-5, 250} << QList<int>{0, 100};
    QTest::newRow("the first report replaces the clock")
        << true << QList<int>{3, 2, 50} << QList<int>{3, 3, 50};
}

void TestWidgets::progress_follows_reports() {
    QFETCH(bool, clock_first);
    QFETCH(QList<int>, reports);
    QFETCH(QList<int>, values);
    ProgressBar bar(nullptr);
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress("Upgrading firmware", 0.2);
    if (clock_first) {
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
        QCOMPARE(bar.value(), bar.maximum());
    }
    for (int i = 0; i < reports.size(); ++i) {
        bar.followProgress(reports[i]);
        QCOMPARE(bar.value(), values[i]);
        QVERIFY(!bar.timer->isActive());
    }
    // The clock no longer drives the bar, although its duration has passed.
    QTest::qWait(400);
    QCOMPARE(bar.value(), values.last());
    QCOMPARE(finished.count(), clock_first ? 1 : 0);
    QCOMPARE(bar.format(), QString("Upgrading firmware"));
    // The next start waits for reports, from the minimum, without the clock.
    bar.startAutoProgress("Uploading & verifying", 0.05);
    QCOMPARE(bar.value(), bar.minimum());
    QCOMPARE(bar.format(), QString("Uploading & verifying"));
    QVERIFY(!bar.timer->isActive());
    QTest::qWait(200);
    QCOMPARE(bar.value(), bar.minimum());
    bar.followProgress(1);
    bar.followProgress(0);
    QCOMPARE(bar.value(), 1);
}

void TestWidgets::circle_geometry_data() {
    QTest::addColumn<QPoint>("center");
    QTest::addColumn<int>("radius");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("r 20") << QPoint(100, 60) << 20 << QRect(80, 40, 40, 40);
    QTest::newRow("r 0") << QPoint(10, 10) << 0 << QRect(10, 10, 0, 0);
    QTest::newRow("near the corner") << QPoint(5, 3) << 10 << QRect(-5, -7, 20, 20);
}

void TestWidgets::circle_geometry() {
    QFETCH(QPoint, center);
    QFETCH(int, radius);
    QWidget parent;
    Circle circle({center, radius, 4, Qt::red}, &parent);
    QTEST(circle.geometry(), "geometry");
    QCOMPARE(circle.minimumSize(), circle.maximumSize());
    QCOMPARE(circle.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(circle.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(circle.backgroundRole(), QPalette::Base);

    circle.setCenter(center + QPoint(7, -3));
    QCOMPARE(circle.data.center, center + QPoint(7, -3));
    QTEST(circle.geometry().translated(-7, 3), "geometry");
}

void TestWidgets::circle_ring_pixels() {
    // Pen 4 and pen 5 both give a ring of diameter 36 centred in the 40 x 40 widget.
    for (int pen : {4, 5}) {
        Circle circle({QPoint(20, 20), 20, pen, QColor(255, 0, 0)}, nullptr);
        QImage image(40, 40, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        circle.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        auto alpha = [&](int x, int y) { return qAlpha(image.pixel(x, y)); };
        // On the stroke: the ellipse passes through (20, 2), (2, 20), (38, 20), (20, 38).
        QVERIFY2(alpha(20, 2) > 200, qPrintable(QString::number(pen)));
        QVERIFY(alpha(2, 20) > 200);
        QVERIFY(alpha(37, 20) > 200);
        QVERIFY(alpha(20, 37) > 200);
        QCOMPARE(qRed(image.pixel(20, 2)), 255);
        QCOMPARE(qGreen(image.pixel(20, 2)), 0);
        // Inside the hole and outside the square corner: nothing.
        QCOMPARE(alpha(20, 20), 0);
        QCOMPARE(alpha(20, 9), 0);
        QCOMPARE(alpha(1, 1), 0);
    }
}

void TestWidgets::circles_from_settings() {
    QWidget parent;
    Settings::GUI const gui(
        R"({"circles": [{"name": "a", "center": {"x": 50, "y": 40}, "radius": 10,
                         "pen_width": 2, "color": "#ff0000"},
                        {"name": "b", "center": {"x": 5, "y": 6}, "radius": 3}]})");
    parent.show();
    add_circles(gui.circles, &parent);
    auto const circles = parent.findChildren<Circle*>();
    QCOMPARE(circles.size(), 2);
    QCOMPARE(circles[0]->geometry(), QRect(40, 30, 20, 20));
    QCOMPARE(circles[0]->data.pen_width, 2);
    QCOMPARE(circles[0]->data.color, QColor(255, 0, 0));
    QVERIFY(circles[0]->isVisible());
    QCOMPARE(circles[1]->geometry(), QRect(2, 3, 6, 6));
    QVERIFY(!circles[1]->data.color.isValid());

    add_circles(std::vector<Circle::Data>{{QPoint(1, 2), 1, 1, Qt::blue}}, &parent);
    QCOMPARE(parent.findChildren<Circle*>().size(), 3);
}

void TestWidgets::install_button() {
    InstallButton button(nullptr);
    QCOMPARE(button.objectName(), QString("GUI_8"));
    QCOMPARE(button.minimumHeight(), 30);
    QVERIFY(!button.isFlat());
    QVERIFY(button.isEnabled());
    QVERIFY(button.text().isEmpty());
}

void TestWidgets::install_click_logged_first() {
    QStringList messages;
    captured = &messages;
    QtMessageHandler const previous = qInstallMessageHandler(capture);
    {
        InstallButton button(nullptr);
        connect(&button, &QPushButton::clicked, [&] { messages << "other action"; });
        button.show();
        QTest::mouseClick(&button, Qt::LeftButton);
    }
    qInstallMessageHandler(previous);
    captured = nullptr;
    QCOMPARE(messages, QStringList({"Install clicked", "other action"}));
}

KELVORA_TEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
