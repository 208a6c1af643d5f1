#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QMainWindow;
class QPoint;
class QRect;
class QSize;
class QPushButton;
class QTextEdit;

// The hidden window that shows every diagnostic message once the handler is installed,
// and prints it to standard error in its own format.
class LogWindowDialog : public QDialog {
    Q_OBJECT

public:
    explicit LogWindowDialog(QWidget* parent);
    ~LogWindowDialog() override;

    QTextEdit* text_edit = nullptr; // plain text only: every line exactly as it is saved
    QPushButton* clear_button = nullptr;
    QPushButton* save_button = nullptr;
    QPushButton* hide_button = nullptr;

    // For tests: when set, replaces the save-file dialog and gives the chosen file name
    // (empty for cancel).
    static std::function<QString()> ask_file_name;

    // Appends one line as plain text, markup and all, following the end while it is shown.
    void append_line(QString const& line);

public slots:
    void outputMessage(QtMsgType type, QMessageLogContext const& context, QString const& msg);

protected slots:
    void save();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
};

class LogWindow : public QObject {
    Q_OBJECT

public:
    explicit LogWindow(QObject* parent);
    ~LogWindow() override;

    LogWindowDialog* dialog = nullptr;

signals:
    void sendMessage(QtMsgType type, QMessageLogContext const& context, QString const& msg);

public slots:
    void outputMessage(QtMsgType type, QMessageLogContext const& context, QString const& msg);
    void toggle_visibility(QMainWindow* mainWindow);

public:
    // Where the log window's frame goes: right of the main window, starting on its last
    // column and level with its top, when all of it is then inside `available`; else on its
    // left; else moved the least so that all of it is inside (its top-left corner first
    // when it is larger than `available`).
    static QPoint placement(QRect const& main, QSize const& frame, QRect const& available);
};

// The process-wide message handler that feeds `logWindow`; drops messages while there is
// none. Messages of other threads are carried over to the log window's thread.
void logWindowMessageHandler(QtMsgType type, QMessageLogContext const& context, QString const& msg);

// Null until start-up creates the log window.
extern QPointer<LogWindow> logWindow;
