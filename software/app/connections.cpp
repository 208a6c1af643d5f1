#include "app/connections.h"

#include "app/open_refusal_note.h"
#include "app/upgrade_record.h"
#include "control/sm_a.h"
#include "control/sm_b.h"
#include "gui/install_button.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/progress_bar.h"
#include "settings/settings.h"

#include <QApplication>
#include <QDebug>
#include <QLabel>
#include <QShortcut>
#include <QTimer>

namespace {

QString text(QString const& id) {
    return settings.gui.text(id);
}

QString product_name() {
    return sm_B->device_info.OTP_info.product_name();
}

QString revision_status_text() {
    QString const& revision = sm_B->device_info.FW_revision;
    if (!revision.isEmpty())
        return text("status_devRev").arg(product_name()).arg(revision);
    return text("status_devRevUnknown").arg(product_name());
}

void stop_worker() {
    qInfo() << "Trying to stop sm_A";
    sm_A->do_stop();
    if (!sm_A->wait(1000)) {
        qWarning() << "Oops, SM_A not dead yet";
        sm_A->terminate();
        sm_A->wait();
    }
}

void toggle_log_window() {
    if (logWindow && mainWindow)
        logWindow->toggle_visibility(mainWindow);
}

} // namespace

void add_connections(QApplication* app) {
    MainWindow* const window = mainWindow;
    ProgressBar* const bar = window->progress_bar;

    // 1-3: Q or Escape stops both machines and leaves the window open.
    QObject::connect(window, &MainWindow::finished, [] {
        qInstallMessageHandler(nullptr);
        qInfo() << "Msg-handler reset";
    });
    QObject::connect(window, &MainWindow::finished, sm_B, &QStateMachine::stop);
    QObject::connect(window, &MainWindow::finished, stop_worker);
    // 4
    QObject::connect(sm_B, &QState::finished, app, &QCoreApplication::quit);
    // 5, 6
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, &MainWindow::disableDownload);
    QObject::connect(sm_B, &SM_B::sig_UpgradePossible, window, &MainWindow::enableDownload);
    // 7, 8
    QObject::connect(sm_B, &SM_B::sig_DeviceConnected, [window] {
        window->status_label->setText(text("status_devConn").arg(product_name()));
    });
    QObject::connect(sm_B, &SM_B::sig_DifferingRevision,
                     [window] { window->status_label->setText(revision_status_text()); });
    // 9
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, [window, bar] {
        window->status_label->setText(text("status_noDev"));
        bar->setFormat("This text should not be visible!");
        bar->hide();
    });
    // A unit that dfu-util saw but could not open is named on the status line.
    new OpenRefusalNote(sm_A, sm_B, window->status_label, window);
    // Each upgrade attempt is added to the record in the user's data folder.
    new UpgradeRecorder(sm_A, sm_B, UpgradeRecorder::default_file(), window);
    // 10
    QObject::connect(window->install_button, &QAbstractButton::clicked, sm_B, &SM_B::do_download);
    // 11, 12
    QObject::connect(sm_B, &SM_B::sig_DoDownload,
                     [bar] { bar->startAutoProgress("Upgrading firmware", 100.0); });
    QObject::connect(sm_B, &SM_B::sig_UploadingVerifying,
                     [bar] { bar->startAutoProgress("Uploading & verifying", 0.5); });
    // Once dfu-util reports its progress, the bar follows it instead of the clock.
    QObject::connect(sm_A, &SM_A::sig_FwProgress, bar, &ProgressBar::followProgress);
    // 13
    QObject::connect(sm_B, &SM_B::sig_FwMatches, [window, bar] {
        bar->timer->stop();
        bar->setValue(bar->maximum());
        bar->setFormat("Done. Disconnect USB cable.");
        window->status_label->setText(revision_status_text());
    });
    // 14
    QObject::connect(sm_B, &SM_B::sig_FwDiffers, [window, bar] {
        window->status_label->setText(revision_status_text());
        bar->timer->stop();
        bar->setValue(bar->minimum());
        bar->setFormat("FW differs");
        bar->hide();
    });
    // 15, 16: Ctrl+L from either window.
    auto* main_shortcut = new QShortcut(QKeySequence(Qt::CTRL + Qt::Key_L), window);
    main_shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(main_shortcut, &QShortcut::activated, toggle_log_window);
    auto* log_shortcut = new QShortcut(QKeySequence(Qt::CTRL + Qt::Key_L), logWindow->dialog);
    log_shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(log_shortcut, &QShortcut::activated, toggle_log_window);
}
