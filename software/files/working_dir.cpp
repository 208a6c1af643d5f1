#include "files/working_dir.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

bool WorkingDir::has_working_dir_name(QString const& name) {
    static QRegularExpression const form(QStringLiteral("^%1[A-Za-z0-9]{%2}$")
                                             .arg(QLatin1String(name_prefix))
                                             .arg(name_random_length));
    return form.match(name).hasMatch();
}

#ifdef Q_OS_UNIX

namespace {

QString system_error(int error_number) {
    return QString::fromLocal8Bit(std::strerror(error_number));
}

// Why others could rename or replace what the folder holds, or an empty text. The owner of a
// folder may rename anything in it; anybody who may write in it may, unless it is sticky.
QString unsafe_folder(struct stat const& info) {
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX))
        return QStringLiteral("other users may write in it and it lacks the sticky bit");
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        return QStringLiteral("it belongs to another user");
    return {};
}

// Opens the folder at base one folder at a time from the root down, links resolved first, and
// checks each one on the open descriptor. Returns the descriptor of base, or -1 with the
// folder and the reason in *error.
int open_checked_base(QString const& base, QString* resolved, QString* error) {
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        *error = base + QStringLiteral(": it is not an absolute path");
        return -1;
    }
    char real[PATH_MAX];
    if (!::realpath(QFile::encodeName(base).constData(), real)) {
        *error = base + ": " +
                 (errno == ENOENT    ? QStringLiteral("the folder does not exist")
                  : errno == ENOTDIR ? QStringLiteral("it is not a folder")
                                     : system_error(errno));
        return -1;
    }
    *resolved = QFile::decodeName(real);
    QStringList const names = resolved->split('/', Qt::SkipEmptyParts);
    QString folder = QStringLiteral("/");
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; fd >= 0; ++i) {
        bool const last = i == names.size();
        QString reason;
        struct stat info = {};
        if (::fstat(fd, &info) != 0)
            reason = system_error(errno);
        else if (last && ::faccessat(fd, ".", W_OK | X_OK, 0) != 0)
            reason = QStringLiteral("it is not writable (%1)").arg(system_error(errno));
        else
            reason = unsafe_folder(info);
        if (!reason.isEmpty()) {
            *error = folder + ": " + reason;
            ::close(fd);
            return -1;
        }
        if (last)
            return fd;
        folder = QDir(folder).filePath(names[i]);
        int const next = ::openat(fd, QFile::encodeName(names[i]).constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int const cause = errno;
        ::close(fd);
        fd = next;
        if (fd < 0)
            *error =
                folder + ": " +
                (cause == ENOTDIR ? QStringLiteral("it is not a folder") : system_error(cause));
    }
    if (error->isEmpty())
        *error = base + ": " + system_error(errno);
    return -1;
}

// Removes everything inside the open folder, never following a link.
bool remove_contents(int folder_fd) {
    int const listing_fd = ::openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* const listing = listing_fd >= 0 ? ::fdopendir(listing_fd) : nullptr;
    if (!listing) {
        if (listing_fd >= 0)
            ::close(listing_fd);
        return false;
    }
    bool removed = true;
    while (dirent const* entry = ::readdir(listing)) {
        char const* const name = entry->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, ".."))
            continue;
        struct stat info = {};
        if (::fstatat(folder_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            removed = false;
        } else if (S_ISDIR(info.st_mode)) {
            int const inner =
                ::openat(folder_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            removed = inner >= 0 && remove_contents(inner) && removed;
            if (inner >= 0)
                ::close(inner);
            removed = ::unlinkat(folder_fd, name, AT_REMOVEDIR) == 0 && removed;
        } else {
            removed = ::unlinkat(folder_fd, name, 0) == 0 && removed;
        }
    }
    ::closedir(listing);
    return removed;
}

// Removes the folder name in base_fd when it is still the open folder folder_fd.
bool remove_folder(int base_fd, QByteArray const& name, int folder_fd) {
    struct stat opened = {};
    struct stat there = {};
    if (::fstat(folder_fd, &opened) != 0 ||
        ::fstatat(base_fd, name.constData(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        opened.st_dev != there.st_dev || opened.st_ino != there.st_ino)
        return false;
    return remove_contents(folder_fd) && ::unlinkat(base_fd, name.constData(), AT_REMOVEDIR) == 0;
}

// True when the marker holds what a run of this tool wrote into it: its process id.
bool marker_written_by_a_run(int marker_fd) {
    char content[24] = {};
    ssize_t const size = ::pread(marker_fd, content, sizeof content - 1, 0);
    static QRegularExpression const form(QStringLiteral("^[1-9][0-9]{0,9}\n$"));
    return size > 0 && form.match(QString::fromLatin1(content, int(size))).hasMatch();
}

// Removes name from base_fd when it has the form of a working directory of an ended run.
bool remove_if_abandoned(int base_fd, QString const& name) {
    if (!WorkingDir::has_working_dir_name(name))
        return false;
    QByteArray const encoded = QFile::encodeName(name);
    int const folder_fd =
        ::openat(base_fd, encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder_fd < 0)
        return false;
    struct stat info = {};
    bool removed = false;
    if (::fstat(folder_fd, &info) == 0 && info.st_uid == ::geteuid() &&
        (info.st_mode & 07777) == 0700) {
        // A folder without a marker is left alone: it may be one that is being made right now.
        ProcessLock marker;
        if (marker.take_at(folder_fd, QLatin1String(WorkingDir::marker_name), false) ==
                ProcessLock::Taken &&
            marker_written_by_a_run(marker.descriptor()))
            removed = remove_folder(base_fd, encoded, folder_fd);
    }
    ::close(folder_fd);
    return removed;
}

int remove_abandoned_in(int base_fd, QString const& base) {
    int const listing_fd = ::openat(base_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* const listing = listing_fd >= 0 ? ::fdopendir(listing_fd) : nullptr;
    if (!listing) {
        if (listing_fd >= 0)
            ::close(listing_fd);
        return 0;
    }
    QStringList names;
    while (dirent const* entry = ::readdir(listing))
        names << QFile::decodeName(entry->d_name);
    ::closedir(listing);
    int removed = 0;
    for (QString const& name : names) {
        if (remove_if_abandoned(base_fd, name)) {
            qInfo() << "Removed the working folder of an ended run:" << base + "/" + name;
            ++removed;
        }
    }
    return removed;
}

} // namespace

int WorkingDir::remove_abandoned(QString const& base) {
    QString resolved;
    QString error;
    int const base_fd = open_checked_base(base, &resolved, &error);
    if (base_fd < 0)
        return 0;
    int const removed = remove_abandoned_in(base_fd, resolved);
    ::close(base_fd);
    return removed;
}

WorkingDir::WorkingDir(QString const& base) {
    base_fd_ = open_checked_base(base, &base_, &error_);
    if (base_fd_ < 0)
        return;
    remove_abandoned_in(base_fd_, base_);

    // Qt picks the name from the template (letters and digits for the X) and makes the
    // directory in the checked base; from then on it is held open and removed through the
    // open folders only.
    QTemporaryDir made(base_ + "/" + QLatin1String(name_prefix) +
                       QString(name_random_length, QLatin1Char('X')));
    if (!made.isValid()) {
        error_ = base_ + ": " + made.errorString();
        return;
    }
    made.setAutoRemove(false);
    name_ = QFileInfo(made.path()).fileName();
    dir_fd_ = ::openat(base_fd_, QFile::encodeName(name_).constData(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Exactly 0700, as the clean-up of a later start expects.
    if (dir_fd_ < 0 || ::fchmod(dir_fd_, 0700) != 0) {
        error_ = base_ + ": cannot make the working folder (" + system_error(errno) + ")";
        remove();
        return;
    }
    // Locked and filled under a name that nobody looks at, then renamed into place: a marker
    // that others can see is always held and complete. The number is for people looking at
    // the folder; the lock, not the number, tells whether the run lives.
    QString const marker = QLatin1String(marker_name);
    QByteArray const fresh = QFile::encodeName(marker + ".new");
    QByteArray const pid = QByteArray::number(qint64(::getpid())) + "\n";
    if (marker_.take_at(dir_fd_, QFile::decodeName(fresh), true) != ProcessLock::Taken ||
        ::write(marker_.descriptor(), pid.constData(), size_t(pid.size())) != pid.size() ||
        ::renameat(dir_fd_, fresh.constData(), dir_fd_, QFile::encodeName(marker).constData()) !=
            0) {
        error_ = QStringLiteral("%1: cannot mark the working folder (%2)")
                     .arg(base_, marker_.error().isEmpty() ? system_error(errno) : marker_.error());
        remove();
    }
}

WorkingDir::~WorkingDir() {
    remove();
    if (base_fd_ >= 0)
        ::close(base_fd_);
}

bool WorkingDir::isValid() const {
    return dir_fd_ >= 0 && marker_.held();
}

QString WorkingDir::path() const {
    return isValid() ? base_ + "/" + name_ : QString();
}

QString WorkingDir::base() const {
    return isValid() ? base_ : QString();
}

bool WorkingDir::remove() {
    marker_.release();
    if (dir_fd_ < 0)
        return false;
    bool const removed = remove_folder(base_fd_, QFile::encodeName(name_), dir_fd_);
    ::close(dir_fd_);
    dir_fd_ = -1;
    return removed;
}

#else

int WorkingDir::remove_abandoned(QString const&) {
    return 0;
}

WorkingDir::WorkingDir(QString const& base) {
    error_ = base + QStringLiteral(": working folders are made only on Unix-like systems");
}

WorkingDir::~WorkingDir() = default;

bool WorkingDir::isValid() const {
    return false;
}

QString WorkingDir::path() const {
    return {};
}

QString WorkingDir::base() const {
    return {};
}

bool WorkingDir::remove() {
    return false;
}

#endif

QString WorkingDir::errorString() const {
    return error_;
}

} // namespace Files
