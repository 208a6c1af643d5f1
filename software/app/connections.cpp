#include "app/connections.h"

#include "app/desktop_connections.h"
#include "app/open_refusal_note.h"
#include "control/flow_machine.h"
#include "control/upgrade_record.h"
#include "control/worker.h"
#include "files/files.h"
#include "files/support_misc.h"
#include "gui/install_button.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/outcome_label.h"
#include "gui/progress_bar.h"
#include "gui/status_line.h"
#include "settings/settings.h"
#include "settings/status_text.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
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

// The window's status line; owned by the window.
QPointer<StatusLine> status_line;

// A stop waits for the worker's last transfer: the window is painted meanwhile, and a
// further close, Q or Escape changes nothing.
bool stop_waiting = false;
// The window was closed while a stop waited: it closes once the stop has ended.
bool close_wanted = false;
// What the worker reported as its last act: its stop cut a write.
bool write_cut = false;
// The product whose check was cut short while the unit stayed attached; empty otherwise.
QString check_cut_of;

void hide_bar(ProgressBar* bar) {
    bar->timer->stop();
    bar->setValue(bar->minimum());
    bar->hide();
}

// Ending the worker's thread while dfu-util writes would leave the unit half-written, so a
// stop never does: it takes effect when dfu-util ends, and the window says so meanwhile. The
// event loop keeps running while it waits. A dfu-util that does not end is ended by the
// runner's own bound; the worker then reports that the unit may be half-written.
void stop_worker() {
    if (!sm_A)
        return;
    qInfo() << "Trying to stop sm_A";
    sm_A->do_stop();
    if (!sm_A->wait(1000)) {
        qWarning() << "Oops, SM_A not dead yet";
        stop_waiting = true;
        wait_for_worker_with_window();
        stop_waiting = false;
    }
    // The worker's last reports are queued before its thread ended: take them in now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
}

// Q, Escape or a close: both machines stop, and the window stays open until its close. From
// then on nothing is offered; the status line says that the tool stopped and how, and the
// bar goes, unless it shows "Done".
void stop_all() {
    if (stop_waiting)
        return;
    qInstallMessageHandler(nullptr);
    qInfo() << "Msg-handler reset";
    bool const first = sm_A && !sm_A->is_stopping();
    bool const done_shown = sm_B->configuration().contains(sm_B->B6);
    if (mainWindow)
        mainWindow->endDownloads();
    sm_B->stop();
    stop_worker();
    if (first && mainWindow && status_line) {
        status_line->clear_note();
        status_line->set_text(text(write_cut ? "status_stoppedHalfWritten" : "status_stopped"));
        if (!done_shown)
            hide_bar(mainWindow->progress_bar);
    }
    if (close_wanted && mainWindow)
        mainWindow->close();
}

// Closing the window while dfu-util transfers first stops the worker the way Q does, with
// the window still showing what happens, and closes it once the transfer has ended.
class CloseAfterTransfer : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Close)
            return false;
        if (stop_waiting) {
            event->ignore();
            close_wanted = true;
            return true;
        }
        if (!sm_A || !sm_A->isRunning() || !sm_A->is_transferring())
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
    if (mainWindow && status_line)
        status_line->set_note(text("status_stopping"));
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
    StatusLine* const line = new StatusLine(window->status_label, window);
    status_line = line;
    UpgradeWatch* const watch = sm_B->watch;

    // Q or Escape stops both machines and leaves the window open.
    QObject::connect(window, &MainWindow::finished, stop_all);
    QObject::connect(sm_A, &SM_A::sig_Stopped, [](bool cut) { write_cut = cut; });
    // The run ends when the flow machine has finished.
    QObject::connect(sm_B, &QState::finished, app, &QCoreApplication::quit);
    // The install button follows whether the unit may be upgraded.
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, &MainWindow::disableDownload);
    QObject::connect(sm_B, &SM_B::sig_UpgradePossible, window, &MainWindow::enableDownload);
    // The status line names the connected unit and its revision.
    QObject::connect(sm_B, &SM_B::sig_DeviceConnected, line, [line] {
        line->set_text(product_status_text("status_devConn", product_name()));
    });
    QObject::connect(sm_B, &SM_B::sig_DifferingRevision, line,
                     [line] { line->set_text(revision_status_text()); });
    // No unit, and no upgrade that the window still follows: the note about the knob, and
    // no bar.
    QObject::connect(watch, &UpgradeWatch::idle, line, [line, bar] {
        line->set_text(text("status_noDev"));
        bar->setFormat("This text should not be visible!");
        bar->hide();
    });
    // A unit restarting after its write is not a lost unit: the bar stays.
    QObject::connect(watch, &UpgradeWatch::restarting, line, [line](QString const& product) {
        line->set_text(product_status_text("status_restarting", product));
    });
    // A unit that dfu-util saw but could not open is named on the status line.
    new OpenRefusalNote(sm_A, sm_B, line, window);
    // Each upgrade attempt is added to the record in the user's data folder.
    new UpgradeRecorder(watch, UpgradeRecorder::default_file(),
                        UpgradeAttempt::sha256_of(
                            support_misc::read_binary_file(Files::path_of(Files::desired_FW_bin))),
                        window);
    // A click on the install button starts the download.
    QObject::connect(window->install_button, &QAbstractButton::clicked, sm_B, &SM_B::do_download);
    // The bar runs while the firmware is written and while it is read back.
    QObject::connect(sm_B, &SM_B::sig_DoDownload, [bar] {
        if (!sm_A->is_stopping())
            bar->startAutoProgress(text("bar_upgrading"), 100.0);
    });
    QObject::connect(sm_B, &SM_B::sig_UploadingVerifying,
                     [bar] { bar->startAutoProgress(text("bar_verifying"), 0.5); });
    // Once dfu-util reports its progress, the bar follows it instead of the clock.
    QObject::connect(sm_A, &SM_A::sig_FwProgress, bar, &ProgressBar::followProgress);
    // The read-back equals the image.
    QObject::connect(sm_B, &SM_B::sig_FwMatches, line, [line, bar] {
        bar->timer->stop();
        bar->setValue(bar->maximum());
        bar->setFormat(text("bar_done"));
        line->set_text(revision_status_text());
    });
    // The read-back differs from the image: the bar goes, the button stays.
    QObject::connect(sm_B, &SM_B::sig_FwDiffers, line, [line, bar] {
        line->set_text(revision_status_text());
        bar->timer->stop();
        bar->setValue(bar->minimum());
        bar->setFormat(text("bar_differs"));
        bar->hide();
    });
    // Every upgrade that ends without "Done" says so until the user acts or the unit goes;
    // the bar gives the button back. An upgrade that another unit ended leaves the window to
    // that unit. After a stop, the stop tells how the window ends.
    QObject::connect(watch, &UpgradeWatch::finished, line, [line, bar](UpgradeResult const& r) {
        if (sm_A->is_stopping() || r.outcome == Outcome::done)
            return;
        hide_bar(bar);
        QString label = outcome_label(r);
        if (label.isEmpty())
            return;
        qInfo() << "SM_B: upgrade failed:" << label;
        // The unit whose check was cut short is still attached: it is read again only once
        // it has been disconnected.
        if (r.outcome == Outcome::check_interrupted) {
            check_cut_of = r.product;
            label = "status_checkInterruptedAttached";
        }
        line->set_text(product_status_text(label, r.product));
    });
    // Once that unit is gone (the button went first), it is checked when connected again.
    QObject::connect(sm_B->B1, &QState::entered, line, [line] {
        if (!check_cut_of.isEmpty())
            line->set_text(product_status_text("status_checkInterrupted", check_cut_of));
        check_cut_of.clear();
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
