#include "control/upgrade_record.h"

#include "control/upgrade_journal.h"
#include "control/upgrade_watch.h"
#include "device/unit_text.h"
#include "system/private_folder.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Appends line with one write on an O_APPEND descriptor of the user's own file, reached only
// along folders that nobody else can change. Appending and cutting back hold the file's lock,
// so that another writer (a thread or a process) never has a line cut away. A file system that
// takes only part of the line is asked for the rest, which completes it or tells why it cannot;
// then the part written is cut off again, so that the next line does not start inside this one.
QString append_whole_line(QString const& file, QByteArray const& line) {
    QFileInfo const info(file);
    QString cause;
    int const folder = System::open_private_folder(info.absolutePath(), &cause);
    if (folder < 0)
        return cause;
    int const fd =
        System::open_private_file(folder, info.fileName(), O_WRONLY | O_APPEND | O_CREAT, &cause);
    ::close(folder);
    if (fd < 0)
        return info.fileName() + ": " + cause;
    int locked = 0;
    while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR)
        ;
    struct stat before {};
    if (locked != 0 || ::fstat(fd, &before) != 0) {
        cause = qt_error_string(errno);
        ::close(fd);
        return cause;
    }
    qint64 done = 0;
    int error = 0;
    while (done < line.size()) {
        ssize_t const n = ::write(fd, line.constData() + done, size_t(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += n;
    }
    if (error != 0) {
        cause = qt_error_string(error);
        if (done > 0 && ::ftruncate(fd, before.st_size) != 0)
            cause += ", and the part written could not be removed: " + qt_error_string(errno);
    }
    // Closing the last descriptor lets the lock go.
    if (::close(fd) != 0 && cause.isEmpty())
        cause = qt_error_string(errno);
    return cause;
}

} // namespace

namespace {

// The fields that both lines of an attempt carry.
QJsonObject attempt_fields(UpgradeAttempt const& attempt, QString const& outcome) {
    QJsonObject object{
        {"attempt", attempt.id},
        {"time", attempt.time.toUTC().toString(Qt::ISODateWithMs)},
        {"serial", attempt.serial},
        {"product", attempt.product},
        {"revision_before", attempt.revision_before},
        {"revision_carried", attempt.revision_carried},
        {"outcome", outcome},
    };
    if (!attempt.port.isEmpty())
        object.insert("port", attempt.port);
    if (!attempt.slot.isEmpty())
        object.insert("slot", attempt.slot);
    return object;
}

QByteArray line_of(QJsonObject const& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n";
}

} // namespace

UpgradeAttempt UpgradeAttempt::begin(QString const& serial, QString const& product,
                                     QString const& revision_before,
                                     QString const& revision_carried) {
    UpgradeAttempt attempt;
    attempt.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    attempt.time = QDateTime::currentDateTimeUtc();
    attempt.serial = serial;
    attempt.product = product;
    attempt.revision_before = revision_before;
    attempt.revision_carried = revision_carried;
    attempt.outcome = record_text(Outcome::interrupted);
    return attempt;
}

QByteArray UpgradeAttempt::json_line() const {
    auto duration = [](qint64 ms) { return ms < 0 ? QJsonValue() : QJsonValue(ms); };
    QJsonObject object = attempt_fields(*this, outcome);
    object.insert("write_ms", duration(write_ms));
    object.insert("verify_ms", duration(verify_ms));
    object.insert("write_exit_code", write_ms < 0 ? QJsonValue() : QJsonValue(write_exit_code));
    object.insert("tool", tool);
    object.insert("image_sha256", image_sha256);
    object.insert("ended", ended.isValid() ? QJsonValue(ended.toUTC().toString(Qt::ISODateWithMs))
                                           : QJsonValue());
    return line_of(object);
}

QString UpgradeAttempt::this_tool() {
    return QCoreApplication::applicationName() + " " KELVORA_VERSION;
}

QString UpgradeAttempt::sha256_of(QByteArray const& image) {
    return QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
}

QByteArray UpgradeAttempt::started_line() const {
    return line_of(attempt_fields(*this, "started"));
}

UpgradeRecorder::UpgradeRecorder(UpgradeWatch* watch, QString file, QString image_sha256,
                                 QObject* parent)
    : QObject(parent), file_(std::move(file)), image_sha256_(std::move(image_sha256)) {
    connect(watch, &UpgradeWatch::started, this, &UpgradeRecorder::open_attempt);
    connect(watch, &UpgradeWatch::finished, this, &UpgradeRecorder::close_attempt);
}

UpgradeRecorder::~UpgradeRecorder() {
    if (open)
        append(file_, attempt);
}

QString UpgradeRecorder::default_file() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           "/kelvora-upgrade/upgrades.jsonl";
}

bool UpgradeRecorder::append(QString const& file, UpgradeAttempt attempt) {
    if (!attempt.ended.isValid())
        attempt.ended = QDateTime::currentDateTimeUtc();
    UpgradeJournal::send(attempt);
    return append(file, attempt.json_line());
}

bool UpgradeRecorder::append(QString const& file, QByteArray const& line) {
    QString const cause = append_whole_line(file, line);
    if (cause.isEmpty())
        return true;
    qWarning().noquote() << "Could not add to the upgrade record" << file + ":" << cause
                         << "- lost:" << Device::loggable(QString::fromUtf8(line).trimmed());
    return false;
}

void UpgradeRecorder::open_attempt(UpgradeResult const& started) {
    attempt = UpgradeAttempt::begin(started.serial, started.product, started.revision_before,
                                    started.revision_carried);
    attempt.image_sha256 = image_sha256_;
    open = true;
    append(file_, attempt.started_line());
}

void UpgradeRecorder::close_attempt(UpgradeResult const& result) {
    // A unit that is not back in time may still come back and be checked.
    if (!open || !result.upgrade || result.may_return)
        return;
    open = false;
    attempt.outcome = record_text(result.outcome);
    attempt.write_ms = result.write_ms;
    attempt.verify_ms = result.verify_ms;
    attempt.write_exit_code = result.write_exit_code;
    append(file_, attempt);
}
