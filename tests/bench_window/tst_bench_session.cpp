// The bench window over a real station, the real bus watch and the real dfu-util, against
// virtual units that announce their plugging as udev would (udev_namespace.sh runs this test).
// The test plugs units in and presses the window's buttons as a person at the bench would, and
// reads what the window's rows say.
#include "bench_window/bench_session.h"
#include "bench_window/bench_window.h"
#include "dfu/device_operations.h"
#include "files/files.h"
#include "gui/status_alert.h"
#include "launch/device_startup.h"
#include "test_files.h"
#include "test_main.h"
#include "vusb_env.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTableView>

namespace {

// A bit that the carried image sets beyond its information block: a unit where it stays 0
// fails its write.
QString stuck_bit(QByteArray const& image) {
    for (int at = 4096; at < image.size(); ++at)
        if (uchar(image[at]) & 1)
            return QString("stuck_bit=0x%1:0").arg(0x08000000 + at, 0, 16);
    return {};
}

struct Bench {
    vusb_env::Bus bus;
    Settings::GUI gui = Settings::make_GUI(":resources/settings_GUI.json");
    BenchWindow window{gui};
    std::unique_ptr<BenchSession> session;

    // Each unit keeps its port (1-1, 1-2, ... in name order), unplugged until the test
    // plugs it in.
    bool make(QVector<QPair<QString, QStringList>> const& units) {
        for (auto const& [name, options] : units)
            if (!bus.make_unit(name, options + QStringList{"--serial", name.mid(1).repeated(4)}) ||
                !bus.unplug(name))
                return false;
        bus.export_to_process();
        return true;
    }
    void start(QByteArray const& slots_text) {
        Flash::JobSettings settings;
        settings.image_file = Files::path_of(Files::desired_FW_bin);
        settings.image = test_files::read_all(settings.image_file);
        settings.carried = DFU::desired_FW_Info();
        settings.folder = Files::external_dir.path();
        session = std::make_unique<BenchSession>(settings, Flash::parse_slots(slots_text), &window);
        session->start();
        window.show();
    }
    QString cell(int row, int column) const {
        return window.model->data(window.model->index(row, column)).toString();
    }
    bool wait_verdict(int row) const {
        return QTest::qWaitFor(
            [&] { return row < window.model->rowCount() && window.model->row(row).verdict(); },
            90000);
    }
    QString counts(int done, int failed, int skipped) const {
        return gui.text("bench_counts").arg(done).arg(failed).arg(skipped);
    }
};

} // namespace

class TestBenchSession : public QObject {
    Q_OBJECT

    QByteArray image_;

private slots:
    void initTestCase();
    void armed_bench();
    void disarmed_waits_for_start();
};

void TestBenchSession::initTestCase() {
    if (!qEnvironmentVariableIsSet("KELVORA_VUSB_UDEV"))
        QSKIP("needs udev_namespace.sh");
    QVERIFY(init_device_side());
    image_ = test_files::read_all(Files::path_of(Files::desired_FW_bin));
    QVERIFY(!stuck_bit(image_).isEmpty());
}

// Armed from the window: four slots, units plugged in one after another while the first is
// written, one of another product, one whose write fails; it is tried again from the window.
void TestBenchSession::armed_bench() {
    Bench bench;
    QVERIFY(bench.make({{"u1", {"--knob", "timing=real", "--knob", "timing_scale=0.3"}},
                        {"u2", {}},
                        {"u3", {"--type", "03"}},
                        {"u4", {"--knob", stuck_bit(image_)}}}));
    bench.start("1-1 A1\n1-2 A2\n1-3 B1\n1-4 B2\n");
    QCOMPARE(bench.window.model->rowCount(), 4);
    QCOMPARE(bench.cell(3, SlotModel::state_column), QString("No unit"));
    bench.window.arm_switch->click();
    QVERIFY(QTest::qWaitFor([&] { return bench.window.arm_switch->isChecked(); }, 10000));
    QVERIFY(!bench.window.start_button->isEnabled());

    QVERIFY(bench.bus.plug_in("u1"));
    QVERIFY(QTest::qWaitFor([&] { return bench.window.model->row(0).state == SlotRow::writing; },
                            90000));
    QCOMPARE(bench.cell(0, SlotModel::serial_column), QString("1111"));
    for (QString const name : {"u2", "u3", "u4"})
        QVERIFY(bench.bus.plug_in(name));
    for (int row = 0; row < 4; ++row)
        QVERIFY(bench.wait_verdict(row));
    QCOMPARE(bench.cell(0, SlotModel::verdict_column), QString("Done: written"));
    QCOMPARE(bench.cell(1, SlotModel::verdict_column), QString("Done: written"));
    QVERIFY(bench.cell(2, SlotModel::verdict_column).startsWith("Skipped: another product"));
    QVERIFY(bench.cell(3, SlotModel::verdict_column).startsWith("Failed: write failed"));
    QCOMPARE(bench.window.counts_label->text(), bench.counts(2, 1, 1));
    QVERIFY(bench.window.alert->accessibleName().startsWith("Slot B2: Failed: write failed"));
    QCOMPARE(bench.window.model->row(2).product.isEmpty(), false);
    QVERIFY(bench.window.model->row(3).log.size() > 1);

    // Pulled after its verdict, a row stays, greyed.
    QVERIFY(bench.bus.unplug("u2"));
    QVERIFY(QTest::qWaitFor([&] { return bench.window.model->row(1).greyed(); }, 30000));
    QCOMPARE(bench.cell(1, SlotModel::state_column), QString("Unplugged"));
    QCOMPARE(bench.cell(1, SlotModel::serial_column), QString("2222"));

    // The failed unit, mended while plugged in, is tried again from the window.
    QVERIFY(bench.window.retry_button->isEnabled());
    QVERIFY(bench.bus.set_knob("u4", "stuck_bit", ""));
    bench.window.retry_button->click();
    QVERIFY(QTest::qWaitFor(
        [&] { return bench.cell(3, SlotModel::verdict_column) == "Done: written"; }, 90000));
    QCOMPARE(bench.window.counts_label->text(), bench.counts(3, 1, 1));
    for (QString const name : {"u1", "u2", "u4"})
        QCOMPARE(bench.bus.flash(name).left(image_.size()), image_);
}

// Disarmed, units that arrive wait and nothing opens them until "Start".
void TestBenchSession::disarmed_waits_for_start() {
    Bench bench;
    QVERIFY(bench.make({{"u1", {}}, {"u2", {}}}));
    QByteArray const before = bench.bus.flash("u1");
    bench.start("");
    QVERIFY(bench.bus.plug_in("u1") && bench.bus.plug_in("u2"));
    QVERIFY(QTest::qWaitFor(
        [&] {
            return bench.window.model->rowCount() == 2 && bench.window.model->waiting_present();
        },
        30000));
    QVERIFY(QTest::qWaitFor([&] { return bench.window.start_button->isEnabled(); }, 10000));
    QCOMPARE(bench.cell(1, SlotModel::state_column), QString("Waiting"));
    QCOMPARE(bench.bus.flash("u1"), before);
    bench.window.start_button->click();
    QVERIFY(bench.wait_verdict(0) && bench.wait_verdict(1));
    QCOMPARE(bench.window.counts_label->text(), bench.counts(2, 0, 0));
    QCOMPARE(bench.bus.flash("u1").left(image_.size()), image_);
    QVERIFY(!bench.window.arm_switch->isChecked());
}

KELVORA_TEST_MAIN(TestBenchSession)
#include "tst_bench_session.moc"
