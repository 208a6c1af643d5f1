#include "files/working_dir.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Files {

QString temporary_base() {
    QString const base = QDir::tempPath();
    if (!base.isEmpty())
        return base;
    QString const raw = qEnvironmentVariable("TMPDIR");
    return raw.isEmpty() ? QStringLiteral("/tmp") : raw;
}

#ifdef Q_OS_UNIX

QString WorkingDir::unsafe_reason(QString const& base) {
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        return QStringLiteral("it is not an absolute path");
    struct stat info = {};
    if (::stat(QFile::encodeName(base).constData(), &info) != 0)
        return errno == ENOENT ? QStringLiteral("the folder does not exist")
                               : QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("it is not a folder");
    if (::access(QFile::encodeName(base).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("it is not writable (%1)")
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    // Without the sticky bit anybody who may write in the folder may also rename our directory
    // away and put their own in its place, with a program of their choosing in it.
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX))
        return QStringLiteral("other users may write in it and it lacks the sticky bit");
    // The owner of a folder may rename anything in it, sticky bit or not.
    if (info.st_uid != ::getuid() && info.st_uid != 0)
        return QStringLiteral("it belongs to another user");
    return {};
}

int WorkingDir::remove_abandoned(QString const& base) {
    int removed = 0;
    QDir const dir(base);
    QString const pattern = QLatin1String(name_pattern);
    QString const prefix = pattern.left(pattern.indexOf('X'));
    for (QString const& name :
         dir.entryList({prefix + "*"}, QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot)) {
        QString const path = dir.filePath(name);
        struct stat info = {};
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != ::getuid())
            continue;
        // A folder without a marker is left alone: it may be one that is being made right now.
        QString const marker = path + "/" + QLatin1String(marker_name);
        if (!QFileInfo::exists(marker))
            continue;
        ProcessLock lock;
        if (lock.take(marker, false) != ProcessLock::Taken)
            continue;
        if (QDir(path).removeRecursively()) {
            qInfo() << "Removed the working folder of an ended run:" << path;
            ++removed;
        }
    }
    return removed;
}

#else

QString WorkingDir::unsafe_reason(QString const& base) {
    QFileInfo const info(base);
    if (!info.exists())
        return QStringLiteral("the folder does not exist");
    if (!info.isDir())
        return QStringLiteral("it is not a folder");
    return {};
}

int WorkingDir::remove_abandoned(QString const&) {
    return 0;
}

#endif

WorkingDir::WorkingDir(QString const& base) {
    QString const reason = unsafe_reason(base);
    if (!reason.isEmpty()) {
        error_ = QStringLiteral("%1: %2").arg(base, reason);
        return;
    }
    remove_abandoned(base);

    auto dir = std::make_unique<QTemporaryDir>(base + "/" + QLatin1String(name_pattern));
    if (!dir->isValid()) {
        error_ = QStringLiteral("%1: %2").arg(base, dir->errorString());
        return;
    }
    // Locked under a name that nobody looks at, then renamed into place: a marker that others
    // can see is always held.
    QString const marker = dir->path() + "/" + QLatin1String(marker_name);
    QString const fresh = marker + ".new";
    if (marker_.take(fresh, true) != ProcessLock::Taken || !QFile::rename(fresh, marker)) {
        error_ = QStringLiteral("%1: cannot mark the working folder (%2)")
                     .arg(base, marker_.error().isEmpty() ? "rename failed" : marker_.error());
        marker_.release();
        return;
    }
    // For people looking at the folder; the lock, not this number, tells whether the run lives.
    QFile note(marker);
    if (note.open(QIODevice::WriteOnly | QIODevice::Append))
        note.write(QByteArray::number(QCoreApplication::applicationPid()) + "\n");
    dir_ = std::move(dir);
}

WorkingDir::~WorkingDir() {
    marker_.release();
}

bool WorkingDir::isValid() const {
    return dir_ && dir_->isValid();
}

QString WorkingDir::path() const {
    return isValid() ? dir_->path() : QString();
}

QString WorkingDir::errorString() const {
    return error_;
}

bool WorkingDir::remove() {
    marker_.release();
    return dir_ && dir_->remove();
}

} // namespace Files
