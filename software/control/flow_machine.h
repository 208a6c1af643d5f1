#pragma once

#include "control/upgrade_watch.h"
#include "control/worker.h"
#include "control/worker_relay.h"
#include "dfu/device_info.h"

#include <QState>
#include <QStateMachine>
#include <QString>

// The upgrade flow as the user sees it. Runs on the GUI thread and follows the worker's
// signals; the transitions out of B1 are guarded by what the worker read from the unit.
//
//   B1 no unit -> B9 blank OTP | B8 other product | B2 other revision | B4 same revision
//   B2, B7, B9 --sig_DoDownload--> B3 (download) --sig_NoDevConn--> B1
//   B4 (verify) -> B6 matches | B7 differs | B5 read-back cut short; removing the unit
//   leads back to B1
//
// Each state reports to the watch, which follows one upgrade from the click to its verdict
// and tells how it ended.
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

    // Follows each upgrade and tells how it ended; owned by the machine.
    UpgradeWatch* watch;

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
    DFU::DeviceInfo reported_info;
    WorkerRelay* relay; // owned by the machine
};

// The flow machine of the running application; owned by start-up. The guards read the
// reported record through it.
extern SM_B* sm_B;
