#include "app/open_refusal_note.h"

#include "control/flow_machine.h"
#include "control/worker.h"
#include "gui/status_line.h"
#include "settings/settings.h"

OpenRefusalNote::OpenRefusalNote(SM_A* worker, SM_B* flow, StatusLine* status_line, QObject* parent)
    : QObject(parent), flow(flow), status_line(status_line) {
    connect(worker, &SM_A::sig_OpenRefused, this, [this](QString const& new_reason) {
        reason = new_reason;
        show_current();
    });
    connect(flow, &SM_B::sig_UpgradeImpossible, this, &OpenRefusalNote::show_current);
    connect(flow, &SM_B::sig_DeviceConnected, status_line, &StatusLine::clear_note);
}

QString OpenRefusalNote::text_for(QString const& reason) {
    if (reason.isEmpty())
        return {};
    if (reason == "LIBUSB_ERROR_ACCESS")
        return settings.gui.text("status_noAccess");
    if (reason == "LIBUSB_ERROR_BUSY")
        return settings.gui.text("status_busy");
    return settings.gui.text("status_cannotOpen").arg(reason.toHtmlEscaped());
}

void OpenRefusalNote::show_current() {
    if (!flow->configuration().contains(flow->B1))
        return;
    if (reason.isEmpty())
        status_line->clear_note();
    else
        status_line->set_note(text_for(reason));
}
