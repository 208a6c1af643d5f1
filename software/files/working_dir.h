#pragma once

#include "system/process_lock.h"

#include <QString>

namespace Files {

// The private working directory of this process, made under Qt's folder for temporary files.
// It is made only where other users cannot rename or replace it: every folder from the root
// down to the base must belong to root or this user and be writable by others only with the
// sticky bit; otherwise it stays invalid and errorString() says which folder and why. It is
// made (a QTemporaryDir, not removed by Qt) in the checked folder, then emptied and removed
// relative to open folders, so that a path that changes meanwhile is never followed. The directory
// holds a hidden marker that this process keeps locked for its whole life, so that a later start
// can tell the folders of runs that have ended (and remove them) from the folders of live runs.
class WorkingDir {
public:
    // Removes what earlier, ended runs of this user left in base, then makes the directory.
    explicit WorkingDir(QString const& base);
    ~WorkingDir();
    WorkingDir(WorkingDir const&) = delete;
    WorkingDir& operator=(WorkingDir const&) = delete;

    bool isValid() const;
    QString path() const;        // empty when not valid
    QString base() const;        // the checked base with links resolved; empty when not valid
    QString errorString() const; // names the folder and the reason when not valid
    bool remove();

    // Plain characters: the working directory is made during static initialisation, when
    // other translation units' QString constants may not exist yet. A directory's name is the
    // prefix and name_random_length letters or digits; its marker holds the decimal process
    // id of its run and a line feed.
    static constexpr char marker_name[] = ".owner";
    static constexpr char name_prefix[] = "upgrade_";
    static constexpr int name_random_length = 6;

    // True for a name of exactly the form that this class gives its directories.
    static bool has_working_dir_name(QString const& name);
    // Removes the working directories in base whose marker nobody holds; returns how many.
    static int remove_abandoned(QString const& base);

private:
    int base_fd_ = -1;
    int dir_fd_ = -1;
    QString base_;
    QString name_;
    ProcessLock marker_; // released before the directory goes
    QString error_;
};

// Qt's folder for temporary files, or the raw TMPDIR when Qt found no folder under that name.
QString temporary_base();

} // namespace Files
