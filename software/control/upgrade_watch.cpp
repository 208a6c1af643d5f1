#include "control/upgrade_watch.h"

#include "dfu/device_operations.h"

#include <QCoreApplication>

UpgradeWatch::UpgradeWatch(QObject* parent) : QObject(parent) {
    qRegisterMetaType<UpgradeResult>();
    return_timer.setSingleShot(true);
    connect(&return_timer, &QTimer::timeout, this, [this] {
        if (phase == Phase::restarting)
            finish(Outcome::not_back, Phase::not_back);
    });
    if (QCoreApplication* const app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &UpgradeWatch::abandon);
}

bool UpgradeWatch::following() const {
    return phase == Phase::writing || phase == Phase::restarting || phase == Phase::not_back ||
           phase == Phase::returned || phase == Phase::write_awaited;
}

void UpgradeWatch::finish(Outcome outcome, Phase next) {
    current.outcome = outcome;
    current.upgrade = following();
    current.may_return = outcome == Outcome::not_back && next == Phase::not_back;
    if (current.upgrade && verify_clock.isValid() &&
        (outcome == Outcome::done || outcome == Outcome::differs ||
         outcome == Outcome::write_failed))
        current.verify_ms = verify_clock.elapsed();
    phase = next;
    return_timer.stop();
    emit finished(current);
}

void UpgradeWatch::begin(DFU::DeviceInfo const& unit, QString const& revision_carried) {
    if (following())
        finish(Outcome::interrupted, Phase::none);
    current = UpgradeResult();
    current.serial = unit.serial;
    current.product = unit.OTP_info.product_name();
    current.revision_before = unit.FW_revision;
    current.revision_carried = revision_carried;
    current.upgrade = true;
    write_clock.invalidate();
    verify_clock.invalidate();
    phase = Phase::writing;
    emit started(current);
}

void UpgradeWatch::writing_started() {
    if (phase == Phase::writing)
        write_clock.start();
}

void UpgradeWatch::write_ended(int exit_code, bool all_sent) {
    if (phase != Phase::writing && phase != Phase::write_awaited)
        return;
    bool const stopped = phase == Phase::write_awaited;
    current.write_ms = write_clock.isValid() ? write_clock.elapsed() : 0;
    current.write_exit_code = exit_code;
    write_sent = DFU::WriteEnd{exit_code, all_sent}.followed();
    // Only a write that dfu-util reported complete is followed through the restart: the
    // unit's check tells how it ended, not dfu-util's exit code alone.
    if (!write_sent) {
        finish(Outcome::write_failed, Phase::write_failed);
        return;
    }
    // Complete, but the stopped flow follows no restart and no check.
    if (stopped) {
        finish(Outcome::interrupted, Phase::none);
        return;
    }
    phase = Phase::restarting;
    return_timer.start(return_timeout_ms);
}

void UpgradeWatch::unit_gone() {
    switch (phase) {
    case Phase::restarting:
        emit restarting(current.product);
        return;
    case Phase::not_back:
    case Phase::held:
    case Phase::write_failed:
    case Phase::write_awaited:
        // What the window says about the last upgrade or check stays while no unit is here.
        return;
    case Phase::writing:
    case Phase::returned:
        finish(Outcome::interrupted, Phase::none);
        break;
    case Phase::none:
        break;
    }
    emit idle();
}

void UpgradeWatch::unit_read(DFU::DeviceInfo const& unit) {
    return_timer.stop();
    bool const awaited = phase == Phase::restarting || phase == Phase::not_back;
    if ((awaited || phase == Phase::write_failed) && unit.serial == current.serial) {
        phase = Phase::returned;
        return;
    }
    // Another unit in the socket: the one written did not come back, and the window is the
    // new unit's.
    if (awaited)
        finish(Outcome::not_back, Phase::none);
    phase = Phase::none;
    current = UpgradeResult();
    current.serial = unit.serial;
    current.product = unit.OTP_info.product_name();
    current.revision_before = unit.FW_revision;
}

void UpgradeWatch::reading_started() {
    if (phase == Phase::returned)
        verify_clock.start();
}

void UpgradeWatch::other_revision() {
    // Back from the write with another revision: the write did not take.
    if (phase == Phase::returned)
        finish(Outcome::write_failed, Phase::none);
    phase = Phase::none;
}

void UpgradeWatch::checked(Outcome verdict) {
    // The read-back of a unit whose write failed differs because of that write.
    if (verdict == Outcome::differs && phase == Phase::returned && !write_sent)
        verdict = Outcome::write_failed;
    finish(verdict, verdict == Outcome::check_interrupted ? Phase::held : Phase::none);
}

void UpgradeWatch::not_upgradable() {
    if (following())
        finish(Outcome::interrupted, Phase::none);
    phase = Phase::none;
}

void UpgradeWatch::stop() {
    if (phase == Phase::writing) {
        phase = Phase::write_awaited;
        return;
    }
    abandon();
}

void UpgradeWatch::abandon() {
    if (phase == Phase::not_back)
        finish(Outcome::not_back, Phase::none);
    else if (following())
        finish(Outcome::interrupted, Phase::none);
    phase = Phase::none;
    return_timer.stop();
}
