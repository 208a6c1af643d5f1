#include "app/upgrade_record.h"

#include "control/sm_a.h"
#include "control/sm_b.h"
#include "control/worker_relay.h"
#include "device/unit_text.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes the folders of path that are missing, each private to the user as the record is.
bool make_private_folders(QString const& path, QString* cause) {
    if (QFileInfo(path).isDir())
        return true;
    QByteArray const native = QFile::encodeName(QDir::cleanPath(path));
    for (int end = 1; end <= native.size(); ++end) {
        if (end < native.size() && native[end] != '/')
            continue;
        if (::mkdir(native.left(end).constData(), 0700) != 0 && errno != EEXIST) {
            *cause = qt_error_string(errno);
            return false;
        }
    }
    return true;
}

// Appends line with one write on an O_APPEND descriptor. A file system that takes only part
// of it is asked for the rest, which completes the line or tells why it cannot; then the part
// written is cut off again, so that the next line does not start inside this one.
QString append_whole_line(QString const& file, QByteArray const& line) {
    int const fd = ::open(QFile::encodeName(file).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return qt_error_string(errno);
    struct stat before {};
    if (::fstat(fd, &before) != 0) {
        QString const cause = qt_error_string(errno);
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
    QString cause;
    if (error != 0) {
        cause = qt_error_string(error);
        if (done > 0 && ::ftruncate(fd, before.st_size) != 0)
            cause += ", and the part written could not be removed: " + qt_error_string(errno);
    }
    if (::close(fd) != 0 && cause.isEmpty())
        cause = qt_error_string(errno);
    return cause;
}

} // namespace

QByteArray UpgradeAttempt::json_line() const {
    auto duration = [](qint64 ms) { return ms < 0 ? QJsonValue() : QJsonValue(ms); };
    QJsonObject const object{
        {"attempt", id},
        {"time", time.toUTC().toString(Qt::ISODateWithMs)},
        {"serial", serial},
        {"product", product},
        {"revision_before", revision_before},
        {"revision_carried", revision_carried},
        {"outcome", outcome},
        {"write_ms", duration(write_ms)},
        {"verify_ms", duration(verify_ms)},
        {"write_exit_code", write_ms < 0 ? QJsonValue() : QJsonValue(write_exit_code)},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n";
}

QByteArray UpgradeAttempt::started_line() const {
    QJsonObject const object{
        {"attempt", id},
        {"time", time.toUTC().toString(Qt::ISODateWithMs)},
        {"serial", serial},
        {"product", product},
        {"revision_before", revision_before},
        {"revision_carried", revision_carried},
        {"outcome", "started"},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n";
}

UpgradeRecorder::UpgradeRecorder(SM_A* worker, SM_B* flow, QString file, QObject* parent)
    : QObject(parent), flow(flow), file_(std::move(file)) {
    // Another unit in the socket: the one of the attempt is gone. The flow machine has
    // copied the new unit's record by the time this runs.
    connect(flow->B1, &QState::exited, this, [this] {
        if (open && this->flow->device_info.serial != attempt.serial)
            close_attempt(RecordedOutcome::interrupted);
    });
    connect(flow->B3, &QState::entered, this, &UpgradeRecorder::open_attempt);
    connect(worker, &SM_A::sig_FwDownloading, this, [this] {
        if (open)
            write_clock.start();
    });
    connect(worker, &SM_A::sig_FwDownloadResult, this, [this](int exit_code) {
        if (!open)
            return;
        attempt.write_ms = write_clock.isValid() ? write_clock.elapsed() : 0;
        attempt.write_exit_code = exit_code;
    });
    connect(worker, &SM_A::sig_FwUploading, this, [this] {
        if (open && attempt.write_ms >= 0)
            verify_clock.start();
    });
    connect(flow->B6, &QState::entered, this, [this] { close_attempt(RecordedOutcome::done); });
    // The flow machine's verdict on an upgrade that did not end in "Done". A unit that is not
    // back in time may still come back and be checked: its attempt stays open.
    connect(flow->outcome, &UpgradeOutcome::sig_UpgradeFailed, this, [this](QString const& label) {
        if (label == "status_verifyFailed")
            close_attempt(RecordedOutcome::differs);
        else if (label == "status_writeFailed")
            close_attempt(RecordedOutcome::write_failed);
        else if (label == "status_checkInterrupted")
            close_attempt(RecordedOutcome::check_interrupted);
    });
    // Stopped by Q or Escape, or the run ends, in the middle of an attempt.
    connect(flow, &QStateMachine::stopped, this,
            [this] { close_attempt(RecordedOutcome::interrupted); });
    if (QCoreApplication* const app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this,
                [this] { close_attempt(RecordedOutcome::interrupted); });
}

UpgradeRecorder::~UpgradeRecorder() {
    close_attempt(RecordedOutcome::interrupted);
}

QString UpgradeRecorder::default_file() {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           "/upgrades.jsonl";
}

bool UpgradeRecorder::append(QString const& file, UpgradeAttempt const& attempt) {
    return append(file, attempt.json_line());
}

bool UpgradeRecorder::append(QString const& file, QByteArray const& line) {
    QString cause;
    if (make_private_folders(QFileInfo(file).absolutePath(), &cause))
        cause = append_whole_line(file, line);
    if (cause.isEmpty())
        return true;
    qWarning().noquote() << "Could not add to the upgrade record" << file + ":" << cause
                         << "- lost:" << Device::loggable(QString::fromUtf8(line).trimmed());
    return false;
}

void UpgradeRecorder::open_attempt() {
    if (open)
        close_attempt(RecordedOutcome::interrupted);
    DFU::DeviceInfo const& info = flow->device_info;
    attempt = UpgradeAttempt();
    attempt.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    attempt.time = QDateTime::currentDateTimeUtc();
    attempt.serial = info.serial;
    attempt.product = info.OTP_info.product_name();
    attempt.revision_before = info.FW_revision;
    attempt.revision_carried = SM_B::desired_revision;
    write_clock.invalidate();
    verify_clock.invalidate();
    open = true;
    append(file_, attempt.started_line());
}

void UpgradeRecorder::close_attempt(QString const& outcome) {
    if (!open)
        return;
    open = false;
    attempt.outcome = outcome;
    if (verify_clock.isValid() &&
        (outcome == RecordedOutcome::done || outcome == RecordedOutcome::differs ||
         outcome == RecordedOutcome::write_failed))
        attempt.verify_ms = verify_clock.elapsed();
    append(file_, attempt);
}
