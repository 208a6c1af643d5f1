#include "system/process_lock.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

QString instance_lock_path(QString const& fallback_base) {
    // Per user and session in Qt's runtime folder. Qt gives none when the folder it would use
    // is missing or another user's (anybody can make /tmp/runtime-<user> first); then a file
    // of this user in the checked working base, never a path relative to the current folder.
    QString const folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!folder.isEmpty() && QDir::isAbsolutePath(folder))
        return QDir(folder).filePath("kelvora-upgrade.lock");
    qInfo() << "No runtime folder; the instance lock lives in" << fallback_base;
#ifdef Q_OS_UNIX
    QString const user = QString::number(::geteuid());
#else
    QString const user = qEnvironmentVariable("USERNAME");
#endif
    return fallback_base + "/kelvora-upgrade-" + user + ".lock";
}

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
    if (create)
        flags |= O_CREAT;
    int const fd = ::openat(folder_fd, QFile::encodeName(path).constData(), flags, 0600);
    if (fd < 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        return Failed;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        ::close(fd);
        error_ = QStringLiteral("it is not a regular file of this user");
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

ProcessLock::Outcome ProcessLock::take_at(int, QString const& path, bool create) {
    return take(path, create);
}

void ProcessLock::release() {}

#endif
