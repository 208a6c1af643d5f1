#include "flash/bench_record.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Flash {

QByteArray BenchAttempt::json_line() const {
    auto duration = [](qint64 ms) { return ms < 0 ? QJsonValue() : QJsonValue(ms); };
    QJsonObject object{
        {"attempt", id},
        {"time", time.toUTC().toString(Qt::ISODateWithMs)},
        {"port", port},
        {"serial", serial},
        {"product", product},
        {"revision_before", revision_before},
        {"revision_carried", revision_carried},
        {"outcome", outcome},
    };
    if (outcome != "started") {
        object.insert("write_ms", duration(write_ms));
        object.insert("verify_ms", duration(verify_ms));
        object.insert("write_exit_code", write_ms < 0 ? QJsonValue() : QJsonValue(write_exit_code));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n";
}

QString default_record_file() {
    // The window's application data folder carries the window's program name.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           "/kelvora-upgrade/upgrades.jsonl";
}

bool append_record_line(QString const& file, QByteArray const& line) {
    QString const folder = QFileInfo(file).absolutePath();
    bool const made =
        QFileInfo(folder).isDir() ||
        (QDir().mkpath(folder) &&
         QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    if (!made) {
        qWarning().noquote() << "Cannot make the record's folder" << folder << "; lost:" << line;
        return false;
    }
    int const fd = ::open(QFile::encodeName(file).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    struct stat before {};
    if (fd < 0 || ::fstat(fd, &before) != 0) {
        qWarning().noquote() << "Cannot open the record" << file << ":" << qt_error_string(errno)
                             << "; lost:" << line;
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    qint64 done = 0;
    while (done < line.size()) {
        ssize_t const n = ::write(fd, line.constData() + done, size_t(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    bool const whole = done == line.size();
    // Never leave a part of a line for the next one to continue.
    if (!whole && done > 0 && ::ftruncate(fd, before.st_size) != 0)
        qWarning() << "Cannot remove the part of a line written to" << file;
    bool const closed = ::close(fd) == 0;
    if (!whole || !closed)
        qWarning().noquote() << "Cannot write the record" << file << "; lost:" << line;
    return whole && closed;
}

} // namespace Flash
