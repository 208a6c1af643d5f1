#include "files/process_lock.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

QString instance_lock_path() {
    // Per user and session; Qt falls back to a private folder under the temporary one.
    QString const folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return QDir(folder).filePath("kelvora-upgrade.lock");
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
    release();
    // Not inherited by children: a dfu-util left running must not keep the lock alive.
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
    if (create)
        flags |= O_CREAT;
    int const fd = ::open(QFile::encodeName(path).constData(), flags, 0600);
    if (fd < 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        return Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int const cause = errno;
        ::close(fd);
        if (cause == EWOULDBLOCK)
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

void ProcessLock::release() {}

#endif
