#pragma once

#include <QByteArray>
#include <QList>

struct UpgradeAttempt;

// Each ended upgrade attempt also goes to the systemd journal, so that the records of many
// benches can be gathered with the distribution's journal upload and remote services and
// read back by their message id:
//     journalctl MESSAGE_ID=4a424cbd3e62411eabeb15b875c69d8e -o json
// Without a journal the record file holds the attempt alone; nothing is logged instead.
namespace UpgradeJournal {

// The journal's id of an ended upgrade attempt. Never changes: readers select by it.
constexpr char message_id[] = "4a424cbd3e62411eabeb15b875c69d8e";

// The entry's fields, "NAME=value" each: MESSAGE_ID, PRIORITY (info when done, warning
// otherwise), SYSLOG_IDENTIFIER, a one-line MESSAGE and the KELVORA_ fields of the attempt.
// Text that a unit supplies is escaped (Device::loggable); a port or slot that the attempt
// lacks is left out.
QList<QByteArray> fields(UpgradeAttempt const& attempt);

// Sends the entry when the journal's socket is there; a warning when the journal refuses it.
void send(UpgradeAttempt const& attempt);

} // namespace UpgradeJournal
