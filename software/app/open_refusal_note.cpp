#include "app/open_refusal_note.h"

#include "control/sm_a.h"
#include "control/sm_b.h"
#include "settings/settings.h"

#include <QLabel>

OpenRefusalNote::OpenRefusalNote(SM_A* worker, SM_B* flow, QLabel* status_label, QObject* parent)
    : QObject(parent), flow(flow), status_label(status_label) {
    connect(worker, &SM_A::sig_OpenRefused, this, [this](QString const& new_reason) {
        reason = new_reason;
        show_current();
    });
    // Made after the wiring's own reaction, which writes the "no unit" text.
    connect(flow, &SM_B::sig_UpgradeImpossible, this, &OpenRefusalNote::show_current);
    connect(flow, &SM_B::sig_DeviceConnected, this, [this] { showing = false; });
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
    if (!status_label || !flow->configuration().contains(flow->B1))
        return;
    if (!reason.isEmpty()) {
        // What the flow wrote meanwhile (the "no unit" note, or a unit restarting after its
        // write, or an upgrade that failed) comes back when the reason ends.
        if (!showing || status_label->text() != shown)
            replaced = status_label->text();
        shown = text_for(reason);
        status_label->setText(shown);
        showing = true;
    } else if (showing) {
        status_label->setText(replaced);
        showing = false;
    }
}
