#include "system/private_folder.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace System {

#ifdef Q_OS_UNIX

namespace {

// Why others could rename or replace what the folder holds, or an empty text. The owner of a
// folder may rename anything in it; anybody who may write in it may, unless it is sticky.
QString unsafe_on_the_way(struct stat const& info) {
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        return QStringLiteral("it belongs to another user");
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX))
        return QStringLiteral("other users may write in it and it lacks the sticky bit");
    return {};
}

QString not_private(struct stat const& info) {
    if (info.st_uid != ::geteuid())
        return QStringLiteral("it belongs to another user");
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("other users may write in it");
    return {};
}

// Opens name in the open folder, making it when missing; a link there comes back as -1 with
// errno ELOOP or ENOTDIR.
int open_or_make(int folder_fd, QByteArray const& name) {
    int const flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(folder_fd, name.constData(), flags);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdirat(folder_fd, name.constData(), 0700) != 0 && errno != EEXIST)
            return -1;
        fd = ::openat(folder_fd, name.constData(), flags);
    }
    return fd;
}

// Where the link name in the open folder leads, joined with the names after it; empty when
// it is no link or not one that root or this user made.
QString followed_link(int folder_fd, QString const& folder, QString const& name,
                      QStringList const& rest, QString* refusal) {
    QByteArray const native = QFile::encodeName(name);
    struct stat info = {};
    if (::fstatat(folder_fd, native.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(info.st_mode))
        return {};
    if (info.st_uid != ::geteuid() && info.st_uid != 0) {
        *refusal = QStringLiteral("it is a symbolic link of another user");
        return {};
    }
    char target[PATH_MAX];
    ssize_t const length = ::readlinkat(folder_fd, native.constData(), target, sizeof target);
    if (length <= 0 || length == ssize_t(sizeof target))
        return {};
    QString const to = QFile::decodeName(QByteArray(target, int(length)));
    QString const base = QDir::isAbsolutePath(to) ? to : folder + "/" + to;
    return QDir::cleanPath(base + "/" + rest.join('/'));
}

} // namespace

int open_private_folder(QString const& path, QString* error) {
    if (!QDir::isAbsolutePath(path)) {
        *error = path + QStringLiteral(": it is not an absolute path");
        return -1;
    }
    QStringList names = QDir::cleanPath(path).split('/', Qt::SkipEmptyParts);
    // Each link followed starts the walk again from the root.
    for (int links = 0; links <= 40; ++links) {
        QString folder = QStringLiteral("/");
        int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QString restart;
        for (int i = 0; fd >= 0; ++i) {
            struct stat info = {};
            bool const last = i == names.size();
            QString reason = ::fstat(fd, &info) != 0 ? qt_error_string(errno)
                             : last                  ? not_private(info)
                                                     : unsafe_on_the_way(info);
            if (reason.isEmpty() && last)
                return fd;
            if (reason.isEmpty()) {
                int const next = open_or_make(fd, QFile::encodeName(names[i]));
                if (next < 0) {
                    int const cause = errno;
                    reason = qt_error_string(cause);
                    if (cause == ELOOP || cause == ENOTDIR)
                        restart = followed_link(fd, folder, names[i], names.mid(i + 1), &reason);
                }
                ::close(fd);
                fd = next;
                folder = QDir(folder).filePath(names[i]);
                if (fd >= 0)
                    continue;
            } else {
                ::close(fd);
            }
            if (!restart.isEmpty())
                break;
            *error = folder + ": " + reason;
            return -1;
        }
        if (restart.isEmpty()) {
            *error = path + ": " + qt_error_string(errno);
            return -1;
        }
        names = restart.split('/', Qt::SkipEmptyParts);
    }
    *error = path + QStringLiteral(": too many symbolic links");
    return -1;
}

int open_private_file(int folder_fd, QString const& name, int flags, QString* error) {
    int const fd = ::openat(folder_fd, QFile::encodeName(name).constData(),
                            flags | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errno == ELOOP ? QStringLiteral("it is a symbolic link") : qt_error_string(errno);
        return -1;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        *error = qt_error_string(errno);
    else if (!S_ISREG(info.st_mode))
        *error = QStringLiteral("it is not a regular file");
    else if (info.st_uid != ::geteuid())
        *error = QStringLiteral("it belongs to another user");
    else
        return fd;
    ::close(fd);
    return -1;
}

#else

int open_private_folder(QString const& path, QString* error) {
    *error = path + QStringLiteral(": private folders are not available on this platform");
    return -1;
}

int open_private_file(int, QString const&, int, QString* error) {
    *error = QStringLiteral("private files are not available on this platform");
    return -1;
}

#endif

} // namespace System
