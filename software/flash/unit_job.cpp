#include "flash/unit_job.h"

#include "control/outcome.h"
#include "control/upgrade_record.h"
#include "device/unit_text.h"
#include "dfu/device_operations.h"
#include "files/files.h"
#include "files/support_misc.h"
#include "system/quit_on_signal.h"

#include <QElapsedTimer>
#include <QThread>

namespace Flash {

namespace {

bool stopping() {
    return pending_termination_signal() != 0;
}

DFU::Address address(ListedUnit const& unit) {
    return DFU::Address::at_port(unit.port);
}

Event event(ListedUnit const& unit, Event::Kind kind, QString const& reason = {}) {
    Event e;
    e.unit = unit.port;
    e.slot = unit.slot;
    e.serial = unit.serial;
    e.kind = kind;
    e.reason = reason;
    return e;
}

DFU::ProgressHandler reporting(ListedUnit const& unit, Event::Kind kind, Sink const& sink) {
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

// The last event of a unit that reached an outcome; done says what was done.
Event ended(ListedUnit const& unit, Outcome outcome, QString const& done, Sink const& sink) {
    return finish(outcome == Outcome::done ? event(unit, Event::done, done)
                                           : event(unit, Event::failed, record_text(outcome)),
                  sink);
}

DFU::Readback read_back(ListedUnit const& unit, JobSettings const& settings, Sink const& sink) {
    return DFU::read_back(settings.image,
                          DFU::working_file(Files::uploaded_FW_fileName_bin, address(unit)),
                          address(unit), reporting(unit, Event::verifying, sink));
}

// Lists the unit's port after udev reported a unit arriving there since `seen`: udev may set
// the access a moment after its event, so a listing without the unit or with the unit refused
// is tried again a few times. Without an arrival, only a listing every 10 s.
bool back_by_event(ListedUnit const& unit, int wait_ms, Bus::Arrivals const& arrivals, int seen) {
    QElapsedTimer clock;
    clock.start();
    qint64 safety_at = 10000;
    while (!stopping() && clock.elapsed() < wait_ms) {
        bool const arrived = arrivals.wait_beyond(unit.port, seen, 100);
        if (!arrived && clock.elapsed() < safety_at)
            continue;
        safety_at = clock.elapsed() + 10000;
        seen = arrivals.count(unit.port);
        for (int attempt = 0; attempt < (arrived ? 5 : 1) && !stopping(); ++attempt) {
            if (attempt > 0)
                QThread::msleep(500);
            ListedUnit const back = unit_on_port(unit.port);
            if (!back.port.isEmpty() && back.refused.isEmpty())
                return back.serial == unit.serial;
        }
    }
    return false;
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
        QThread::msleep(100);
    }
    return false;
}

void record_start(JobSettings const& settings, UpgradeAttempt const& attempt) {
    if (!settings.record_file.isEmpty())
        UpgradeRecorder::append(settings.record_file, attempt.started_line());
}

void record_end(JobSettings const& settings, UpgradeAttempt const& attempt) {
    if (!settings.record_file.isEmpty())
        UpgradeRecorder::append(settings.record_file, attempt);
}

} // namespace

DFU::DeviceInfo read_identity(ListedUnit const& unit) {
    DFU::DeviceInfo info;
    info.serial = unit.serial;
    DFU::read_device_info(address(unit), &info);
    return info;
}

Event found_event(ListedUnit const& unit, DFU::DeviceInfo const& info,
                  Device::FW_Info const& carried) {
    Event e = event(unit, Event::found);
    Device::OTP_Info const& otp = info.OTP_info;
    e.product = otp.valid ? otp.product_name() : QString();
    e.revision = info.FW_revision;
    e.carried_for_it = otp.valid && carried.valid && otp.product.type == carried.product.type;
    return e;
}

Event upgrade_unit(ListedUnit const& unit, JobSettings const& settings, Sink const& sink) {
    if (stopping())
        return finish(event(unit, Event::skipped, "stopped"), sink);
    DFU::DeviceInfo const info = read_identity(unit);
    if (!info.valid)
        return finish(event(unit, Event::failed, "cannot read the unit"), sink);
    Event const found = found_event(unit, info, settings.carried);
    sink(found);
    if (info.OTP_info.blank || !info.OTP_info.valid)
        return finish(event(unit, Event::skipped, "no identity"), sink);
    if (!found.carried_for_it)
        return finish(event(unit, Event::skipped, "another product"), sink);

    // As the window decides: the carried revision is read back first, any other written at once.
    if (info.FW_revision == settings.carried.revision) {
        DFU::Readback const verdict = read_back(unit, settings, sink);
        if (verdict != DFU::Readback::differs)
            return ended(unit, outcome_of(verdict), "already current", sink);
    }
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

    UpgradeAttempt attempt = UpgradeAttempt::begin(unit.serial, found.product, found.revision,
                                                   settings.carried.revision);
    attempt.port = unit.port;
    attempt.slot = unit.slot;
    attempt.image_sha256 = settings.image_sha256;
    record_start(settings, attempt);
    auto close = [&](Outcome outcome) {
        attempt.outcome = record_text(outcome);
        record_end(settings, attempt);
        return ended(unit, outcome, "written", sink);
    };

    // An arrival on the port from here on is the unit's return.
    int const arrivals_seen = settings.arrivals ? settings.arrivals->count(unit.port) : 0;
    QElapsedTimer clock;
    clock.start();
    DFU::WriteEnd const end = DFU::download_FW_to_device(settings.image_file, address(unit),
                                                         reporting(unit, Event::writing, sink));
    attempt.write_exit_code = end.code;
    attempt.write_ms = clock.elapsed();
    if (!end.followed())
        return close(Outcome::write_failed);
    bool const back = settings.arrivals ? back_by_event(unit, settings.return_wait_ms,
                                                        *settings.arrivals, arrivals_seen)
                                        : back_on_port(unit, settings.return_wait_ms);
    if (!back)
        return close(stopping() ? Outcome::interrupted : Outcome::not_back);

    clock.restart();
    DFU::Readback const verdict = read_back(unit, settings, sink);
    if (verdict != DFU::Readback::cut)
        attempt.verify_ms = clock.elapsed();
    return close(outcome_of(verdict));
}

Event check_unit(ListedUnit const& unit, JobSettings const& settings, Sink const& sink) {
    if (stopping())
        return finish(event(unit, Event::skipped, "stopped"), sink);
    return ended(unit, outcome_of(read_back(unit, settings, sink)), "matches the carried image",
                 sink);
}

JobSettings carried_job_settings() {
    JobSettings settings;
    settings.image_file = Files::path_of(Files::desired_FW_bin);
    settings.image = support_misc::read_binary_file(settings.image_file);
    settings.image_sha256 = UpgradeAttempt::sha256_of(settings.image);
    settings.carried = DFU::desired_FW_Info();
    settings.record_file = UpgradeRecorder::default_file();
    return settings;
}

} // namespace Flash
