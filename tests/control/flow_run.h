#pragma once
// One worker and one flow machine against a fresh simulated unit, without a window, plus
// a capture of standard output for the guard trace.
#include "control/flow_machine.h"
#include "control/worker.h"
#include "files/files.h"
#include "sim/simulator.h"

#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include "message_log.h"
#include <cstdio>
#include <memory>

#include <mutex>
#include <unistd.h>

class FlowRun : public QObject {
public:
    QTemporaryDir state;
    std::unique_ptr<SM_A> worker;
    std::unique_ptr<SM_B> machine;
    QStringList flow;      // SM_B's signals and the states it entered, in order
    QStringList steps;     // SM_A's signals as they arrived on the GUI thread, in order
    QStringList errors;    // texts of sig_DeviceError
    QStringList revisions; // the machine's copy of the revision at each sig_DeviceConnected

    FlowRun() {
        qputenv("KELVORA_SIM_STATE_DIR", state.path().toLocal8Bit());
        worker.reset(new SM_A(Files::path_of(Files::desired_FW_dfu),
                              Files::path_of(Files::desired_FW_bin),
                              Files::path_of(Files::uploaded_FW_bin)));
        worker->no_device_delay_ms = 20;
        worker->poll_interval_ms = 20;
        sm_A = worker.get();
        machine.reset(new SM_B(worker.get(), Device::Type::DAVO, "2.4.1"));
        sm_B = machine.get();
        watch();
    }

    ~FlowRun() override {
        stop();
        sm_A = nullptr;
        sm_B = nullptr;
        worker.reset();
        machine.reset();
    }

    bool load(QString const& config) { return simulator::sim_setup_prepared_config(config) == 0; }

    void start() {
        SM_A* a = worker.get();
        connect(machine.get(), &QStateMachine::started, a, [a] { a->start(); });
        machine->start();
    }

    void stop() {
        if (!worker)
            return;
        machine->stop();
        worker->do_stop();
        worker->wait();
    }

    bool in(QState* state) const { return machine->configuration().contains(state); }

    QByteArray flash() const {
        QFile f(state.filePath("flash.bin"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Waits until the worker has made n more scans, so that anything still to come from the
    // last unit had its chance to arrive. A worker that watches a faulty unit reports no
    // scans; it is given a moment instead.
    bool settle(int n = 4, int timeout_ms = 30000) {
        int const target = steps.count("A2") + n;
        QElapsedTimer timer;
        timer.start();
        while (steps.count("A2") < target) {
            if (!steps.isEmpty() && steps.lastIndexOf("A7") > steps.lastIndexOf("A2")) {
                QTest::qWait(100 * n);
                return true;
            }
            if (timer.elapsed() > timeout_ms)
                return false;
            QTest::qWait(10);
        }
        return true;
    }

private:
    void watch() {
        SM_B* b = machine.get();
        auto note = [this](QString const& name) { return [this, name] { flow << name; }; };
        connect(b, &SM_B::sig_UpgradeImpossible, this, note("UpgradeImpossible"));
        connect(b, &SM_B::sig_UpgradePossible, this, note("UpgradePossible"));
        connect(b, &SM_B::sig_DifferingRevision, this, note("DifferingRevision"));
        connect(b, &SM_B::sig_DoDownload, this, note("DoDownload"));
        connect(b, &SM_B::sig_UploadingVerifying, this, note("UploadingVerifying"));
        connect(b, &SM_B::sig_FwMatches, this, note("FwMatches"));
        connect(b, &SM_B::sig_FwDiffers, this, note("FwDiffers"));
        connect(b, &SM_B::sig_DeviceConnected, this, note("DeviceConnected"));
        connect(b, &SM_B::sig_InvalidProduct, this, note("InvalidProduct"));
        connect(b, &SM_B::sig_DeviceConnected, this,
                [this, b] { revisions << b->device_info.FW_revision; });
        for (QState* s : {b->B1, b->B2, b->B3, b->B4, b->B6, b->B7, b->B8, b->B9})
            connect(s, &QState::entered, this, note(s->objectName().left(2)));

        // Queued: the recorder lives on the GUI thread, the worker emits on its own.
        SM_A* a = worker.get();
        auto step = [this](QString const& name) { return [this, name] { steps << name; }; };
        connect(a, &SM_A::sig_NoDevConn, this, step("NoDevConn"));
        connect(a, &SM_A::sig_DevConn, this, step("DevConn"));
        connect(a, &SM_A::sig_scanning, this, step("scanning"));
        connect(a, &SM_A::sig_readingInfo, this, step("readingInfo"));
        connect(a, &SM_A::sig_DeviceError, this, [this](QString const& text) {
            steps << "DeviceError";
            errors << text;
        });
        connect(a, &SM_A::sig_FwDownloading, this, step("FwDownloading"));
        connect(a, &SM_A::sig_FwDownloaded, this, step("FwDownloaded"));
        connect(a, &SM_A::sig_FwUploading, this, step("FwUploading"));
        connect(a, &SM_A::sig_FwUploadedDiffers, this, step("FwUploadedDiffers"));
        connect(a, &SM_A::sig_FwUploadedMatches, this, step("FwUploadedMatches"));
        connect(a, &SM_A::sig_A0_entered, this, step("A0"));
        connect(a, &SM_A::sig_A1_entered, this, step("A1"));
        connect(a, &SM_A::sig_A2_entered, this, step("A2"));
        connect(a, &SM_A::sig_A3_entered, this, step("A3"));
        connect(a, &SM_A::sig_A4_entered, this, step("A4"));
        connect(a, &SM_A::sig_A5_entered, this, step("A5"));
        connect(a, &SM_A::sig_A6_entered, this, step("A6"));
        connect(a, &SM_A::sig_A7_entered, this, step("A7"));
    }
};

// Redirects file descriptor 1 into a temporary file while it lives. What a failing test
// printed meanwhile is passed on to standard error so it is not lost.
class StdoutCapture {
public:
    StdoutCapture() {
        file.open();
        std::fflush(stdout);
        saved = dup(1);
        dup2(file.handle(), 1);
    }
    ~StdoutCapture() {
        QString const text = finish();
        if (QTest::currentTestFailed())
            std::fprintf(stderr, "%s", qPrintable(text));
    }
    // The lines written so far; ends the capture.
    QString finish() {
        if (saved >= 0) {
            std::fflush(stdout);
            dup2(saved, 1);
            close(saved);
            saved = -1;
            file.seek(0);
            captured = QString::fromUtf8(file.readAll());
        }
        return captured;
    }
    QStringList lines() {
        QStringList all = finish().split('\n', Qt::SkipEmptyParts);
        return all.filter("device_has_valid_type");
    }

private:
    QTemporaryFile file;
    int saved = -1;
    QString captured;
};
