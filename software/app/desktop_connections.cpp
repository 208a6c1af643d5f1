#include "app/desktop_connections.h"

#include "app/open_refusal_note.h"
#include "control/flow_machine.h"
#include "control/worker.h"
#include "desktop/end_notice.h"
#include "desktop/sleep_inhibitor.h"
#include "gui/accessibility.h"
#include "gui/main_window.h"
#include "gui/outcome_label.h"
#include "gui/status_alert.h"
#include "settings/settings.h"

#include <QObject>

void add_desktop_connections(MainWindow* window) {
    describe_for_assistive_technology(window);
    auto* alert = new StatusAlert(window->status_label, window);
    auto* notice = new EndNotice([window] { return window->isActiveWindow(); }, window);
    // The product of the attempt: the flow's record of the unit is cleared while it is away.
    auto const title = [](QString const& product) {
        return settings.gui.text("notice_title").arg(product);
    };

    // Made after the window's own reactions, so that the status line already shows the failure.
    QObject::connect(sm_B->watch, &UpgradeWatch::finished, alert,
                     [alert, notice, title](UpgradeResult const& result) {
                         if (sm_A->is_stopping() || outcome_label(result).isEmpty())
                             return;
                         alert->announce();
                         notice->upgrade_ended(title(result.product), alert->plain_status());
                     });
    QObject::connect(sm_A, &SM_A::sig_OpenRefused, alert, [alert](QString const& reason) {
        if (reason == "LIBUSB_ERROR_ACCESS")
            alert->announce_if_shown(OpenRefusalNote::text_for(reason));
    });
    // A new attempt makes the last alert stale.
    QObject::connect(sm_B, &SM_B::sig_DoDownload, alert, &QWidget::hide);
    QObject::connect(sm_B, &SM_B::sig_DoDownload, notice, &EndNotice::arm);
    QObject::connect(sm_B, &SM_B::sig_FwMatches, notice, [notice, title] {
        notice->upgrade_ended(title(sm_B->device_info.OTP_info.product_name()),
                              settings.gui.text("bar_done"));
    });

    auto* inhibitor = new SleepInhibitor(window);
    QObject::connect(sm_A, &SM_A::sig_FwDownloading, inhibitor, &SleepInhibitor::acquire);
    QObject::connect(sm_A, &SM_A::sig_FwDownloaded, inhibitor, &SleepInhibitor::release);
    QObject::connect(sm_A, &QThread::finished, inhibitor, &SleepInhibitor::release);
}
