#include "settings/settings.h"

#include <QtTest>

#include <vector>

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void embedded_document();
    void embedded_text_form();
    void documents_data();
    void documents();
    void label_object_data();
    void label_object();
    void circle_object_data();
    void circle_object();
    void lookup();
    void text_forms_data();
    void text_forms();
    void stream_operators();
    void missing_file();
    void global_starts_empty();
};

void TestSettings::embedded_document() {
    Settings::GUI const gui = Settings::make_GUI(":resources/settings_GUI.json");
    QVERIFY(gui.valid);
    QVERIFY(gui.circles.empty());

    QStringList ids;
    for (auto const& label : gui.labels)
        ids << label.id;
    QCOMPARE(ids, QStringList({"2",
                               "4",
                               "5",
                               "7a",
                               "7b",
                               "9",
                               "8b2",
                               "status_noDev",
                               "status_devConn",
                               "status_devRev",
                               "status_devRevUnknown",
                               "status_restarting",
                               "status_verifyFailed",
                               "status_checkInterrupted",
                               "status_checkInterruptedAttached",
                               "status_writeFailed",
                               "status_notBack",
                               "status_stopping",
                               "status_stopped",
                               "status_stoppedHalfWritten",
                               "status_noAccess",
                               "status_busy",
                               "status_cannotOpen",
                               "app_name",
                               "sim_mode",
                               "debug_mode",
                               "error_workDir",
                               "error_extract",
                               "error_running",
                               "error_lock",
                               "bar_upgrading",
                               "bar_verifying",
                               "bar_done",
                               "bar_differs",
                               "access_window",
                               "access_product",
                               "access_revision",
                               "access_step",
                               "access_button",
                               "access_status",
                               "access_bar",
                               "bench_error",
                               "bench_title",
                               "bench_counts",
                               "bench_arm",
                               "bench_start",
                               "bench_retry",
                               "bench_col_slot",
                               "bench_col_port",
                               "bench_col_serial",
                               "bench_col_product",
                               "bench_col_revision",
                               "bench_col_state",
                               "bench_col_progress",
                               "bench_col_verdict",
                               "bench_state_empty",
                               "bench_state_waiting",
                               "bench_state_reading",
                               "bench_state_writing",
                               "bench_state_verifying",
                               "bench_state_ended",
                               "bench_state_left",
                               "bench_progress",
                               "bench_verdict_done",
                               "bench_verdict_failed",
                               "bench_verdict_skipped",
                               "bench_failed_alert",
                               "bench_log",
                               "bench_log_none",
                               "bench_save",
                               "bench_save_failed",
                               "bench_access_table",
                               "bench_access_log",
                               "notice_title"}));

    QCOMPARE(gui.text("2"), QString("<span style=\"font-size:18pt\">\n<span style=\"color:#FFFFFF; "
                                    "font-weight:bold;\">Firmware upgrade</span>\n<br>\n<span "
                                    "style=\"font-weight:bold\">%1</span>\n</span>"));
    QCOMPARE(gui.text("4"), QString("<span style=\"font-size:16pt\">\nFirmware version:\n<br>\n%1"
                                    "</span>"));
    QCOMPARE(gui.text("5"), QString("Follow the steps below\nto upgrade your product."));
    QCOMPARE(gui.text("7a"), QString("1. Turn off the device."));
    QCOMPARE(gui.text("7b"), QString("2. Remove the battery."));
    QCOMPARE(gui.text("9"), QString("3. Connect USB cable."));
    QCOMPARE(gui.text("8b2"), QString("Click here to start upgrade."));
    QCOMPARE(gui.text("status_noDev"),
             QString("<span style=\"color:#000000; font-size:9pt\">\nNote: If there is no "
                     "connection, press and hold left knob while\nconnecting cable.</span>"));
    QCOMPARE(gui.text("status_devConn"),
             QString("<span style=\"color:#000000; font-size:9pt\">\nConnected to %1.</span>"));
    QCOMPARE(gui.text("status_devRev"), QString("<span style=\"color:#000000; font-size:9pt\">\n"
                                                "Connected to %1 with firmware version %2</span>"));
    QCOMPARE(gui.text("status_devRevUnknown"),
             QString("<span style=\"color:#000000; font-size:9pt\">\nConnected to %1 with "
                     "unknown firmware version.</span>"));
    QCOMPARE(gui.text("app_name"), QString(""));
    QCOMPARE(gui.text("sim_mode"), QString("Simulator mode"));
    QCOMPARE(gui.text("debug_mode"), QString("Debug mode"));

    struct Expected {
        char const* id;
        QPoint position;
        bool create;
    };
    std::vector<Expected> const expected = {{"2", {32, 28}, true},
                                            {"4", {400, 28}, true},
                                            {"5", {32, 270}, true},
                                            {"7a", {32, 320}, true},
                                            {"7b", {32, 350}, true},
                                            {"9", {32, 380}, true},
                                            {"8b2", {-1, -1}, false},
                                            {"status_noDev", {32, 473}, true},
                                            {"status_devConn", {-1, -1}, false},
                                            {"status_devRev", {-1, -1}, false},
                                            {"status_devRevUnknown", {-1, -1}, false},
                                            {"status_restarting", {-1, -1}, false},
                                            {"status_verifyFailed", {-1, -1}, false},
                                            {"status_writeFailed", {-1, -1}, false},
                                            {"status_notBack", {-1, -1}, false},
                                            {"status_stopping", {-1, -1}, false},
                                            {"status_stopped", {-1, -1}, false},
                                            {"status_stoppedHalfWritten", {-1, -1}, false},
                                            {"app_name", {480, 387}, false},
                                            {"sim_mode", {480, 407}, false},
                                            {"debug_mode", {480, 427}, false}};
    for (auto const& e : expected) {
        auto const* label = gui.label(e.id);
        QVERIFY2(label, e.id);
        QCOMPARE(label->position, e.position);
        QCOMPARE(label->create, e.create);
        QCOMPARE(label->size, -1);
        QCOMPARE(label->font, QString());
        QCOMPARE(label->white, true);
    }
}

void TestSettings::embedded_text_form() {
    Settings::GUI const gui = Settings::make_GUI(":resources/settings_GUI.json");
    QString const text = gui;
    QVERIFY(text.startsWith("GUI settings:\n\tLabel '2': (32,28) {} font='':-1: '<span"));
    QVERIFY(text.contains("\n\tLabel '8b2': (-1,-1) {no-create} font='':-1: "
                          "'Click here to start upgrade.'\n"));
    QVERIFY(
        text.contains("\tLabel 'debug_mode': (480,427) {no-create} font='':-1: 'Debug mode'\n"));
    QCOMPARE(text.count("\n\t"), 74);
}

// Whole documents: how many labels and circles come out of them.
void TestSettings::documents_data() {
    QTest::addColumn<QString>("json");
    QTest::addColumn<int>("labels");
    QTest::addColumn<int>("circles");

    QTest::newRow("empty text") << "" << 0 << 0;
    QTest::newRow("not JSON") << "labels: [1, 2]" << 0 << 0;
    QTest::newRow("top-level array") << R"([{"labels": [{}]}])" << 0 << 0;
    QTest::newRow("truncated") << R"({"labels": [{"id": "a"}, {"id": )" << 0 << 0;
    QTest::newRow("empty object") << "{}" << 0 << 0;
    QTest::newRow("labels not an array") << R"({"labels": {"id": "a"}, "circles": 3})" << 0 << 0;
    QTest::newRow("only circles") << R"({"circles": [{}, {"radius": 3}]})" << 0 << 2;
    QTest::newRow("non-object elements")
        << R"({"labels": [1, "x", null, [], {}], "circles": [true]})" << 5 << 1;
    QTest::newRow("other members ignored")
        << R"({"title": "x", "labels": [{"id": "a"}], "buttons": [{}]})" << 1 << 0;
    QTest::newRow("raw line feed in string") << "{\"labels\": [{\"text\": \"a\nb\"}]}" << 1 << 0;
}

void TestSettings::documents() {
    QFETCH(QString, json);
    QFETCH(int, labels);
    QFETCH(int, circles);

    Settings::GUI const gui(json);
    QVERIFY(gui.valid);
    QCOMPARE(int(gui.labels.size()), labels);
    QCOMPARE(int(gui.circles.size()), circles);
    for (auto const& label : gui.labels) {
        // Elements that are not objects read as empty objects.
        if (!json.contains("\"id\"") && !json.contains("\"text\"")) {
            QCOMPARE(label.id, QString());
            QCOMPARE(label.position, QPoint(-1, -1));
            QCOMPARE(label.create, true);
        }
    }
}

void TestSettings::label_object_data() {
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QPoint>("position");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("font");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("create");
    QTest::addColumn<bool>("white");

    QTest::newRow("empty") << "{}"
                           << "" << QPoint(-1, -1) << -1 << ""
                           << "" << true << true;
    QTest::newRow("all given")
        << R"({"id": "x1", "position": {"x": 5, "y": 7}, "size": 12, "font": "Serif",
              "create": false, "white": false, "text": "a\nb"})"
        << "x1" << QPoint(5, 7) << 12 << "Serif"
        << "a\nb" << false << false;
    QTest::newRow("only x") << R"({"position": {"x": 10}})"
                            << "" << QPoint(10, -1) << -1 << ""
                            << "" << true << true;
    QTest::newRow("only y") << R"({"position": {"y": 10}})"
                            << "" << QPoint(-1, 10) << -1 << ""
                            << "" << true << true;
    QTest::newRow("fraction and string coordinates") << R"({"position": {"x": 10.5, "y": "20"}})"
                                                     << "" << QPoint(0, 0) << -1 << ""
                                                     << "" << true << true;
    QTest::newRow("position a number") << R"({"position": 5})"
                                       << "" << QPoint(-1, -1) << -1 << ""
                                       << "" << true << true;
    QTest::newRow("position empty object") << R"({"position": {}})"
                                           << "" << QPoint(-1, -1) << -1 << ""
                                           << "" << true << true;
    QTest::newRow("whole-valued float coordinates") << R"({"position": {"x": 3.0, "y": -4}})"
                                                    << "" << QPoint(3, -4) << -1 << ""
                                                    << "" << true << true;
    QTest::newRow("coordinate beyond int") << R"({"position": {"x": 3000000000, "y": 1}})"
                                           << "" << QPoint(0, 1) << -1 << ""
                                           << "" << true << true;
    QTest::newRow("mistyped values")
        << R"({"id": 7, "size": "12", "font": [], "create": "false", "white": 1,
              "text": {"a": 1}})"
        << "" << QPoint(-1, -1) << 0 << ""
        << "" << false << false;
    QTest::newRow("create string true still false") << R"({"create": "true", "white": null})"
                                                    << "" << QPoint(-1, -1) << -1 << ""
                                                    << "" << false << false;
    QTest::newRow("booleans true") << R"({"create": true, "white": true})"
                                   << "" << QPoint(-1, -1) << -1 << ""
                                   << "" << true << true;
    QTest::newRow("fractional size") << R"({"size": 9.5})"
                                     << "" << QPoint(-1, -1) << 0 << ""
                                     << "" << true << true;
    QTest::newRow("null id") << R"({"id": null, "text": "t"})"
                             << "" << QPoint(-1, -1) << -1 << ""
                             << "t" << true << true;
}

void TestSettings::label_object() {
    QFETCH(QString, object);
    QString const json = QString(R"({"labels": [%1]})").arg(object);
    Settings::GUI const gui(json);
    QCOMPARE(int(gui.labels.size()), 1);
    auto const& label = gui.labels.front();
    QTEST(label.id, "id");
    QTEST(label.position, "position");
    QTEST(label.size, "size");
    QTEST(label.font, "font");
    QTEST(label.text, "text");
    QTEST(label.create, "create");
    QTEST(label.white, "white");
}

void TestSettings::circle_object_data() {
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPoint>("center");
    QTest::addColumn<int>("radius");
    QTest::addColumn<int>("pen_width");
    QTest::addColumn<QString>("color"); // empty: invalid

    QTest::newRow("empty") << "{}"
                           << "" << QPoint(0, 0) << 0 << 0 << "";
    QTest::newRow("all given")
        << R"({"name": "ring", "center": {"x": 100, "y": -20}, "radius": 30, "pen_width": 4,
              "color": "#80FF0010"})"
        << "ring" << QPoint(100, -20) << 30 << 4 << "#80ff0010";
    QTest::newRow("rgb and svg name") << R"({"color": "#102030", "center": {"y": 9}})"
                                      << "" << QPoint(0, 9) << 0 << 0 << "#ff102030";
    QTest::newRow("svg name") << R"({"color": "red"})"
                              << "" << QPoint(0, 0) << 0 << 0 << "#ffff0000";
    QTest::newRow("unknown colour") << R"({"color": "no such colour"})"
                                    << "" << QPoint(0, 0) << 0 << 0 << "";
    QTest::newRow("empty colour") << R"({"color": ""})"
                                  << "" << QPoint(0, 0) << 0 << 0 << "";
    QTest::newRow("mistyped")
        << R"({"name": 1, "center": [1, 2], "radius": "5", "pen_width": 2.5, "color": 255})"
        << "" << QPoint(0, 0) << 0 << 0 << "";
    QTest::newRow("center coordinates mistyped")
        << R"({"center": {"x": "1", "y": 2.25}, "radius": 7})"
        << "" << QPoint(0, 0) << 7 << 0 << "";
}

void TestSettings::circle_object() {
    QFETCH(QString, object);
    QFETCH(QString, color);
    Settings::GUI const gui(QString(R"({"circles": [%1]})").arg(object));
    QCOMPARE(int(gui.circles.size()), 1);
    auto const& circle = gui.circles.front();
    QTEST(circle.name, "name");
    QTEST(circle.center, "center");
    QTEST(circle.radius, "radius");
    QTEST(circle.pen_width, "pen_width");
    QCOMPARE(circle.color.isValid(), !color.isEmpty());
    if (!color.isEmpty())
        QCOMPARE(circle.color.name(QColor::HexArgb), color);
}

void TestSettings::lookup() {
    Settings::GUI const gui(
        R"({"labels": [{"id": "a", "text": "first"}, {"id": "b"}, {"id": "a", "text": "second"},
                       {"id": "A", "text": "upper"}]})");
    QCOMPARE(gui.text("a"), QString("first"));
    QCOMPARE(gui.label("a"), &gui.labels[0]);
    QCOMPARE(gui.text("A"), QString("upper"));
    QCOMPARE(gui.text("b"), QString());

    QTest::ignoreMessage(QtWarningMsg, "No matching label with id \"c\" found");
    QCOMPARE(gui.text("c"), QString());
    QTest::ignoreMessage(QtWarningMsg, "No matching label with id \"a \" found");
    QVERIFY(gui.label("a ") == nullptr);

    // Copies are independent.
    Settings::GUI copy = gui;
    copy.labels[0].text = "changed";
    QCOMPARE(gui.text("a"), QString("first"));
}

void TestSettings::text_forms_data() {
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("form");

    QTest::newRow("label, both flags true")
        << R"({"labels": [{"id": "x", "position": {"x": 3, "y": 4}, "size": 12, "font": "F",
                           "text": "t %1"}]})"
        << "Label 'x': (3,4) {} font='F':12: 't %1'";
    QTest::newRow("label, not white") << R"({"labels": [{"id": "x", "white": false}]})"
                                      << "Label 'x': (-1,-1) {not-white} font='':-1: ''";
    QTest::newRow("label, no create") << R"({"labels": [{"create": false, "text": "a\nb"}]})"
                                      << "Label '': (-1,-1) {no-create} font='':-1: 'a\nb'";
    QTest::newRow("label, neither")
        << R"({"labels": [{"id": "%2", "create": false, "white": false}]})"
        << "Label '%2': (-1,-1) {not-white no-create} font='':-1: ''";
    QTest::newRow("circle")
        << R"({"circles": [{"name": "c1", "center": {"x": -5, "y": 6}, "radius": 20,
                            "pen_width": 4, "color": "#0a0B0c"}]})"
        << "Circle 'c1': (-5,6), r=20, w=4, color=#ff0a0b0c";
    QTest::newRow("circle, alpha") << R"({"circles": [{"color": "#7f123456"}]})"
                                   << "Circle '': (0,0), r=0, w=0, color=#7f123456";
}

void TestSettings::text_forms() {
    QFETCH(QString, object);
    QFETCH(QString, form);
    Settings::GUI const gui(object);
    QString const element =
        gui.labels.empty() ? QString(gui.circles.front()) : QString(gui.labels.front());
    QCOMPARE(element, form);
    QCOMPARE(QString(gui), "GUI settings:\n\t" + form + "\n");
}

void TestSettings::stream_operators() {
    Settings::GUI const invalid;
    QCOMPARE(QString(invalid), QString("GUI settings:\n\tInvalid\n"));

    Settings::GUI const gui(R"({"circles": [{"name": "c"}], "labels": [{"id": "l"}]})");
    QCOMPARE(QString(gui), QString("GUI settings:\n\tCircle 'c': (0,0), r=0, w=0, color=%1\n"
                                   "\tLabel 'l': (-1,-1) {} font='':-1: ''\n")
                               .arg(QColor().name(QColor::HexArgb)));

    QString out;
    QDebug(&out) << gui.labels.front() << 1;
    QCOMPARE(out, QString("\"Label 'l': (-1,-1) {} font='':-1: ''\" 1 "));
    out.clear();
    QDebug(&out) << gui.circles.front();
    QVERIFY(out.startsWith("\"Circle 'c': (0,0), r=0, w=0, color=#"));
    out.clear();
    {
        QDebug debug(&out);
        debug.nospace() << gui << QString("x") << QString("y");
    }
    // Written unquoted; the caller's nospace state is restored afterwards.
    QCOMPARE(out, QString(gui) + "\"x\"\"y\"");
}

void TestSettings::missing_file() {
    try {
        Settings::make_GUI(":resources/no_such_settings.json");
        QFAIL("no exception");
    } catch (QString const& message) {
        QCOMPARE(message, QString("Couldn't open file: :resources/no_such_settings.json"));
    }
}

void TestSettings::global_starts_empty() {
    QVERIFY(!settings.gui.valid);
    QVERIFY(settings.gui.labels.empty());
    QVERIFY(settings.gui.circles.empty());
    QVERIFY(settings.desired_FW_name.isEmpty());
    QVERIFY(settings.desired_FW_revision.isEmpty());
    QCOMPARE(int(settings.desired_FW_type), 0);
    QCOMPARE(settings.desired_FW_type, Device::Type::invalid);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
