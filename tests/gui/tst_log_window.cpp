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
    QTest::newRow("markup is shown as rich text")
        << int(QtInfoMsg) << "<b>bold</b> text" << false << "bold text"
        << QByteArray("Info: <b>bold</b> text ((null):0, (null))\n");
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
    main.setGeometry(100, 80, 665, 517);
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
