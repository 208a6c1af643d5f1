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
    // Takes the per-user lock that every program of this tool which talks to units holds, so
    // that the window and the service bench never run at the same time: instance_path(), in
    // a folder that only this user can write. Unlike the other locks it is the process's
    // own, not its open file's: a child between fork and exec (or one that leaves the exec
    // out) never holds it, so once the process has ended the lock is free.
    Outcome take_instance();
    // "kelvora-upgrade/instance.lock" in the user's data folder, one file per user whatever
    // the session's runtime folder is.
    static QString instance_path();
    void release();
    bool held() const { return fd_ >= 0; }
    // The open file while held, or -1.
    int descriptor() const { return fd_; }
    QString error() const { return error_; }

private:
    Outcome lock(int fd, bool process_wide);

    int fd_ = -1;
    QString error_;
};
