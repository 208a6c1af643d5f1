#pragma once

#include <QString>

// An exclusive lock on a file, held for as long as this object lives. The operating system
// drops it when the process ends in any way (SIGKILL included), so a lock that can be taken
// always belongs to nobody alive, whatever process id a later process happens to get.
class ProcessLock {
public:
    ProcessLock() = default;
    ~ProcessLock();
    ProcessLock(ProcessLock const&) = delete;
    ProcessLock& operator=(ProcessLock const&) = delete;

    enum Outcome { Taken, HeldByOther, Failed };

    // Opens (creating it when create is set) the file at path and takes the lock without
    // waiting. On Failed, error() says why. Symbolic links are not followed, and only a
    // regular file of this user is taken: another user's file could be held open by them.
    Outcome take(QString const& path, bool create);
    // The same for a path relative to the open folder folder_fd.
    Outcome take_at(int folder_fd, QString const& path, bool create);
    void release();
    bool held() const { return fd_ >= 0; }
    // The open file while held, or -1.
    int descriptor() const { return fd_; }
    QString error() const { return error_; }

private:
    int fd_ = -1;
    QString error_;
};

// The file of the per-user, per-session lock that every program of this tool which talks to
// units takes: the window and the service bench never run at the same time. Without a
// runtime folder, the lock lives in fallback_base, the checked base of the working folder.
QString instance_lock_path(QString const& fallback_base);
