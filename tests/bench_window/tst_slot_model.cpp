#include "bench_window/slot_model.h"
#include "settings/settings.h"

#include "slot_steps.h"
#include "test_main.h"

#include <QApplication>
#include <QSignalSpy>

namespace {

QString cell(SlotModel const& model, int row, int column, int role = Qt::DisplayRole) {
    return model.data(model.index(row, column), role).toString();
}

} // namespace

class TestSlotModel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void a_unit_in_a_slot_data();
    void a_unit_in_a_slot();
    void a_bar_step_changes_one_cell();
    void rows_in_order_data();
    void rows_in_order();
    void verdict_colours_data();
    void verdict_colours();
    void counts_and_failures();
    void log_of_each_unit();

private:
    Settings::GUI gui;
    std::function<QString(QString const&)> text() {
        return [this](QString const& id) { return gui.text(id); };
    }
};

void TestSlotModel::initTestCase() {
    gui = Settings::make_GUI(":resources/settings_GUI.json");
    QVERIFY(gui.valid);
}

void TestSlotModel::a_unit_in_a_slot_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("progress");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<bool>("greyed");
    QTest::addColumn<QString>("serial");

    QStringList const found{"arrive 1-1.2", "found 1-1.2 K100 WEXL 1.0.0"};
    QTest::newRow("arrived") << QStringList{"arrive 1-1.2"} << "Waiting"
                             << "" << -1 << "" << false << "";
    QTest::newRow("read") << found << "Reading the unit"
                          << "" << -1 << "" << false << "K100";
    QTest::newRow("writing") << found + QStringList{"writing 1-1.2 40"} << "Writing"
                             << "40 %" << 40 << "" << false << "K100";
    QTest::newRow("verifying") << found + QStringList{"writing 1-1.2 100", "verifying 1-1.2 5"}
                               << "Verifying"
                               << "5 %" << 5 << "" << false << "K100";
    // The unit leaves to restart after its write and returns: still the same unit at work.
    QTest::newRow("restart") << found + QStringList{"writing 1-1.2 100", "leave 1-1.2",
                                                    "arrive 1-1.2", "verifying 1-1.2 50"}
                             << "Verifying"
                             << "50 %" << 50 << "" << false << "K100";
    QTest::newRow("done") << found + QStringList{"done 1-1.2 written"} << "Finished"
                          << "" << -1 << "Done: written" << false << "K100";
    QTest::newRow("failed") << found + QStringList{"failed 1-1.2 verify failed"} << "Finished"
                            << "" << -1 << "Failed: verify failed" << false << "K100";
    QTest::newRow("skipped, other product")
        << found + QStringList{"skipped 1-1.2 other product"} << "Finished"
        << "" << -1 << "Skipped: other product" << false << "K100";
    QTest::newRow("left after its verdict")
        << found + QStringList{"done 1-1.2 written", "leave 1-1.2"} << "Unplugged"
        << "" << -1 << "Done: written" << true << "K100";
    QTest::newRow("left, as the bench tells")
        << found + QStringList{"skipped 1-1.2 another product", "gone 1-1.2"} << "Unplugged"
        << "" << -1 << "Skipped: another product" << true << "K100";
    // Pulled during the write: greyed only once the bench gave its verdict.
    QTest::newRow("pulled while writing")
        << found + QStringList{"writing 1-1.2 30", "leave 1-1.2"} << "Writing"
        << "30 %" << 30 << "" << false << "K100";
    QTest::newRow("pulled, then its verdict")
        << found + QStringList{"writing 1-1.2 30", "leave 1-1.2", "failed 1-1.2 write failed"}
        << "Unplugged"
        << "" << -1 << "Failed: write failed" << true << "K100";
    QTest::newRow("told twice of one arrival")
        << found + QStringList{"arrive 1-1.2"} << "Reading the unit"
        << "" << -1 << "" << false << "K100";
    QTest::newRow("another unit replaces a greyed row")
        << found + QStringList{"done 1-1.2 written", "leave 1-1.2", "arrive 1-1.2"} << "Waiting"
        << "" << -1 << "" << false << "";
    QTest::newRow("another unit, read")
        << found + QStringList{"failed 1-1.2 x", "leave 1-1.2", "arrive 1-1.2",
                               "found 1-1.2 K200 WEXL 2.0.0"}
        << "Reading the unit"
        << "" << -1 << "" << false << "K200";
}

void TestSlotModel::a_unit_in_a_slot() {
    QFETCH(QStringList, steps);
    SlotModel model(text());
    for (QString const& step : steps)
        feed(model, step);
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(cell(model, 0, SlotModel::port_column), QString("1-1.2"));
    QTEST(cell(model, 0, SlotModel::state_column), "state");
    QTEST(cell(model, 0, SlotModel::progress_column), "progress");
    QTEST(model.data(model.index(0, SlotModel::progress_column), SlotModel::percent_role).toInt(),
          "percent");
    QTEST(cell(model, 0, SlotModel::verdict_column), "verdict");
    QTEST(model.row(0).greyed(), "greyed");
    QTEST(cell(model, 0, SlotModel::serial_column), "serial");
    QCOMPARE(
        model.data(model.index(0, SlotModel::serial_column), Qt::ForegroundRole).value<QColor>() ==
            QColor(Qt::gray),
        model.row(0).greyed());
}

// Sixteen bars move many times a second: a step that named a range of cells would repaint the
// whole table each time.
void TestSlotModel::a_bar_step_changes_one_cell() {
    SlotModel model(text());
    for (char const* step : {"arrive 1-1.2", "found 1-1.2 K100 WEXL 1.0.0", "writing 1-1.2 40"})
        feed(model, step);
    QSignalSpy changes(&model, &SlotModel::dataChanged);
    feed(model, "writing 1-1.2 41");
    feed(model, "writing 1-1.2 41");
    QCOMPARE(changes.size(), 1);
    QModelIndex const cell = model.index(0, SlotModel::progress_column);
    QCOMPARE(changes[0][0].toModelIndex(), cell);
    QCOMPARE(changes[0][1].toModelIndex(), cell);
}

void TestSlotModel::rows_in_order_data() {
    QTest::addColumn<QStringList>("named");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("second");

    QStringList const arrivals{"arrive 1-1.9", "arrive 1-1.3", "arrive 1-1.2"};
    QTest::newRow("no slots file")
        << QStringList{} << arrivals << QStringList{"1-1.9", "1-1.3", "1-1.2"} << "Waiting";
    QTest::newRow("named first, in the file's order")
        << QStringList{"1-1.2 A1", "1-1.3 A2"} << arrivals << QStringList{"A1", "A2", "1-1.9"}
        << "Waiting";
    QTest::newRow("named without a unit")
        << QStringList{"1-1.2 A1", "1-1.4 A3"} << QStringList{"arrive 1-1.9"}
        << QStringList{"A1", "A3", "1-1.9"} << "No unit";
    QTest::newRow("an event before the arrival")
        << QStringList{"1-1.2 A1"} << QStringList{"writing 2-1 10"} << QStringList{"A1", "2-1"}
        << "Writing";
}

void TestSlotModel::rows_in_order() {
    QFETCH(QStringList, named);
    QFETCH(QStringList, steps);
    QVector<QPair<QString, QString>> port_names;
    for (QString const& line : named)
        port_names.append({line.section(' ', 0, 0), line.section(' ', 1, 1)});
    SlotModel model(text());
    model.set_named_slots(port_names);
    for (QString const& step : steps)
        feed(model, step);
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row)
        rows << cell(model, row, SlotModel::slot_column);
    QTEST(rows, "rows");
    QTEST(cell(model, 1, SlotModel::state_column), "second");
}

void TestSlotModel::verdict_colours_data() {
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("done") << "done 1-1.2 written" << SlotModel::verdict_colour(SlotRow::done);
    QTest::newRow("failed") << "failed 1-1.2 x" << SlotModel::verdict_colour(SlotRow::failed);
    QTest::newRow("skipped") << "skipped 1-1.2 x" << SlotModel::verdict_colour(SlotRow::skipped);
}

void TestSlotModel::verdict_colours() {
    QFETCH(QString, verdict);
    QFETCH(QColor, colour);
    SlotModel model(text());
    feed(model, "arrive 1-1.2");
    feed(model, verdict);
    QCOMPARE(
        model.data(model.index(0, SlotModel::verdict_column), Qt::ForegroundRole).value<QColor>(),
        colour);
    // Three different colours, none of them the grey of a unit that left.
    QSet<QRgb> const all{SlotModel::verdict_colour(SlotRow::done).rgb(),
                         SlotModel::verdict_colour(SlotRow::failed).rgb(),
                         SlotModel::verdict_colour(SlotRow::skipped).rgb(), QColor(Qt::gray).rgb()};
    QCOMPARE(all.size(), 4);
    feed(model, "leave 1-1.2");
    QCOMPARE(
        model.data(model.index(0, SlotModel::verdict_column), Qt::ForegroundRole).value<QColor>(),
        QColor(Qt::gray));
}

void TestSlotModel::counts_and_failures() {
    SlotModel model(text());
    QSignalSpy failures(&model, &SlotModel::unit_failed);
    model.set_named_slots({{"1-1.2", "A1"}});
    for (char const* step : {"arrive 1-1.2", "arrive 1-1.3", "arrive 1-1.4", "done 1-1.3 written",
                             "skipped 1-1.4 other product", "failed 1-1.2 verify failed"})
        feed(model, step);
    QCOMPARE(model.counts().done, 1);
    QCOMPARE(model.counts().failed, 1);
    QCOMPARE(model.counts().skipped, 1);
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures[0][0].toString(), QString("Slot A1: Failed: verify failed"));
    QVERIFY(model.failed_present());
    QVERIFY(!model.waiting_present());
    // Tried again and failed again: counted again. Once it left, nothing to try again.
    feed(model, "writing 1-1.2 0");
    QVERIFY(!model.failed_present());
    feed(model, "failed 1-1.2 write failed");
    QCOMPARE(model.counts().failed, 2);
    feed(model, "leave 1-1.2");
    QVERIFY(!model.failed_present());
    feed(model, "arrive 1-1.2");
    QVERIFY(model.waiting_present());
    QCOMPARE(model.counts().failed, 2);
}

void TestSlotModel::log_of_each_unit() {
    SlotModel model(text());
    QSignalSpy appended(&model, &SlotModel::log_appended);
    feed(model, "arrive 1-1.2");
    feed(model, "arrive 1-1.3");
    model.unit_log("1-1.2", "arrived");
    model.unit_log("1-1.3", "arrived");
    model.unit_log("1-1.2", "writing");
    QCOMPARE(model.row(0).log, QStringList({"arrived", "writing"}));
    QCOMPARE(model.row(1).log, QStringList({"arrived"}));
    QCOMPARE(appended.size(), 3);
    QCOMPARE(appended[2][0].toInt(), 0);
    // A new unit starts a log of its own; one that returns during its work keeps it.
    feed(model, "writing 1-1.3 100");
    feed(model, "leave 1-1.3");
    feed(model, "arrive 1-1.3");
    QCOMPARE(model.row(1).log, QStringList({"arrived"}));
    feed(model, "leave 1-1.2");
    feed(model, "arrive 1-1.2");
    QCOMPARE(model.row(0).log, QStringList());
}

KELVORA_TEST_MAIN(TestSlotModel)
#include "tst_slot_model.moc"
