#include "system/process_lock.h"

#include "system/private_folder.h"

#include <QFileInfo>
#include <QStandardPaths>

QString ProcessLock::instance_path() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           "/kelvora-upgrade/instance.lock";
}

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

ProcessLock::~ProcessLock() {
    release();
}

ProcessLock::Outcome ProcessLock::take(QString const& path, bool create) {
    return take_at(AT_FDCWD, path, create);
}

ProcessLock::Outcome ProcessLock::take_at(int folder_fd, QString const& path, bool create) {
    release();
    // Not inherited by children: a dfu-util left running must not keep the lock alive.
    int const fd =
        System::open_private_file(folder_fd, path, O_RDWR | (create ? O_CREAT : 0), &error_);
    return fd < 0 ? Failed : lock(fd, false);
}

ProcessLock::Outcome ProcessLock::take_instance() {
    release();
    QFileInfo const file(instance_path());
    int const folder = System::open_private_folder(file.path(), &error_);
    if (folder < 0)
        return Failed;
    int const fd = System::open_private_file(folder, file.fileName(), O_RDWR | O_CREAT, &error_);
    ::close(folder);
    return fd < 0 ? Failed : lock(fd, true);
}

ProcessLock::Outcome ProcessLock::lock(int fd, bool process_wide) {
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    int const taken = process_wide ? ::fcntl(fd, F_SETLK, &whole) : ::flock(fd, LOCK_EX | LOCK_NB);
    if (taken != 0) {
        int const cause = errno;
        ::close(fd);
        if (cause == EWOULDBLOCK || cause == EAGAIN || cause == EACCES)
            return HeldByOther;
        error_ = QString::fromLocal8Bit(std::strerror(cause));
        return Failed;
    }
    fd_ = fd;
    return Taken;
}

void ProcessLock::release() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

#else

ProcessLock::~ProcessLock() = default;

ProcessLock::Outcome ProcessLock::take(QString const&, bool) {
    error_ = "file locks are not available on this platform";
    return Failed;
}

ProcessLock::Outcome ProcessLock::take_at(int, QString const& path, bool create) {
    return take(path, create);
}

ProcessLock::Outcome ProcessLock::take_instance() {
    return take(instance_path(), true);
}

void ProcessLock::release() {}

#endif
