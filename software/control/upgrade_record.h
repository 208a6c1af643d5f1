#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

class UpgradeWatch;
struct UpgradeResult;

// One attempt in the upgrade record: a "started" line when it begins, so that a run that is
// killed still leaves a trace, and a final line with its outcome. Both carry the same id.
struct UpgradeAttempt {
    QString id;     // the "attempt" field of both lines
    QDateTime time; // when the download was started, UTC
    QString serial; // as dfu-util lists it
    QString port;   // the unit's USB port path, where a bench names it; empty: not written
    QString slot;   // the name of the bench's slot on that port; empty: not written
    QString product;
    QString revision_before;
    QString revision_carried;
    QString outcome;       // the record text of an Outcome, or "started"
    qint64 write_ms = -1;  // -1: no write ended
    qint64 verify_ms = -1; // -1: no verify ended
    int write_exit_code = -1;
    // Final line only, so that records gathered from many benches tell where they came from.
    QString tool = this_tool(); // the program and its version, "kelvora-flash 1.0"
    QString image_sha256;       // of the carried image, lower-case hex
    QDateTime ended;            // when the attempt ended, UTC

    // The program that runs and its version.
    static QString this_tool();
    // Lower-case hex SHA-256 of an image.
    static QString sha256_of(QByteArray const& image);

    // A new attempt on a unit as it was found, the one place where an attempt gets its id and
    // its time (now). Its outcome is "interrupted" until its end is told.
    static UpgradeAttempt begin(QString const& serial, QString const& product,
                                QString const& revision_before, QString const& revision_carried);

    // The final line: one JSON object on one line, ending in a line feed.
    QByteArray json_line() const;
    // The line written when the attempt begins: its id, time, unit and revisions, and the
    // outcome "started".
    QByteArray started_line() const;
};

// Appends the lines of each upgrade attempt to a JSON Lines file, as the watch tells them:
// an attempt that starts writes its started line, its end the final line. A line that cannot
// be written is logged; nothing else happens, so the record never stands in the way of an
// upgrade. Without widgets; on the watch's thread.
class UpgradeRecorder : public QObject {
    Q_OBJECT

public:
    UpgradeRecorder(UpgradeWatch* watch, QString file, QString image_sha256, QObject* parent);
    // An attempt still open is written as interrupted.
    ~UpgradeRecorder() override;

    // "kelvora-upgrade/upgrades.jsonl" in the user's data folder: the window and the bench
    // write the same record.
    static QString default_file();

    // Ends the attempt: stamps `ended` when it is not set, appends the final line (see the
    // other append) and sends the attempt to the systemd journal (upgrade_journal.h).
    static bool append(QString const& file, UpgradeAttempt attempt);
    // Appends the line with one write to the end of the file, making the file (0600) and its
    // missing folders (0700) when needed. Only a regular file of this user in a folder of
    // this user, reached along folders that nobody else can change, is written; no symbolic
    // link is followed to it. A line is whole in the file or not there at all: a write that
    // fails part-way is cut off again, under the file's lock, which every writer holds. False,
    // and a warning with the cause and the lost line, on failure.
    static bool append(QString const& file, QByteArray const& line);

    QString const& file() const { return file_; }

private:
    void open_attempt(UpgradeResult const& started);
    void close_attempt(UpgradeResult const& result);

    QString file_;
    QString image_sha256_;
    bool open = false;
    UpgradeAttempt attempt;
};
