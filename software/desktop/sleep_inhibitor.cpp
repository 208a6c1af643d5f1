#include "desktop/sleep_inhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>

SleepInhibitor::SleepInhibitor(QObject* parent) : QObject(parent) {}

SleepInhibitor::~SleepInhibitor() = default;

bool SleepInhibitor::holding() const {
    return lock.isValid();
}

void SleepInhibitor::acquire() {
    if (wanted)
        return;
    wanted = true;
    quint64 const this_request = ++request;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qInfo() << "Sleep not inhibited: no system bus";
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit");
    call << QString("sleep") << QString("Kelvora Firmware Upgrade Tool")
         << QString("Writing firmware to a unit") << QString("block");
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, this_request](QDBusPendingCallWatcher* w) {
                QDBusPendingReply<QDBusUnixFileDescriptor> const reply = *w;
                w->deleteLater();
                if (reply.isError()) {
                    qInfo() << "Sleep not inhibited:" << reply.error().name();
                    return;
                }
                // A reply after release() or for an earlier acquire() is dropped, which
                // closes its descriptor.
                if (!wanted || this_request != request)
                    return;
                lock = reply.value();
                qInfo() << "Sleep inhibited while the firmware is written";
            });
}

void SleepInhibitor::hold(bool on) {
    on ? acquire() : release();
}

void SleepInhibitor::release() {
    if (!wanted)
        return;
    wanted = false;
    if (lock.isValid()) {
        lock = QDBusUnixFileDescriptor();
        qInfo() << "Sleep allowed again";
    }
}
