#pragma once

#include "files/process_lock.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace Files {

// The private working directory of this process, made under Qt's folder for temporary files.
// It is made only in a folder where other users cannot rename or replace it; otherwise it
// stays invalid and errorString() says which folder and why. The directory holds a hidden
// marker that this process keeps locked for its whole life, so that a later start can tell
// the folders of runs that have ended (and remove them) from the folders of live runs.
class WorkingDir {
public:
    // Removes what earlier, ended runs of this user left in base, then makes the directory.
    explicit WorkingDir(QString const& base);
    ~WorkingDir();
    WorkingDir(WorkingDir const&) = delete;
    WorkingDir& operator=(WorkingDir const&) = delete;

    bool isValid() const;
    QString path() const;        // empty when not valid
    QString errorString() const; // names the folder and the reason when not valid
    bool remove();

    // Plain characters: the working directory is made during static initialisation, when
    // other translation units' QString constants may not exist yet.
    static constexpr char marker_name[] = ".owner";
    static constexpr char name_pattern[] = "upgrade_XXXXXX";

    // Why base cannot hold a working directory safely, or an empty text.
    static QString unsafe_reason(QString const& base);
    // Removes the working directories in base whose marker nobody holds; returns how many.
    static int remove_abandoned(QString const& base);

private:
    std::unique_ptr<QTemporaryDir> dir_;
    ProcessLock marker_; // released before the directory goes
    QString error_;
};

// Qt's folder for temporary files, or the raw TMPDIR when Qt found no folder under that name.
QString temporary_base();

} // namespace Files
