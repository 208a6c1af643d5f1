#include "app/connections.h"

#include "app/desktop_connections.h"
#include "app/open_refusal_note.h"
#include "app/upgrade_record.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "control/status_text.h"
#include "gui/install_button.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/progress_bar.h"
#include "settings/settings.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QEventLoop>
#include <QLabel>
#include <QShortcut>
#include <QThread>
#include <QTimer>

namespace {

QString text(QString const& id) {
    return settings.gui.text(id);
}

QString product_name() {
    return sm_B->device_info.OTP_info.product_name();
}

QString revision_status_text() {
    return StatusText::with_revision(settings.gui, sm_B->device_info);
}

QString product_status_text(QString const& id, QString const& product) {
    return StatusText::with_product(settings.gui, id, product);
}

// Ending the worker's thread while dfu-util writes would leave the unit half-written, so a
// stop never does: it takes effect when dfu-util ends, and the window says so meanwhile. The
// event loop keeps running while it waits. A dfu-util that does not end is ended by the
// runner's own bound; its failed result then tells that the unit may be half-written.
void stop_worker() {
    static bool stopping = false;
    if (stopping || !sm_A)
        return;
    stopping = true;
    qInfo() << "Trying to stop sm_A";
    sm_A->do_stop();
    if (!sm_A->wait(1000)) {
        qWarning() << "Oops, SM_A not dead yet";
        bool const writing = sm_A->current_transfer() == SM_A::Download;
        wait_for_worker_with_window();
        if (mainWindow && mainWindow->status_label) {
            bool const cut = writing && sm_A->last_download_code() != 0;
            mainWindow->status_label->setText(
                text(cut ? "status_stoppedHalfWritten" : "status_stopped"));
            mainWindow->progress_bar->timer->stop();
            mainWindow->progress_bar->hide();
        }
    }
    stopping = false;
}

// Closing the window while dfu-util transfers first stops the worker the way Q does, with
// the window still showing what happens, and closes it once the transfer has ended.
class CloseAfterTransfer : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Close || !sm_A || !sm_A->isRunning() ||
            !sm_A->is_transferring())
            return false;
        event->ignore();
        auto* window = qobject_cast<MainWindow*>(watched);
        QTimer::singleShot(0, window, [window] {
            emit window->finished();
            window->close();
        });
        return true;
    }
};

void toggle_log_window() {
    if (logWindow && mainWindow)
        logWindow->toggle_visibility(mainWindow);
}

} // namespace

void wait_for_worker_with_window() {
    if (!sm_A || !sm_A->isRunning())
        return;
    if (mainWindow && mainWindow->status_label)
        mainWindow->status_label->setText(text("status_stopping"));
    // Events rather than a nested event loop: a termination signal or a quit request during
    // the wait ends the outer loop afterwards, and would end a nested one at once.
    // The tick wakes the wait when the thread ended before the connection was made.
    bool ended = false;
    QTimer tick;
    QObject::connect(sm_A, &QThread::finished, &tick, [&ended] { ended = true; });
    tick.start(100);
    while (!ended && sm_A->isRunning())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    sm_A->wait();
}

void add_connections(QApplication* app) {
    MainWindow* const window = mainWindow;
    ProgressBar* const bar = window->progress_bar;

    // Q or Escape stops both machines and leaves the window open.
    QObject::connect(window, &MainWindow::finished, [] {
        qInstallMessageHandler(nullptr);
        qInfo() << "Msg-handler reset";
    });
    QObject::connect(window, &MainWindow::finished, sm_B, &QStateMachine::stop);
    QObject::connect(window, &MainWindow::finished, stop_worker);
    // The run ends when the flow machine has finished.
    QObject::connect(sm_B, &QState::finished, app, &QCoreApplication::quit);
    // The install button follows whether the unit may be upgraded.
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, &MainWindow::disableDownload);
    QObject::connect(sm_B, &SM_B::sig_UpgradePossible, window, &MainWindow::enableDownload);
    // The status line names the connected unit and its revision.
    QObject::connect(sm_B, &SM_B::sig_DeviceConnected, [window] {
        window->status_label->setText(product_status_text("status_devConn", product_name()));
    });
    QObject::connect(sm_B, &SM_B::sig_DifferingRevision,
                     [window] { window->status_label->setText(revision_status_text()); });
    // No unit that can be upgraded: the note about the knob, and no bar. A unit restarting
    // after the write is not a lost unit: then the bar stays. A unit pulled during its check
    // is asked for again: that failure stays.
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, [window, bar] {
        if (sm_B->restarting()) {
            window->status_label->setText(product_status_text("status_restarting", product_name()));
            return;
        }
        if (sm_B->check_interrupted())
            return;
        window->status_label->setText(text("status_noDev"));
        bar->setFormat("This text should not be visible!");
        bar->hide();
    });
    // A unit that dfu-util saw but could not open is named on the status line.
    new OpenRefusalNote(sm_A, sm_B, window->status_label, window);
    // Each upgrade attempt is added to the record in the user's data folder.
    new UpgradeRecorder(sm_A, sm_B, UpgradeRecorder::default_file(), window);
    // A click on the install button starts the download.
    QObject::connect(window->install_button, &QAbstractButton::clicked, sm_B, &SM_B::do_download);
    // The bar runs while the firmware is written and while it is read back.
    QObject::connect(sm_B, &SM_B::sig_DoDownload,
                     [bar] { bar->startAutoProgress(text("bar_upgrading"), 100.0); });
    QObject::connect(sm_B, &SM_B::sig_UploadingVerifying,
                     [bar] { bar->startAutoProgress(text("bar_verifying"), 0.5); });
    // Once dfu-util reports its progress, the bar follows it instead of the clock.
    QObject::connect(sm_A, &SM_A::sig_FwProgress, bar, &ProgressBar::followProgress);
    // The read-back equals the image.
    QObject::connect(sm_B, &SM_B::sig_FwMatches, [window, bar] {
        bar->timer->stop();
        bar->setValue(bar->maximum());
        bar->setFormat(text("bar_done"));
        window->status_label->setText(revision_status_text());
    });
    // The read-back differs from the image: the bar goes, the button stays.
    QObject::connect(sm_B, &SM_B::sig_FwDiffers, [window, bar] {
        window->status_label->setText(revision_status_text());
        bar->timer->stop();
        bar->setValue(bar->minimum());
        bar->setFormat(text("bar_differs"));
        bar->hide();
    });
    // Every upgrade that ends without "Done" says so until the user acts or the unit goes;
    // the bar gives the button back.
    QObject::connect(sm_B->outcome, &UpgradeOutcome::sig_UpgradeFailed,
                     [window, bar](QString const& label, QString const& product) {
                         bar->timer->stop();
                         bar->setValue(bar->minimum());
                         bar->hide();
                         window->status_label->setText(product_status_text(label, product));
                     });
    add_desktop_connections(window);
    window->installEventFilter(new CloseAfterTransfer(window));
    // Ctrl+L from either window shows or hides the log window.
    auto* main_shortcut = new QShortcut(QKeySequence(Qt::CTRL + Qt::Key_L), window);
    main_shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(main_shortcut, &QShortcut::activated, toggle_log_window);
    auto* log_shortcut = new QShortcut(QKeySequence(Qt::CTRL + Qt::Key_L), logWindow->dialog);
    log_shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(log_shortcut, &QShortcut::activated, toggle_log_window);
}
