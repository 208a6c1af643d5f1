#include "app/refuse_start.h"

#include "files/files.h"
#include "settings/settings.h"
#include "system/process_lock.h"
#include "system/quit_on_signal.h"

#include <QDebug>
#include <QMessageBox>

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

void refuse_second_instance() {
    static ProcessLock lock;
    switch (lock.take_instance()) {
    case ProcessLock::Taken:
        return;
    case ProcessLock::HeldByOther:
        refuse_to_start(start_up_message("error_running"));
    case ProcessLock::Failed:
        refuse_to_start(
            start_up_message("error_lock", ProcessLock::instance_path() + ": " + lock.error()));
    }
}

void end_start_up_on_signal() {
    if (int const signal_number = pending_termination_signal()) {
        qInfo() << "Signal" << signal_number << "received during start-up, ending";
        std::exit(128 + signal_number);
    }
}
