#pragma once

#include "control/outcome.h"
#include "dfu/device_info.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// One upgrade, or one check of a unit, as the watch tells it.
struct UpgradeResult {
    Outcome outcome = Outcome::interrupted;
    bool upgrade = false; // an upgrade started by a click; false: a check of a unit as found
    QString serial;       // as dfu-util lists it
    QString product;
    QString revision_before;
    QString revision_carried;
    int write_exit_code = -1; // dfu-util's exit code; -1: it did not end normally or not run
    qint64 write_ms = -1;     // -1: no write ended
    qint64 verify_ms = -1;    // -1: no verify ended
    // not_back only: the unit may still come back and be checked, so the attempt stays open.
    // False once nothing more will be heard of it: the run ended, or another unit came.
    bool may_return = false;
};
Q_DECLARE_METATYPE(UpgradeResult)

// Follows one upgrade from the click to its verdict: the unit it was started for, the
// download's exit code, the unit's restart after the write (bounded by a timer) and the
// check that follows. The flow machine's states report to it, one call each; it tells the
// rest of the program by its signals only. GUI thread only, no widgets.
class UpgradeWatch : public QObject {
    Q_OBJECT

public:
    explicit UpgradeWatch(QObject* parent);

    // How long a unit may take to come back after the write before that counts as a failure.
    int return_timeout_ms = 20000;

    // The flow's reports, in the order the flow makes them.
    void begin(DFU::DeviceInfo const& unit, QString const& revision_carried);
    // A write that sent every block is followed to its check whatever the exit code.
    void write_ended(int exit_code, bool all_sent = false);
    void unit_gone();
    void unit_read(DFU::DeviceInfo const& unit);
    // The unit shows another revision than the carried one.
    void other_revision();
    // The read-back's verdict: done, differs or check_interrupted.
    void checked(Outcome verdict);
    // The unit cannot be upgraded by this tool (another product, or a blank one).
    void not_upgradable();
    // The flow stopped: a write under way is awaited, as the worker ends only after it and
    // its result belongs to the attempt; anything else is abandoned.
    void stop();
    // The run ends, or the worker has ended: an upgrade under way ends as interrupted, and a
    // unit that is not back in time as not back.
    void abandon();

public slots:
    void writing_started();
    void reading_started();

signals:
    // A click started an upgrade; the result holds the unit and the carried revision.
    void started(UpgradeResult attempt);
    // The write is complete (whatever dfu-util's exit code) and the unit was let go: it restarts.
    void restarting(QString product);
    // No unit is attached and nothing is followed: the window may say so.
    void idle();
    // An upgrade or a check has ended. An upgrade may be told more than once: a unit that
    // is not back in time may still come back and be checked, and the check of a unit whose
    // write failed tells of that write again. Only the first end that is not a not_back with
    // may_return closes the attempt.
    void finished(UpgradeResult result);

private:
    // held: a verdict stays on the window while no unit is attached; write_failed: so does
    // a failed write, and when that unit is read again, its check tells of the write;
    // write_awaited: the flow stopped during the write, whose result ends the attempt.
    enum class Phase {
        none,
        writing,
        restarting,
        not_back,
        returned,
        held,
        write_failed,
        write_awaited
    };
    bool following() const;
    void finish(Outcome outcome, Phase next);

    Phase phase = Phase::none;
    bool write_sent = false; // the last write sent every block
    UpgradeResult current;   // the upgrade followed, or the unit read last
    QTimer return_timer;
    QElapsedTimer write_clock;
    QElapsedTimer verify_clock;
};
