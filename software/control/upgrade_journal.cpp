#include "control/upgrade_journal.h"

#include "control/upgrade_record.h"
#include "device/unit_text.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

// The code location would always name this file: it tells a reader nothing.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <cstring>
#include <sys/uio.h>
#include <syslog.h>
#include <vector>

namespace UpgradeJournal {

namespace {

// Where journald listens; sd_journal_send() knows no other place.
constexpr char socket_path[] = "/run/systemd/journal/socket";

QByteArray field(char const* name, QString const& value) {
    return QByteArray(name) + "=" + Device::loggable(value).toUtf8();
}

QString message(UpgradeAttempt const& a) {
    QString where = a.port.isEmpty() ? QString() : " on " + a.port;
    if (!a.slot.isEmpty())
        where += " (slot " + a.slot + ")";
    return QString("Upgrade of %1 %2%3 from %4 to %5: %6")
        .arg(a.product.isEmpty() ? "unit" : a.product, a.serial, where,
             a.revision_before.isEmpty() ? "unknown" : a.revision_before, a.revision_carried,
             a.outcome);
}

} // namespace

QList<QByteArray> fields(UpgradeAttempt const& attempt) {
    bool const done = attempt.outcome == "done";
    QList<QByteArray> list{
        QByteArray("MESSAGE_ID=") + message_id,
        "PRIORITY=" + QByteArray::number(done ? LOG_INFO : LOG_WARNING),
        field("SYSLOG_IDENTIFIER", QCoreApplication::applicationName()),
        field("MESSAGE", message(attempt)),
        field("KELVORA_ATTEMPT", attempt.id),
        field("KELVORA_SERIAL", attempt.serial),
    };
    if (!attempt.port.isEmpty())
        list << field("KELVORA_PORT", attempt.port);
    if (!attempt.slot.isEmpty())
        list << field("KELVORA_SLOT", attempt.slot);
    list << field("KELVORA_PRODUCT", attempt.product)
         << field("KELVORA_REVISION_BEFORE", attempt.revision_before)
         << field("KELVORA_REVISION_CARRIED", attempt.revision_carried)
         << field("KELVORA_IMAGE_SHA256", attempt.image_sha256)
         << field("KELVORA_OUTCOME", attempt.outcome);
    return list;
}

void send(UpgradeAttempt const& attempt) {
    if (!QFileInfo::exists(socket_path))
        return;
    QList<QByteArray> const entry = fields(attempt);
    std::vector<iovec> parts;
    for (QByteArray const& one : entry)
        parts.push_back({const_cast<char*>(one.constData()), size_t(one.size())});
    int const error = sd_journal_sendv(parts.data(), int(parts.size()));
    if (error < 0)
        qWarning().noquote() << "Could not send the upgrade attempt" << attempt.id
                             << "to the journal:" << std::strerror(-error);
}

} // namespace UpgradeJournal
