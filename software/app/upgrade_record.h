#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class SM_A;
class SM_B;

// What became of one upgrade attempt. Kept as text in the record, so that further outcomes
// can be added without touching the readers of the file.
namespace RecordedOutcome {
inline char const* const done = "done";                 // written and verified
inline char const* const differs = "differs";           // written, the read-back differs
inline char const* const write_failed = "write failed"; // the write failed or was cut
inline char const* const interrupted = "interrupted";   // ended without a verdict
// Written, but the read-back ended early: nothing is known of the unit's flash.
inline char const* const check_interrupted = "check interrupted";
} // namespace RecordedOutcome

// One line of the upgrade record.
struct UpgradeAttempt {
    QDateTime time; // when the download was started, UTC
    QString serial; // as dfu-util lists it
    QString product;
    QString revision_before;
    QString revision_carried;
    QString outcome;
    qint64 write_ms = -1;  // -1: no write ended
    qint64 verify_ms = -1; // -1: no verify ended
    int write_exit_code = -1;

    // One JSON object on one line, ending in a line feed.
    QByteArray json_line() const;
};

// Appends one line per upgrade attempt to a JSON Lines file, by following the signals of the
// worker and the flow machine: the click that starts a download opens an attempt, the
// verdict closes it. A line that cannot be written is logged; nothing else happens, so the
// record never stands in the way of an upgrade. GUI thread only.
class UpgradeRecorder : public QObject {
    Q_OBJECT

public:
    UpgradeRecorder(SM_A* worker, SM_B* flow, QString file, QObject* parent);
    // An attempt still open is written as interrupted.
    ~UpgradeRecorder() override;

    // "upgrades.jsonl" in the user's application data folder.
    static QString default_file();

    // Appends the line, making the folder when needed; false (and a warning) on failure.
    static bool append(QString const& file, UpgradeAttempt const& attempt);

    QString const& file() const { return file_; }

private:
    void open_attempt();
    void close_attempt(QString const& outcome);

    SM_B* flow;
    QString file_;
    bool open = false;
    UpgradeAttempt attempt;
    QElapsedTimer write_clock;
    QElapsedTimer verify_clock;
};
