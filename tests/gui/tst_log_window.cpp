#include "gui/log_window.h"

#include "stderr_capture.h"
#include "test_main.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>

#include <cstdio>

namespace {

void log(QtMsgType type, char const* file, int line, char const* function, char const* text) {
    QMessageLogger logger(file, line, function);
    switch (type) {
    case QtDebugMsg:
        logger.debug("%s", text);
        break;
    case QtInfoMsg:
        logger.info("%s", text);
        break;
    case QtWarningMsg:
        logger.warning("%s", text);
        break;
    case QtCriticalMsg:
        logger.critical("%s", text);
        break;
    default:
        break;
    }
}

} // namespace

class TestLogWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void lines_data();
    void lines();
    void fatal_data();
    void fatal();
    void construction();
    void toggle_visibility();
    void placement_data();
    void placement();
    void placed_on_a_small_screen();
    void return_after_cancelled_save();
    void keys_and_close();
    void clear_then_save_writes_empty_file();
    void save_replaces_content();
    void save_cancelled();
    void save_error_box_data();
    void save_error_box();
    void save_through_the_file_dialog();

private:
    QPointer<LogWindow> window;
};

void TestLogWindow::init() {
    window = new LogWindow(nullptr);
    logWindow = window;
    LogWindowDialog::ask_file_name = nullptr;
}

void TestLogWindow::cleanup() {
    qInstallMessageHandler(nullptr);
    LogWindowDialog::ask_file_name = nullptr;
    delete window;
}

void TestLogWindow::lines_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("with_source");
    QTest::addColumn<QString>("window_line");
    QTest::addColumn<QByteArray>("error_line");

    QTest::newRow("debug without source")
        << int(QtDebugMsg) << "Opening device" << false << "Debug: Opening device"
        << QByteArray("Debug: Opening device ((null):0, (null))\n");
    QTest::newRow("info") << int(QtInfoMsg) << "Download enabled" << true << "Download enabled"
                          << QByteArray("Info: Download enabled (worker.cpp:42, void run())\n");
    QTest::newRow("info without source")
        << int(QtInfoMsg) << "Starting sm_A" << false << "Starting sm_A"
        << QByteArray("Info: Starting sm_A ((null):0, (null))\n");
    QTest::newRow("warning") << int(QtWarningMsg) << "Oops" << true << "Warning: Oops"
                             << QByteArray("Warning: Oops (worker.cpp:42, void run())\n");
    QTest::newRow("critical") << int(QtCriticalMsg) << "bad" << true << "CRITICAL: bad"
                              << QByteArray("Critical: bad (worker.cpp:42, void run())\n");
    QTest::newRow("markup appears literally")
        << int(QtInfoMsg) << "<b>bold</b> text" << false << "<b>bold</b> text"
        << QByteArray("Info: <b>bold</b> text ((null):0, (null))\n");
    QTest::newRow("a status text with its markup")
        << int(QtDebugMsg) << "<span style=\"color:#000000\">\nNote: a &amp; b<br>c</span>" << false
        << "Debug: <span style=\"color:#000000\">\nNote: a &amp; b<br>c</span>"
        << QByteArray("Debug: <span style=\"color:#000000\">\nNote: a &amp; b<br>c</span> "
                      "((null):0, (null))\n");
    QTest::newRow("percent signs stay")
        << int(QtDebugMsg) << "100% %1 %s" << false << "Debug: 100% %1 %s"
        << QByteArray("Debug: 100% %1 %s ((null):0, (null))\n");
    QTest::newRow("non-ASCII") << int(QtWarningMsg) << "Gr\xc3\xbc\xc3\x9f\x65" << false
                               << QString::fromUtf8("Warning: Gr\xc3\xbc\xc3\x9f\x65")
                               << QString::fromUtf8("Warning: Gr\xc3\xbc\xc3\x9f\x65 ((null):0, "
                                                    "(null))\n")
                                      .toLocal8Bit();
}

void TestLogWindow::lines() {
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(bool, with_source);

    qInstallMessageHandler(logWindowMessageHandler);
    StderrCapture err;
    QByteArray const utf8 = text.toUtf8();
    log(QtMsgType(type), with_source ? "worker.cpp" : nullptr, with_source ? 42 : 0,
        with_source ? "void run()" : nullptr, utf8.constData());
    // Synchronous: both lines exist before the logging call has returned.
    QByteArray const printed = err.text();
    qInstallMessageHandler(nullptr);

    QTEST(window->dialog->text_edit->toPlainText(), "window_line");
    QTEST(printed, "error_line");
}

void TestLogWindow::fatal_data() {
    QTest::addColumn<QString>("mode");
    QTest::newRow("GUI thread") << "fatal";
    QTest::newRow("worker thread") << "fatal-worker";
}

void TestLogWindow::fatal() {
    QFETCH(QString, mode);
    QProcess probe;
    probe.start(KELVORA_GUI_PROBE, {mode});
    QVERIFY(probe.waitForFinished(30000));
    QCOMPARE(probe.exitStatus(), QProcess::CrashExit);
    QByteArray const err = probe.readAllStandardError();
    QVERIFY2(err.contains("Info: before the end ((null):0, (null))\n"
                          "Fatal: the end (probe.cpp:12, void end())\n"),
             err.constData());
    QCOMPARE(err.count("the end"), 2);
    QVERIFY(!err.contains("still running"));
}

void TestLogWindow::construction() {
    LogWindowDialog* dialog = window->dialog;
    QVERIFY(dialog);
    QVERIFY(!dialog->parent());
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->size(), QSize(600, 400));
    QVERIFY(dialog->windowTitle().isEmpty());
    QVERIFY(dialog->text_edit->isReadOnly());
    QVERIFY(qobject_cast<QTextBrowser*>(dialog->text_edit));
    QCOMPARE(dialog->clear_button->text(), QString("clear"));
    QCOMPARE(dialog->save_button->text(), QString("save output"));
    QCOMPARE(dialog->hide_button->text(), QString("hide log"));

    // Buttons sit at the right, in this order.
    dialog->show();
    QVERIFY(dialog->clear_button->x() < dialog->save_button->x());
    QVERIFY(dialog->save_button->x() < dialog->hide_button->x());
    QVERIFY(dialog->clear_button->x() > dialog->width() / 3);
    QTest::mouseClick(dialog->hide_button, Qt::LeftButton);
    QVERIFY(!dialog->isVisible());

    // The dialog dies with its owner.
    QPointer<LogWindowDialog> guard = dialog;
    delete window;
    QVERIFY(guard.isNull());
}

void TestLogWindow::toggle_visibility() {
    QMainWindow main;
    // Room for the log window on the right, on the offscreen platform's 800 x 600 screen.
    main.setGeometry(20, 30, 150, 120);
    main.show();
    window->dialog->text_edit->append("kept");

    window->toggle_visibility(&main);
    QVERIFY(window->dialog->isVisible());
    QCOMPARE(window->dialog->pos(),
             QPoint(main.geometry().x() + main.geometry().width() - 1, main.geometry().y()));
    QCOMPARE(window->dialog->size(), QSize(600, 400));

    window->toggle_visibility(&main);
    QVERIFY(!window->dialog->isVisible());
    QCOMPARE(window->dialog->text_edit->toPlainText(), QString("kept"));

    // Without a main window it still shows.
    window->toggle_visibility(nullptr);
    QVERIFY(window->dialog->isVisible());
}

void TestLogWindow::placement_data() {
    QTest::addColumn<QRect>("main");
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("corner");
    QSize const log(600, 400);
    // The main window is centred, 50 pixels below the top.
    QTest::newRow("1920 wide: on the right")
        << QRect(627, 50, 665, 517) << log << QRect(0, 0, 1920, 1040) << QPoint(1291, 50);
    QTest::newRow("1366 wide: moved in over the main window")
        << QRect(350, 50, 665, 517) << log << QRect(0, 0, 1366, 738) << QPoint(766, 50);
    QTest::newRow("1280 wide, with a window frame") << QRect(307, 50, 665, 517) << QSize(602, 431)
                                                    << QRect(0, 27, 1280, 693) << QPoint(678, 50);
    QTest::newRow("main window at the right edge: on the left")
        << QRect(1200, 100, 665, 517) << log << QRect(0, 0, 1920, 1040) << QPoint(601, 100);
    QTest::newRow("second screen to the right")
        << QRect(2227, 50, 665, 517) << log << QRect(1920, 0, 1280, 1024) << QPoint(2600, 50);
    QTest::newRow("main window low on the screen")
        << QRect(100, 700, 665, 300) << log << QRect(0, 0, 1920, 1040) << QPoint(764, 640);
    QTest::newRow("larger than the screen: top-left corner")
        << QRect(0, 0, 300, 200) << log << QRect(10, 20, 500, 300) << QPoint(10, 20);
}

void TestLogWindow::placement() {
    QFETCH(QRect, main);
    QFETCH(QSize, frame);
    QFETCH(QRect, available);
    QFETCH(QPoint, corner);
    QPoint const placed = LogWindow::placement(main, frame, available);
    QCOMPARE(placed, corner);
    if (frame.width() <= available.width() && frame.height() <= available.height())
        QVERIFY(available.contains(QRect(placed, frame)));
}

void TestLogWindow::placed_on_a_small_screen() {
    // The offscreen platform's screen is smaller than the main window and the log side by side.
    QMainWindow main;
    main.setGeometry(150, 50, 665, 517);
    main.show();
    window->toggle_visibility(&main);
    QVERIFY(window->dialog->isVisible());
    QRect const available = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(available.width() < main.geometry().right() + window->dialog->width());
    QVERIFY(available.contains(window->dialog->frameGeometry()));
    QCOMPARE(window->dialog->size(), QSize(600, 400));
}

void TestLogWindow::return_after_cancelled_save() {
    LogWindowDialog* dialog = window->dialog;
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    int asked = 0;
    LogWindowDialog::ask_file_name = [&asked] {
        ++asked;
        return QString();
    };
    for (QPushButton* button : {dialog->clear_button, dialog->save_button, dialog->hide_button})
        QVERIFY(!button->autoDefault() && !button->isDefault());
    dialog->save_button->setFocus();
    QTest::mouseClick(dialog->save_button, Qt::LeftButton);
    QCOMPARE(asked, 1);
    // Return and Enter go to the button that has the focus, and press nothing.
    QTest::keyClick(dialog->save_button, Qt::Key_Return);
    QTest::keyClick(dialog->save_button, Qt::Key_Enter);
    QCOMPARE(asked, 1);
    QVERIFY(dialog->isVisible());
}

void TestLogWindow::keys_and_close() {
    LogWindowDialog* dialog = window->dialog;
    dialog->text_edit->append("line");
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(dialog->isVisible());
    LogWindowDialog::ask_file_name = [] {
        qFatal("Return pressed a button");
        return QString();
    };
    dialog->save_button->setFocus();
    QTest::keyClick(dialog, Qt::Key_Return);
    QVERIFY(dialog->isVisible());

    QVERIFY(dialog->close());
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->text_edit->toPlainText(), QString("line"));
}

void TestLogWindow::clear_then_save_writes_empty_file() {
    QTemporaryDir dir;
    QString const path = dir.filePath("log.txt");
    window->dialog->text_edit->append("something");
    QTest::mouseClick(window->dialog->clear_button, Qt::LeftButton);
    QVERIFY(window->dialog->text_edit->toPlainText().isEmpty());

    LogWindowDialog::ask_file_name = [path] { return path; };
    QTest::mouseClick(window->dialog->save_button, Qt::LeftButton);
    QFile file(path);
    QVERIFY(file.exists());
    QCOMPARE(file.size(), qint64(0));
}

void TestLogWindow::save_replaces_content() {
    QTemporaryDir dir;
    QString const path = dir.filePath("log.txt");
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(1000, 'x'));
    }
    window->dialog->outputMessage(QtWarningMsg, QMessageLogContext(), "first");
    window->dialog->outputMessage(QtInfoMsg, QMessageLogContext(), "second");
    LogWindowDialog::ask_file_name = [path] { return path; };
    QTest::mouseClick(window->dialog->save_button, Qt::LeftButton);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("Warning: first\nsecond"));
    QCOMPARE(window->dialog->text_edit->toPlainText(), QString("Warning: first\nsecond"));
}

void TestLogWindow::save_cancelled() {
    QTemporaryDir dir;
    window->dialog->text_edit->append("text");
    bool asked = false;
    LogWindowDialog::ask_file_name = [&asked] {
        asked = true;
        return QString();
    };
    bool box = false;
    QTimer::singleShot(0, [&] { box = QApplication::activeModalWidget() != nullptr; });
    QTest::mouseClick(window->dialog->save_button, Qt::LeftButton);
    QCoreApplication::processEvents();
    QVERIFY(asked);
    QVERIFY(!box);
    QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

void TestLogWindow::save_error_box_data() {
    QTest::addColumn<QString>("name");
    // The tests may run as root, where missing write permission stops nothing; these paths
    // cannot be opened for writing by anyone.
    QTest::newRow("inside a folder that does not exist") << "missing/log.txt";
    QTest::newRow("a folder itself") << "";
}

void TestLogWindow::save_error_box() {
    QFETCH(QString, name);
    QTemporaryDir dir;
    QString const path = name.isEmpty() ? dir.path() : dir.filePath(name);
    window->dialog->text_edit->append("kept text");
    LogWindowDialog::ask_file_name = [path] { return path; };

    QString title, text;
    QWidget* parent = nullptr;
    int buttons = 0;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        closer.stop();
        title = box->windowTitle();
        text = box->text();
        parent = box->parentWidget();
        buttons = box->buttons().size();
        box->button(QMessageBox::Ok)->click();
    });
    closer.start(20);
    QTest::mouseClick(window->dialog->save_button, Qt::LeftButton);

    QCOMPARE(title, QString("Error"));
    QCOMPARE(text, QString("<nobr>File '%1'<br/>cannot be opened for writing.<br/><br/>The log "
                           "output could <b>not</b> be saved!</nobr>")
                       .arg(path));
    QCOMPARE(parent, window->dialog);
    QCOMPARE(buttons, 1);
    QCOMPARE(window->dialog->text_edit->toPlainText(), QString("kept text"));
}

void TestLogWindow::save_through_the_file_dialog() {
    QTemporaryDir dir;
    QString const path = dir.filePath("chosen.txt");
    window->dialog->text_edit->append("through the dialog");

    QString caption, proposed;
    QStringList filters;
    QTimer chooser;
    connect(&chooser, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        chooser.stop();
        caption = dialog->windowTitle();
        filters = dialog->nameFilters();
        proposed = dialog->directory().absolutePath();
        // Typed like a user would; selectFile() races with the dialog's own directory scan.
        auto* name_edit = dialog->findChild<QLineEdit*>("fileNameEdit");
        if (!name_edit) {
            dialog->reject();
            return;
        }
        name_edit->setText(path);
        static_cast<QDialog*>(dialog)->accept();
    });
    chooser.start(20);
    QTest::mouseClick(window->dialog->save_button, Qt::LeftButton);

    QCOMPARE(caption, QString("Save Log Output"));
    QCOMPARE(filters, QStringList({"Text Files (*.txt)", "All Files (*)"}));
    QCOMPARE(proposed, QDir::home().absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("through the dialog"));
}

KELVORA_TEST_MAIN(TestLogWindow)
#include "tst_log_window.moc"
