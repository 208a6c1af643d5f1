#include "app/upgrade_record.h"

#include "control/sm_a.h"
#include "control/sm_b.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

QByteArray UpgradeAttempt::json_line() const {
    auto duration = [](qint64 ms) { return ms < 0 ? QJsonValue() : QJsonValue(ms); };
    QJsonObject const object{
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

UpgradeRecorder::UpgradeRecorder(SM_A* worker, SM_B* flow, QString file, QObject* parent)
    : QObject(parent), flow(flow), file_(std::move(file)) {
    connect(worker, &SM_A::sig_ReadingUnit, this, [this](QString const& serial) {
        // Another unit in the socket: the one of the attempt is gone.
        if (open && serial != attempt.serial)
            close_attempt(UpgradeOutcome::interrupted);
        unit_serial = serial;
    });
    connect(flow->B3, &QState::entered, this, &UpgradeRecorder::open_attempt);
    connect(worker, &SM_A::sig_FwDownloading, this, [this] {
        if (open)
            write_clock.start();
    });
    connect(worker, &SM_A::sig_FwWriteEnded, this, [this](int exit_code) {
        if (!open)
            return;
        attempt.write_ms = write_clock.isValid() ? write_clock.elapsed() : 0;
        attempt.write_exit_code = exit_code;
    });
    connect(worker, &SM_A::sig_FwUploading, this, [this] {
        if (open && attempt.write_ms >= 0)
            verify_clock.start();
    });
    connect(flow->B6, &QState::entered, this, [this] { close_attempt(UpgradeOutcome::done); });
    connect(flow->B7, &QState::entered, this, [this] {
        close_attempt(attempt.write_exit_code == 0 ? UpgradeOutcome::differs
                                                   : UpgradeOutcome::write_failed);
    });
    // Back with another revision or product without a verify: the image did not take.
    for (QState* state : {flow->B2, flow->B8, flow->B9})
        connect(state, &QState::entered, this, [this] {
            if (open && attempt.write_ms >= 0)
                close_attempt(UpgradeOutcome::write_failed);
        });
    // Stopped by Q or Escape, or the run ends, in the middle of an attempt.
    connect(flow, &QStateMachine::stopped, this,
            [this] { close_attempt(UpgradeOutcome::interrupted); });
    if (QCoreApplication* const app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this,
                [this] { close_attempt(UpgradeOutcome::interrupted); });
}

UpgradeRecorder::~UpgradeRecorder() {
    close_attempt(UpgradeOutcome::interrupted);
}

QString UpgradeRecorder::default_file() {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           "/upgrades.jsonl";
}

bool UpgradeRecorder::append(QString const& file, UpgradeAttempt const& attempt) {
    QString const folder = QFileInfo(file).absolutePath();
    QFile out(file);
    bool const written =
        QDir().mkpath(folder) && out.open(QIODevice::WriteOnly | QIODevice::Append) &&
        out.write(attempt.json_line()) == attempt.json_line().size() && out.flush();
    if (!written)
        qWarning().noquote() << "Could not add to the upgrade record" << file + ":"
                             << (out.errorString().isEmpty() ? "no folder" : out.errorString())
                             << "- lost:" << QString::fromUtf8(attempt.json_line()).trimmed();
    return written;
}

void UpgradeRecorder::open_attempt() {
    if (open)
        close_attempt(UpgradeOutcome::interrupted);
    DFU::DeviceInfo const& info = flow->device_info;
    attempt = UpgradeAttempt();
    attempt.time = QDateTime::currentDateTimeUtc();
    attempt.serial = unit_serial;
    attempt.product = info.OTP_info.product_name();
    attempt.revision_before = info.FW_revision;
    attempt.revision_carried = SM_B::desired_revision;
    write_clock.invalidate();
    verify_clock.invalidate();
    open = true;
}

void UpgradeRecorder::close_attempt(QString const& outcome) {
    if (!open)
        return;
    open = false;
    attempt.outcome = outcome;
    if (verify_clock.isValid() &&
        (outcome == UpgradeOutcome::done || outcome == UpgradeOutcome::differs ||
         outcome == UpgradeOutcome::write_failed))
        attempt.verify_ms = verify_clock.elapsed();
    append(file_, attempt);
}
