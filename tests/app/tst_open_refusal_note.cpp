// The note about a unit that dfu-util sees but cannot open, over whatever the status line
// said: a flow machine in "no unit" whose idle worker's reports are emitted by hand, and a
// real status line.
#include "app/open_refusal_note.h"
#include "control/flow_machine.h"
#include "control/worker.h"
#include "gui/status_line.h"
#include "settings/settings.h"
#include "test_main.h"

#include <QApplication>
#include <QLabel>

class TestOpenRefusalNote : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void covers_and_gives_back_data();
    void covers_and_gives_back();
};

void TestOpenRefusalNote::initTestCase() {
    settings.gui = Settings::make_GUI(":resources/settings_GUI.json");
}

void TestOpenRefusalNote::covers_and_gives_back_data() {
    QTest::addColumn<QString>("before");      // the id of the text on the status line
    QTest::addColumn<QStringList>("reasons"); // reported one after another, then none
    QTest::addColumn<QString>("shown");       // the id of the note for the last reason
    QTest::newRow("no unit, no permission")
        << "status_noDev" << QStringList{"LIBUSB_ERROR_ACCESS"} << "status_noAccess";
    QTest::newRow("a failed write stays under the note")
        << "status_writeFailed" << QStringList{"LIBUSB_ERROR_BUSY"} << "status_busy";
    QTest::newRow("a unit restarting, one reason after another")
        << "status_restarting" << QStringList{"LIBUSB_ERROR_ACCESS", "LIBUSB_ERROR_BUSY"}
        << "status_busy";
    QTest::newRow("another libusb error")
        << "status_noDev" << QStringList{"LIBUSB_ERROR_IO"} << "status_cannotOpen";
}

void TestOpenRefusalNote::covers_and_gives_back() {
    QFETCH(QString, before);
    QFETCH(QStringList, reasons);
    QFETCH(QString, shown);
    SM_A worker("a.dfu", "a.bin", "up.bin");
    SM_B machine(&worker, Device::Type::DAVO, "2.4.1");
    QLabel status;
    StatusLine line(&status, nullptr);
    QString const before_text = settings.gui.text(before).arg("Lx-21");
    QObject::connect(&machine, &SM_B::sig_UpgradeImpossible, [&] { line.set_text(before_text); });
    OpenRefusalNote note(&worker, &machine, &line, nullptr);
    machine.start();
    QTRY_VERIFY(machine.configuration().contains(machine.B1));
    QCOMPARE(status.text(), before_text);

    for (QString const& reason : reasons) {
        emit worker.sig_OpenRefused(reason);
        QCoreApplication::processEvents();
    }
    QString const expected = shown == "status_cannotOpen"
                                 ? settings.gui.text(shown).arg(reasons.last())
                                 : settings.gui.text(shown);
    QCOMPARE(status.text(), expected);

    emit worker.sig_OpenRefused(QString());
    QCoreApplication::processEvents();
    QCOMPARE(status.text(), before_text);
}

KELVORA_TEST_MAIN(TestOpenRefusalNote)
#include "tst_open_refusal_note.moc"
