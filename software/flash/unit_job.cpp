#include "flash/unit_job.h"

#include "control/outcome.h"
#include "control/upgrade_record.h"
#include "device/unit_text.h"
#include "files/support_misc.h"
#include "flash/port_commands.h"
#include "system/quit_on_signal.h"

#include <QElapsedTimer>
#include <QThread>
#include <QUuid>

namespace Flash {

namespace {

QString unit_file(QString const& folder, QString const& what, QString const& port) {
    return folder + "/" + what + "_" + port + ".bin";
}

bool stopping() {
    return pending_termination_signal() != 0;
}

Event event(ListedUnit const& unit, Event::Kind kind, QString const& reason = {}) {
    Event e;
    e.unit = unit.port;
    e.serial = unit.serial;
    e.kind = kind;
    e.reason = reason;
    return e;
}

Percent reporting(ListedUnit const& unit, Event::Kind kind, Sink const& sink) {
    return [&unit, kind, &sink](int percent) {
        Event e = event(unit, kind);
        e.percent = percent;
        sink(e);
    };
}

Event finish(Event const& last, Sink const& sink) {
    sink(last);
    return last;
}

// Waits for the unit to be listed on its port again after it left its bootloader; only that
// port is listed. The serial it shows then must be the one it had.
bool back_on_port(ListedUnit const& unit, int wait_ms) {
    QElapsedTimer clock;
    clock.start();
    // It needs a moment to leave the bus at all.
    QThread::msleep(300);
    while (!stopping() && clock.elapsed() < wait_ms) {
        ListedUnit const back = unit_on_port(unit.port);
        if (!back.port.isEmpty())
            return back.refused.isEmpty() && back.serial == unit.serial;
        QThread::msleep(250);
    }
    return false;
}

void record(JobSettings const& settings, QByteArray const& line) {
    if (!settings.record_file.isEmpty())
        UpgradeRecorder::append(settings.record_file, line);
}

} // namespace

Identity read_identity(ListedUnit const& unit, QString const& folder) {
    Identity identity;
    QString const otp_file = unit_file(folder, "otp", unit.port);
    if (!read_otp(unit.port, otp_file))
        return identity;
    identity.read = true;
    identity.otp = Device::make_OTP_Info(otp_file);
    QString const info_file = unit_file(folder, "info", unit.port);
    if (read_info_block(unit.port, info_file))
        identity.info = Device::make_FW_Info(info_file);
    return identity;
}

Event found_event(ListedUnit const& unit, Identity const& identity,
                  Device::FW_Info const& carried) {
    Event e = event(unit, Event::found);
    e.product = identity.otp.valid ? identity.otp.product_name() : QString();
    e.revision = identity.info.valid ? identity.info.revision : QString();
    e.carried_for_it =
        identity.otp.valid && carried.valid && identity.otp.product.type == carried.product.type;
    return e;
}

Event upgrade_unit(ListedUnit const& unit, JobSettings const& settings, Sink const& sink) {
    if (stopping())
        return finish(event(unit, Event::skipped, "stopped"), sink);
    Identity const identity = read_identity(unit, settings.folder);
    if (!identity.read)
        return finish(event(unit, Event::failed, "cannot read the unit"), sink);
    Event const found = found_event(unit, identity, settings.carried);
    sink(found);
    if (identity.otp.blank || !identity.otp.valid)
        return finish(event(unit, Event::skipped, "no identity"), sink);
    if (!found.carried_for_it)
        return finish(event(unit, Event::skipped, "another product"), sink);

    QString const readback = unit_file(settings.folder, "flash", unit.port);
    if (!read_flash(unit.port, readback, settings.image.size(), {}))
        return finish(event(unit, Event::failed, "cannot read the flash"), sink);
    if (support_misc::read_binary_file(readback) == settings.image)
        return finish(event(unit, Event::done, "already current"), sink);
    if (settings.dry_run)
        return finish(event(unit, Event::skipped, "dry run: would write"), sink);
    // The listing that chose the unit may be minutes old: the port must still show that unit.
    ListedUnit const now = unit_on_port(unit.port);
    if (stopping()) // which also cuts that listing short
        return finish(event(unit, Event::skipped, "stopped"), sink);
    if (!now.refused.isEmpty())
        return finish(event(unit, Event::failed, now.refused), sink);
    if (now.port.isEmpty())
        return finish(event(unit, Event::failed, "no longer listed on its port; not written"),
                      sink);
    if (now.serial != unit.serial)
        return finish(event(unit, Event::failed,
                            QString("the port now shows serial \"%1\"; not written")
                                .arg(Device::loggable(now.serial))),
                      sink);

    UpgradeAttempt attempt;
    attempt.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    attempt.time = QDateTime::currentDateTimeUtc();
    attempt.port = unit.port;
    attempt.serial = unit.serial;
    attempt.product = found.product;
    attempt.revision_before = found.revision;
    attempt.revision_carried = settings.carried.revision;
    record(settings, attempt.started_line());

    QElapsedTimer clock;
    clock.start();
    attempt.write_exit_code =
        write_flash(unit.port, settings.image_file, reporting(unit, Event::writing, sink));
    attempt.write_ms = clock.elapsed();
    auto close = [&](Outcome outcome, Event::Kind kind, QString const& reason) {
        attempt.outcome = record_text(outcome);
        record(settings, attempt.json_line());
        return finish(event(unit, kind, reason), sink);
    };
    if (attempt.write_exit_code != 0)
        return close(Outcome::write_failed, Event::failed,
                     QString("write failed (dfu-util exit %1)").arg(attempt.write_exit_code));
    if (!back_on_port(unit, settings.return_wait_ms))
        return stopping() ? close(Outcome::interrupted, Event::failed,
                                  "stopped after the write, not verified")
                          : close(Outcome::not_back, Event::failed, "not back");

    clock.restart();
    bool const read = read_flash(unit.port, readback, settings.image.size(),
                                 reporting(unit, Event::verifying, sink));
    attempt.verify_ms = clock.elapsed();
    if (!read)
        return close(Outcome::check_interrupted, Event::failed, "read-back failed");
    if (support_misc::read_binary_file(readback) != settings.image)
        return close(Outcome::differs, Event::failed, "the read-back differs");
    return close(Outcome::done, Event::done, "written");
}

Event check_unit(ListedUnit const& unit, JobSettings const& settings, Sink const& sink) {
    if (stopping())
        return finish(event(unit, Event::skipped, "stopped"), sink);
    QString const readback = unit_file(settings.folder, "flash", unit.port);
    if (!read_flash(unit.port, readback, settings.image.size(),
                    reporting(unit, Event::verifying, sink)))
        return finish(event(unit, Event::failed, "read-back failed"), sink);
    if (support_misc::read_binary_file(readback) != settings.image)
        return finish(event(unit, Event::failed, "differs from the carried image"), sink);
    return finish(event(unit, Event::done, "matches the carried image"), sink);
}

} // namespace Flash
