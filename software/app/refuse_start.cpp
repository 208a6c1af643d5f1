#include "app/refuse_start.h"

#include "files/files.h"
#include "settings/settings.h"
#include "system/process_lock.h"
#include "system/quit_on_signal.h"

#include <QDebug>
#include <QDir>
#include <QMessageBox>
#include <QStandardPaths>

#include <cstdlib>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

QString start_up_message(QString const& id, QString const& detail) {
    QString text;
    try {
        text = Settings::make_GUI(":resources/settings_GUI.json").text(id);
    } catch (QString const&) {
    }
    if (text.isEmpty())
        text = id + " %1";
    return detail.isEmpty() ? text : text.arg(detail);
}

void refuse_to_start(QString const& message) {
    qCritical().noquote() << message;
    QMessageBox box(QMessageBox::Critical, "Kelvora Firmware Upgrade Tool", message,
                    QMessageBox::Ok);
    // A termination signal ends the dialog's loop like it ends the main one.
    quit_event_loop_on_termination_signals();
    if (!pending_termination_signal())
        box.exec();
    std::exit(EXIT_FAILURE);
}

void refuse_start_without_working_dir() {
    if (!Files::external_dir.isValid())
        refuse_to_start(start_up_message("error_workDir", Files::external_dir.errorString()));
}

namespace {

// Per user and session in Qt's runtime folder. Qt gives none when the folder it would use is
// missing or another user's (anybody can make /tmp/runtime-<user> first); then a file of this
// user in the checked working base, never a path relative to the current folder.
QString instance_lock_path() {
    QString const folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!folder.isEmpty() && QDir::isAbsolutePath(folder))
        return QDir(folder).filePath("kelvora-upgrade.lock");
    QString const base = Files::external_dir.base();
    qInfo() << "No runtime folder; the instance lock lives in" << base;
#ifdef Q_OS_UNIX
    QString const user = QString::number(::geteuid());
#else
    QString const user = qEnvironmentVariable("USERNAME");
#endif
    return base + "/kelvora-upgrade-" + user + ".lock";
}

} // namespace

void refuse_second_instance() {
    QString const path = instance_lock_path();
    static ProcessLock lock;
    switch (lock.take(path, true)) {
    case ProcessLock::Taken:
        return;
    case ProcessLock::HeldByOther:
        refuse_to_start(start_up_message("error_running"));
    case ProcessLock::Failed:
        refuse_to_start(start_up_message("error_lock", path + ": " + lock.error()));
    }
}

void end_start_up_on_signal() {
    if (int const signal_number = pending_termination_signal()) {
        qInfo() << "Signal" << signal_number << "received during start-up, ending";
        std::exit(128 + signal_number);
    }
}
