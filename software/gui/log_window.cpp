#include "gui/log_window.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextStream>
#include <QThread>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

QPointer<LogWindow> logWindow;

std::function<QString()> LogWindowDialog::ask_file_name;

namespace {

char const* or_null(char const* text) {
    return text ? text : "(null)";
}

void print_error_line(char const* format, QByteArray const& text,
                      QMessageLogContext const& context) {
    std::fprintf(stderr, format, text.constData(), or_null(context.file), context.line,
                 or_null(context.function));
    std::fflush(stderr);
}

char const* error_format(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "Debug: %s (%s:%u, %s)\n";
    case QtInfoMsg:
        return "Info: %s (%s:%u, %s)\n";
    case QtWarningMsg:
        return "Warning: %s (%s:%u, %s)\n";
    case QtCriticalMsg:
        return "Critical: %s (%s:%u, %s)\n";
    case QtFatalMsg:
        return "Fatal: %s (%s:%u, %s)\n";
    }
    return nullptr;
}

} // namespace

LogWindowDialog::LogWindowDialog(QWidget* parent) : QDialog(parent, Qt::WindowFlags()) {
    auto* layout = new QVBoxLayout(this);
    auto* browser = new QTextBrowser(this);
    browser->setReadOnly(true);
    text_edit = browser;
    layout->addWidget(text_edit);

    auto* buttons = new QHBoxLayout();
    buttons->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(buttons);
    buttons->addStretch(10);
    clear_button = new QPushButton("clear", this);
    save_button = new QPushButton("save output", this);
    hide_button = new QPushButton("hide log", this);
    for (QPushButton* button : {clear_button, save_button, hide_button}) {
        // Return must not press the button that last had the focus (and reopen the save
        // dialog after a cancel).
        button->setAutoDefault(false);
        button->setDefault(false);
        buttons->addWidget(button);
    }

    connect(clear_button, &QPushButton::clicked, text_edit, &QTextEdit::clear);
    connect(save_button, &QPushButton::clicked, this, &LogWindowDialog::save);
    connect(hide_button, &QPushButton::clicked, [this] { hide(); });

    resize(600, 400);
}

LogWindowDialog::~LogWindowDialog() = default;

void LogWindowDialog::append_line(QString const& line) {
    QScrollBar* const bar = text_edit->verticalScrollBar();
    bool const at_end = bar->value() == bar->maximum();
    QTextCursor cursor(text_edit->document());
    cursor.movePosition(QTextCursor::End);
    if (!text_edit->document()->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.insertText(line, QTextCharFormat());
    if (at_end)
        bar->setValue(bar->maximum());
}

void LogWindowDialog::outputMessage(QtMsgType type, QMessageLogContext const& context,
                                    QString const& msg) {
    QByteArray const local = msg.toLocal8Bit();
    switch (type) {
    case QtDebugMsg:
        append_line(tr("Debug: %1").arg(msg));
        break;
    case QtInfoMsg:
        append_line(tr("%1").arg(msg));
        break;
    case QtWarningMsg:
        append_line(tr("Warning: %1").arg(msg));
        break;
    case QtCriticalMsg:
        append_line(tr("CRITICAL: %1").arg(msg));
        break;
    case QtFatalMsg:
        append_line(tr("FATAL: %1").arg(msg));
        break;
    default:
        return;
    }
    print_error_line(error_format(type), local, context);
    if (type == QtFatalMsg)
        std::abort();
}

void LogWindowDialog::save() {
    QString const file_name =
        ask_file_name ? ask_file_name()
                      : QFileDialog::getSaveFileName(this, tr("Save Log Output"),
                                                     tr("%1/logfile.txt").arg(QDir::homePath()),
                                                     tr("Text Files (*.txt);;All Files (*)"));
    if (file_name.isEmpty())
        return;

    QFile file(file_name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QMessageBox::warning(this, tr("Error"),
                             tr("<nobr>File '%1'<br/>cannot be opened for writing.<br/><br/>"
                                "The log output could <b>not</b> be saved!</nobr>")
                                 .arg(file_name),
                             QMessageBox::Ok);
        return;
    }
    QTextStream stream(&file);
    stream << text_edit->toPlainText();
    stream.flush();
    file.close();
}

void LogWindowDialog::keyPressEvent(QKeyEvent* event) {
    // Escape must not close the log and Return must not press a button.
    event->ignore();
}

void LogWindowDialog::closeEvent(QCloseEvent* event) {
    event->accept();
}

LogWindow::LogWindow(QObject* parent) : QObject(parent), dialog(new LogWindowDialog(nullptr)) {
    connect(this, &LogWindow::sendMessage, dialog, &LogWindowDialog::outputMessage);
}

LogWindow::~LogWindow() {
    delete dialog;
}

void LogWindow::outputMessage(QtMsgType type, QMessageLogContext const& context,
                              QString const& msg) {
    emit sendMessage(type, context, msg);
}

void LogWindow::toggle_visibility(QMainWindow* mainWindow) {
    if (dialog->isVisible()) {
        dialog->hide();
        return;
    }
    dialog->show();
    if (!mainWindow)
        return;
    QScreen* screen = mainWindow->windowHandle() ? mainWindow->windowHandle()->screen() : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    QRect const available = screen ? screen->availableGeometry() : QRect();
    QPoint const corner =
        available.isEmpty()
            ? QPoint(mainWindow->geometry().right(), mainWindow->geometry().y())
            : placement(mainWindow->geometry(), dialog->frameGeometry().size(), available);
    dialog->move(corner);
}

QPoint LogWindow::placement(QRect const& main, QSize const& frame, QRect const& available) {
    auto fits = [&](QPoint corner) { return available.contains(QRect(corner, frame)); };
    QPoint const right(main.x() + main.width() - 1, main.y());
    if (fits(right))
        return right;
    QPoint const left(main.x() - frame.width() + 1, main.y());
    if (fits(left))
        return left;
    // Moved the least from the right-hand place until inside, the top-left corner winning.
    int const x =
        std::max(available.left(),
                 std::min(right.x(), available.left() + available.width() - frame.width()));
    int const y =
        std::max(available.top(),
                 std::min(right.y(), available.top() + available.height() - frame.height()));
    return {x, y};
}

void logWindowMessageHandler(QtMsgType type, QMessageLogContext const& context,
                             QString const& msg) {
    LogWindow* const window = logWindow.data();
    if (!window)
        return;
    if (QThread::currentThread() == window->thread()) {
        emit window->sendMessage(type, context, msg);
        return;
    }

    // The context only points into the caller's frame: copy what is shown.
    QByteArray const file = context.file;
    QByteArray const function = context.function;
    int const line = context.line;
    if (type == QtFatalMsg) {
        // The process aborts when this handler returns; a queued call would never run.
        QMessageLogContext const copy(context.file ? file.constData() : nullptr, line,
                                      context.function ? function.constData() : nullptr,
                                      context.category);
        print_error_line(error_format(type), msg.toLocal8Bit(), copy);
        return;
    }
    bool const has_file = context.file != nullptr;
    bool const has_function = context.function != nullptr;
    QMetaObject::invokeMethod(
        window,
        [window, type, file, line, function, has_file, has_function, msg] {
            QMessageLogContext const copy(has_file ? file.constData() : nullptr, line,
                                          has_function ? function.constData() : nullptr, nullptr);
            emit window->sendMessage(type, copy, msg);
        },
        Qt::QueuedConnection);
}
