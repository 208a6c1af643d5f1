#include "gui/log_window.h"

#include "stderr_capture.h"
#include "test_main.h"

#include <QApplication>
#include <QTextEdit>

#include <thread>

// Messages of other threads. Plain threads here: their join is visible to ThreadSanitizer,
// unlike QThread::wait().
class TestLogThreads : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void worker_thread_messages_in_order();
    void dropped_without_log_window();

private:
    QPointer<LogWindow> window;
};

void TestLogThreads::init() {
    window = new LogWindow(nullptr);
    logWindow = window;
}

void TestLogThreads::cleanup() {
    qInstallMessageHandler(nullptr);
    delete window;
}

void TestLogThreads::worker_thread_messages_in_order() {
    qInstallMessageHandler(logWindowMessageHandler);
    StderrCapture err;
    QMessageLogger(nullptr, 0, nullptr).info("GUI first");
    std::thread worker([] {
        for (int i = 0; i < 50; ++i)
            QMessageLogger("worker.cpp", i, "void SM_A::run()").debug("worker %d", i);
        QMessageLogger(nullptr, 0, nullptr).warning("worker done");
    });
    worker.join();
    QTextEdit* const text = window->dialog->text_edit;
    QTRY_COMPARE_WITH_TIMEOUT(text->toPlainText().count('\n'), 51, 10000);
    QByteArray const printed = err.text();
    qInstallMessageHandler(nullptr);

    QStringList expected_window{"GUI first"};
    QByteArray expected_error = "Info: GUI first ((null):0, (null))\n";
    for (int i = 0; i < 50; ++i) {
        expected_window << QString("Debug: worker %1").arg(i);
        expected_error +=
            QString("Debug: worker %1 (worker.cpp:%1, void SM_A::run())\n").arg(i).toLatin1();
    }
    expected_window << "Warning: worker done";
    expected_error += "Warning: worker done ((null):0, (null))\n";
    QCOMPARE(text->toPlainText(), expected_window.join('\n'));
    QCOMPARE(printed, expected_error);
}

void TestLogThreads::dropped_without_log_window() {
    qInstallMessageHandler(logWindowMessageHandler);
    delete window;
    QVERIFY(logWindow.isNull());
    StderrCapture err;
    qWarning("nobody listens");
    std::thread worker([] { qWarning("nobody listens either"); });
    worker.join();
    QCoreApplication::processEvents();
    QByteArray const printed = err.text();
    qInstallMessageHandler(nullptr);
    QCOMPARE(printed, QByteArray());
}

KELVORA_TEST_MAIN(TestLogThreads)
#include "tst_log_threads.moc"
