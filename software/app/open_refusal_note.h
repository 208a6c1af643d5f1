#pragma once

#include <QObject>
#include <QString>

class QLabel;
class SM_A;
class SM_B;

// Tells on the status line why a unit that dfu-util saw cannot be used, while no unit is
// connected: this user may not open it (no udev rule), another program holds it, or another
// reason. The worker reports changes only; the note stays until the reason ends (the text
// it covered comes back) or a unit is connected, and comes back when the flow returns to
// "no unit" while the reason lasts.
class OpenRefusalNote : public QObject {
    Q_OBJECT

public:
    OpenRefusalNote(SM_A* worker, SM_B* flow, QLabel* status_label, QObject* parent);

    // The status text for a libusb error name from dfu-util; empty for no reason.
    static QString text_for(QString const& reason);

private:
    void show_current();

    SM_B* flow;
    QLabel* status_label;
    QString reason;
    bool showing = false; // the status line holds a note of this class
    QString shown;        // the note last written
    QString replaced;     // the status text that the note covers
};
