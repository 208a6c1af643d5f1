#include "control/flow_machine.h"

#include "control/guarded_transition.h"
#include "files/build_switches.h"

#include <QDebug>

#include <cstdio>

SM_B* sm_B = nullptr;

Device::Type SM_B::desired_ID = Device::Type::invalid;
QString SM_B::desired_revision;

namespace {

DFU::DeviceInfo const* checked_info() {
    return sm_B ? &sm_B->reported_device_info() : nullptr;
}

bool device_has_valid_type(DFU::DeviceInfo const& info) {
    std::printf("device_has_valid_type(%i): valid %i, device_type: %i\n",
                static_cast<int>(SM_B::desired_ID), static_cast<int>(info.valid),
                static_cast<int>(info.device_type));
    // Keeps the trace in step with the log on stderr when stdout is not a terminal.
    std::fflush(stdout);
    return info.valid && info.device_type == SM_B::desired_ID;
}

bool guard_blank_OTP() {
    DFU::DeviceInfo const* info = checked_info();
    return info && info->OTP_info.blank;
}

bool guard_invalid_product() {
    DFU::DeviceInfo const* info = checked_info();
    return info && info->valid && !device_has_valid_type(*info);
}

bool guard_differing_revision() {
    DFU::DeviceInfo const* info = checked_info();
    return info && device_has_valid_type(*info) && info->FW_revision != SM_B::desired_revision;
}

bool guard_same_revision() {
    DFU::DeviceInfo const* info = checked_info();
    return info && device_has_valid_type(*info) && info->FW_revision == SM_B::desired_revision;
}

} // namespace

SM_B::SM_B(SM_A* worker, Device::Type desired_ID, QString desired_revision)
    : QStateMachine(nullptr), worker(worker) {
    SM_B::desired_ID = desired_ID;
    SM_B::desired_revision = desired_revision;

    auto make_state = [this](char const* name) {
        auto* state = new QState();
        state->setObjectName(name);
        addState(state);
        return state;
    };
    B1 = make_state("B1: No (DFU-SE) dev. conn.");
    B2 = make_state("B2: Conn. to (DFU-SE) dev. with diff. FW rev.");
    B3 = make_state("B3: Upgrading FW");
    B4 = make_state("B4: Uploading and verifying FW");
    B6 = make_state("B6: FW in dev. matches");
    B7 = make_state("B7: FW in dev. differs");
    B8 = make_state("B8: Invalid (DFU-SE) dev. conn.");
    B9 = make_state("B9: Conn. to (DFU-SE) dev. with Empty OTP.");
    B5 = make_state("B5: FW check interrupted");
    setInitialState(B1);

    // Every report of the worker goes through the relay: queued, in emission order, and
    // each record of sig_DevConnInfo arrives right before the sig_DevConn it belongs to.
    relay = new WorkerRelay(this);
    watch = new UpgradeWatch(this);
    connect(worker, &SM_A::sig_DevConnInfo, this,
            [this](DFU::DeviceInfo const& info) { reported_info = info; });
    connect(worker, &SM_A::sig_NoDevConn, relay, &WorkerRelay::sig_NoDevConn);
    connect(worker, &SM_A::sig_DevConn, relay, &WorkerRelay::sig_DevConn);
    connect(worker, &SM_A::sig_FwUploadedDiffers, relay, &WorkerRelay::sig_FwUploadedDiffers);
    connect(worker, &SM_A::sig_FwUploadedMatches, relay, &WorkerRelay::sig_FwUploadedMatches);
    connect(worker, &SM_A::sig_FwDownloadResult, relay, &WorkerRelay::sig_FwDownloadResult);
    connect(worker, &SM_A::sig_FwUploadCut, relay, &WorkerRelay::sig_FwUploadCut);
    connect(worker, &SM_A::sig_FwDownloading, watch, &UpgradeWatch::writing_started);
    connect(worker, &SM_A::sig_FwUploading, watch, &UpgradeWatch::reading_started);
    // The result comes before the sig_NoDevConn that takes the machine from B3 to B1.
    connect(relay, &WorkerRelay::sig_FwDownloadResult, watch, &UpgradeWatch::write_ended);
    // A stopped machine follows no upgrade: what the window says after a stop stands. A write
    // under way ends first, and the worker's last report comes after its result.
    connect(this, &QStateMachine::stopped, watch, &UpgradeWatch::stop);
    connect(worker, &SM_A::sig_Stopped, watch, &UpgradeWatch::abandon);

    struct Guarded {
        QState* target;
        GuardedTransition::Guard guard;
    };
    for (Guarded const& g :
         {Guarded{B9, guard_blank_OTP}, Guarded{B8, guard_invalid_product},
          Guarded{B2, guard_differing_revision}, Guarded{B4, guard_same_revision}}) {
        auto* t = new GuardedTransition(relay, SIGNAL(sig_DevConn()), g.guard);
        B1->addTransition(t);
        t->setTargetState(g.target);
    }

    B2->addTransition(this, &SM_B::sig_DoDownload, B3);
    B2->addTransition(relay, &WorkerRelay::sig_NoDevConn, B1);
    B3->addTransition(relay, &WorkerRelay::sig_NoDevConn, B1);
    B4->addTransition(relay, &WorkerRelay::sig_FwUploadedMatches, B6);
    B4->addTransition(relay, &WorkerRelay::sig_FwUploadedDiffers, B7);
    B4->addTransition(relay, &WorkerRelay::sig_FwUploadCut, B5);
    // A unit gone before its check: the verify command is dropped by the worker, and the next
    // unit goes through the guards like any other.
    B4->addTransition(relay, &WorkerRelay::sig_NoDevConn, B1);
    B6->addTransition(relay, &WorkerRelay::sig_NoDevConn, B1);
    B7->addTransition(this, &SM_B::sig_DoDownload, B3);
    B7->addTransition(relay, &WorkerRelay::sig_NoDevConn, B1);
    B8->addTransition(relay, &WorkerRelay::sig_NoDevConn, B1);
    B9->addTransition(this, &SM_B::sig_DoDownload, B3);
    B9->addTransition(relay, &WorkerRelay::sig_NoDevConn, B1);
    B5->addTransition(relay, &WorkerRelay::sig_NoDevConn, B1);

    add_connections();
}

SM_B::~SM_B() = default;

void SM_B::do_download() {
    emit sig_DoDownload();
}

void SM_B::add_connections() {
    connect(
        B1, &QState::entered, this,
        [this] {
            // The button goes before the status line tells of the unit's absence.
            emit sig_UpgradeImpossible();
            watch->unit_gone();
            device_info = DFU::DeviceInfo();
        },
        Qt::DirectConnection);
    connect(
        B1, &QState::exited, this,
        [this] {
            device_info = reported_info;
            qInfo().noquote() << "Device connected with:\n" + QString(device_info);
            watch->unit_read(device_info);
            emit sig_DeviceConnected();
        },
        Qt::DirectConnection);
    connect(
        B2, &QState::entered, this,
        [this] {
            emit sig_UpgradePossible();
            emit sig_DifferingRevision();
            watch->other_revision();
        },
        Qt::DirectConnection);
    connect(
        B3, &QState::entered, this,
        [this] {
            watch->begin(device_info, desired_revision);
            worker->set_command(SM_A::Download, device_info.serial, device_info.device_type);
        },
        Qt::DirectConnection);
    connect(
        B4, &QState::entered, this,
        [this] {
            emit sig_UploadingVerifying();
            worker->set_command(SM_A::UploadAndCompare, device_info.serial,
                                device_info.device_type);
        },
        Qt::DirectConnection);
    connect(
        B6, &QState::entered, this,
        [this] {
            watch->checked(Outcome::done);
            emit sig_FwMatches();
        },
        Qt::DirectConnection);
    connect(
        B7, &QState::entered, this,
        [this] {
            emit sig_UpgradePossible();
            emit sig_FwDiffers();
            watch->checked(Outcome::differs);
        },
        Qt::DirectConnection);
    connect(
        B5, &QState::entered, this, [this] { watch->checked(Outcome::check_interrupted); },
        Qt::DirectConnection);
    connect(
        B8, &QState::entered, this,
        [this] {
            watch->not_upgradable();
            emit sig_InvalidProduct();
        },
        Qt::DirectConnection);
    connect(
        B9, &QState::entered, this,
        [this] {
            watch->not_upgradable();
            if (have_service_build())
                emit sig_UpgradePossible();
            else
                emit sig_UpgradeImpossible();
            emit sig_DifferingRevision();
        },
        Qt::DirectConnection);
}

void SM_B::enable_debug_output() {
    qInfo() << "SM_B: Add connections to show emitted signals";
    struct Logged {
        void (SM_B::*signal)();
        char const* name;
    };
    static Logged const logged[] = {
        {&SM_B::sig_UpgradeImpossible, "UpgradeImpossible"},
        {&SM_B::sig_UpgradePossible, "UpgradePossible"},
        {&SM_B::sig_DifferingRevision, "DifferingRevision"},
        {&SM_B::sig_DoDownload, "DoDownload"},
        {&SM_B::sig_UploadingVerifying, "UploadingVerifying"},
        {&SM_B::sig_FwMatches, "FwMatches"},
        {&SM_B::sig_FwDiffers, "FwDiffers"},
        {&SM_B::sig_DeviceConnected, "DeviceConnected"},
        {&SM_B::sig_InvalidProduct, "InvalidProduct"},
    };
    for (Logged const& l : logged) {
        QString const text = QString("SM_B: /sig_%1").arg(l.name);
        connect(
            this, l.signal, this, [text] { qDebug() << text; }, Qt::DirectConnection);
    }
    for (QState* state : {B1, B2, B3, B4, B6, B7, B8, B5}) {
        QString const text = QString("SM_B: entered %1").arg(state->objectName());
        connect(
            state, &QState::entered, this, [text] { qDebug() << text; }, Qt::DirectConnection);
    }
}
