#pragma once

#include "control/sm_a.h"
#include "control/worker_relay.h"
#include "dfu/device_info.h"

#include <QState>
#include <QStateMachine>
#include <QString>
#include <QTimer>

// The upgrade flow as the user sees it. Runs on the GUI thread and follows the worker's
// signals; the transitions out of B1 are guarded by what the worker read from the unit.
//
//   B1 no unit -> B9 blank OTP | B8 other product | B2 other revision | B4 same revision
//   B2, B7, B9 --sig_DoDownload--> B3 (download) --sig_NoDevConn--> B1
//   B4 (verify) -> B6 matches | B7 differs | B5 read-back cut short; removing the unit
//   leads back to B1
//
// Besides the states, the machine follows one upgrade from the click to its verdict: the
// unit it was started for, the download's exit code and whether the unit is restarting
// after the write. Every way an upgrade can end without "Done" is announced once by
// sig_UpgradeFailed, and the window keeps showing it until the user acts or the unit goes.
class SM_B : public QStateMachine {
    Q_OBJECT

public:
    SM_B(SM_A* worker, Device::Type desired_ID, QString desired_revision);
    ~SM_B() override;

    QState* B1;
    QState* B2;
    QState* B3;
    QState* B4;
    QState* B6;
    QState* B7;
    QState* B8;
    QState* B9;
    // The read-back ended early: nothing is offered, and the unit is checked when it is
    // connected again.
    QState* B5;

    // The connected unit's record, copied when the machine leaves B1; empty in B1.
    DFU::DeviceInfo device_info;
    SM_A* worker;

    // What the carried firmware is built for; a new machine overwrites them.
    static Device::Type desired_ID;
    static QString desired_revision;

    // The record that the worker's latest sig_DevConn reported. The guards and the copy on
    // leaving B1 read this, never the worker's own record. GUI thread only.
    DFU::DeviceInfo const& reported_device_info() const { return reported_info; }

    void add_connections();
    void enable_debug_output();

    // The unit was written and has not been seen again yet: it restarts.
    bool restarting() const { return phase == Phase::restarting; }
    // The last check was cut short and no unit has been connected since: what the window says
    // about it stays while no unit is attached.
    bool check_interrupted() const { return phase == Phase::check_cut; }

    // Emits each upgrade or check that ended without "Done"; owned by the machine.
    UpgradeOutcome* outcome;

    // How long a unit may take to come back after the write before that counts as a failure.
    int return_timeout_ms = 20000;

signals:
    void sig_UpgradeImpossible();
    void sig_UpgradePossible();
    void sig_DifferingRevision();
    void sig_DoDownload();
    void sig_UploadingVerifying();
    void sig_FwMatches();
    void sig_FwDiffers();
    void sig_DeviceConnected();
    void sig_InvalidProduct();

public slots:
    void do_download();

private:
    enum class Phase { none, requested, restarting, not_back, returned, check_cut };
    Phase phase = Phase::none;
    QString upgrade_serial;  // the unit the last download was given for
    QString upgrade_product; // its product name
    int upgrade_code = 0;    // the download's exit code
    QTimer return_timer;

    void fail(QString const& label, QString const& product);

    DFU::DeviceInfo reported_info;
    WorkerRelay* relay; // owned by the machine
};

// The flow machine of the running application; owned by start-up. The guards read the
// reported record through it.
extern SM_B* sm_B;
