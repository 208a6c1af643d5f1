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

// One attempt in the upgrade record: a "started" line when it begins, so that a run that is
// killed still leaves a trace, and a final line with its outcome. Both carry the same id.
struct UpgradeAttempt {
    QString id;     // the "attempt" field of both lines
    QDateTime time; // when the download was started, UTC
    QString serial; // as dfu-util lists it
    QString product;
    QString revision_before;
    QString revision_carried;
    QString outcome;
    qint64 write_ms = -1;  // -1: no write ended
    qint64 verify_ms = -1; // -1: no verify ended
    int write_exit_code = -1;

    // The final line: one JSON object on one line, ending in a line feed.
    QByteArray json_line() const;
    // The line written when the attempt begins: its id, time, unit and revisions, and the
    // outcome "started".
    QByteArray started_line() const;
};

// Appends the lines of each upgrade attempt to a JSON Lines file, by following the signals of
// the worker and the flow machine: the click that starts a download opens an attempt and
// writes its started line, the verdict closes it with the final line. A line that cannot be
// written is logged; nothing else happens, so the record never stands in the way of an
// upgrade. GUI thread only.
class UpgradeRecorder : public QObject {
    Q_OBJECT

public:
    UpgradeRecorder(SM_A* worker, SM_B* flow, QString file, QObject* parent);
    // An attempt still open is written as interrupted.
    ~UpgradeRecorder() override;

    // "upgrades.jsonl" in the user's application data folder.
    static QString default_file();

    // Appends the attempt's final line; see the other append.
    static bool append(QString const& file, UpgradeAttempt const& attempt);
    // Appends the line with one write to the end of the file, making the file (0600) and its
    // missing folders (0700) when needed. A line is whole in the file or not there at all: a
    // write that fails part-way is cut off again. False, and a warning with the cause and
    // the lost line, on failure.
    static bool append(QString const& file, QByteArray const& line);

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
