#include "desktop/end_notice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>
#include <QStringList>
#include <QVariantMap>

namespace {

char const* const app_name = "Kelvora Firmware Upgrade Tool";
char const* const icon_name = "kelvora-upgrade";

} // namespace

EndNotice::EndNotice(std::function<bool()> window_active, QObject* parent)
    : QObject(parent), window_active(std::move(window_active)) {}

EndNotice::~EndNotice() = default;

void EndNotice::arm() {
    armed = true;
}

void EndNotice::upgrade_ended(QString const& title, QString const& outcome) {
    if (!armed)
        return;
    armed = false;
    if (window_active && window_active())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qInfo() << "No desktop notice: no session bus";
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
    call << QString(app_name) << uint(0) << QString(icon_name) << title << outcome << QStringList()
         << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<uint> const reply = *w;
        if (reply.isError())
            qInfo() << "No desktop notice:" << reply.error().name();
        else
            qInfo() << "Desktop notice sent, id" << reply.value();
        w->deleteLater();
    });
}
