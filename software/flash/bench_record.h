#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace Flash {

// One unit's attempt in the upgrade record that the window writes too, with the unit's port.
struct BenchAttempt {
    QString id;
    QDateTime time;
    QString port;
    QString serial;
    QString product;
    QString revision_before;
    QString revision_carried;
    QString outcome;       // "started", then a record text (outcome_text.h)
    qint64 write_ms = -1;  // -1: no write ended
    qint64 verify_ms = -1; // -1: no verify ended
    int write_exit_code = -1;

    QByteArray json_line() const;
};

// The window's record file: "upgrades.jsonl" in its data folder.
QString default_record_file();

// Appends the line with one write on an O_APPEND descriptor, so that jobs side by side never
// mix or lose lines; a write that fails part-way is cut off again. False on failure.
bool append_record_line(QString const& file, QByteArray const& line);

} // namespace Flash
