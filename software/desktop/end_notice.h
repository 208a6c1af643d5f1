#pragma once

#include <QObject>
#include <QString>

#include <functional>

// Tells the user on the desktop (org.freedesktop.Notifications on the session bus) that an
// upgrade has ended, when the window is not the active one: someone who works elsewhere
// during a long write learns of "Done" or of a failure. One notice per upgrade; the call is
// asynchronous, so a slow or missing notification service never holds up the window.
class EndNotice : public QObject {
    Q_OBJECT

public:
    // window_active tells whether the window that shows the upgrade is the active one.
    EndNotice(std::function<bool()> window_active, QObject* parent);
    ~EndNotice() override;

    // The D-Bus service that shows the notices; tests may name their own.
    QString service = "org.freedesktop.Notifications";

public slots:
    // An upgrade has started: its end may be told.
    void arm();
    // The upgrade ended; `outcome` is plain text. Sent only once after arm(), and only while
    // the window is not active.
    void upgrade_ended(QString const& title, QString const& outcome);

private:
    std::function<bool()> window_active;
    bool armed = false;
};
