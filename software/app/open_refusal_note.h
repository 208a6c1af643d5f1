#pragma once

#include <QObject>
#include <QString>

class SM_A;
class SM_B;
class StatusLine;

// Tells on the status line why a unit that dfu-util saw cannot be used, while no unit is
// connected: this user may not open it (no udev rule), another program holds it, or another
// reason. The worker reports changes only; the note stays until the reason ends (the flow's
// own text comes back) or a unit is connected, and comes back when the flow returns to
// "no unit" while the reason lasts.
class OpenRefusalNote : public QObject {
    Q_OBJECT

public:
    OpenRefusalNote(SM_A* worker, SM_B* flow, StatusLine* status_line, QObject* parent);

    // The status text for a libusb error name from dfu-util; empty for no reason.
    static QString text_for(QString const& reason);

private:
    void show_current();

    SM_B* flow;
    StatusLine* status_line;
    QString reason;
};
