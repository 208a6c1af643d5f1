#include "control/sm_a.h"

#include "control/tsan_edges.h"

#include "dfu/device_operations.h"
#include "dfu/device_scan.h"

#include <QDebug>

#include <atomic>
#include <utility>

SM_A* sm_A = nullptr;

namespace {

// Only the very first detection pass of the process scans without waiting.
std::atomic<bool> first_pass_done{false};

// Repeat flag of the last logged signal, shared by every worker of the process.
std::atomic<int> last_repeat_flag{0};

void log_signal(QString const& name, int repeat_flag) {
    bool const repeating = name == "NoDevConn" || name == "scanning";
    if (!(last_repeat_flag.load() && repeating))
        qDebug() << QString("SM_A: /sig_") + name;
    last_repeat_flag.store(repeat_flag);
}

// Holds the worker's mutex for one read or write.
class Locked {
public:
    explicit Locked(QMutex& m) : mutex(m) {
        mutex.lock();
        tsan_edges::acquire(&mutex);
    }
    ~Locked() {
        tsan_edges::release(&mutex);
        mutex.unlock();
    }
    Locked(Locked const&) = delete;
    Locked& operator=(Locked const&) = delete;

private:
    QMutex& mutex;
};

bool exactly_one(DFU::ScanResult const& scan) {
    return scan.first == 0 && scan.second.size() == 1;
}

} // namespace

SM_A::SM_A(QString dfu_file, QString bin_file, QString upload_file, QObject* parent)
    : QThread(parent), dfu_file(std::move(dfu_file)), bin_file(std::move(bin_file)),
      upload_file(std::move(upload_file)) {
    qRegisterMetaType<DFU::DeviceInfo>();
    tsan_edges::order_queued_calls(
        this, &SM_A::sig_NoDevConn, &SM_A::sig_DevConn, &SM_A::sig_scanning, &SM_A::sig_readingInfo,
        &SM_A::sig_DeviceError, &SM_A::sig_FwDownloading, &SM_A::sig_FwDownloaded,
        &SM_A::sig_FwUploading, &SM_A::sig_FwUploadedDiffers, &SM_A::sig_FwUploadedMatches,
        &SM_A::sig_A0_entered, &SM_A::sig_A1_entered, &SM_A::sig_A2_entered, &SM_A::sig_A3_entered,
        &SM_A::sig_A4_entered, &SM_A::sig_A5_entered, &SM_A::sig_A6_entered, &SM_A::sig_A7_entered,
        &SM_A::sig_DevConnInfo, &QThread::started, &QThread::finished);
    tsan_edges::order_queued_calls(this, &SM_A::sig_FwProgress, &SM_A::sig_OpenRefused,
                                   &SM_A::sig_ReadingUnit, &SM_A::sig_FwWriteEnded);
    qDebug() << "SM_A created";
}

SM_A::~SM_A() {
    {
        Locked locked(mutex);
        stopping = true;
    }
    qDebug() << "SM_A: Waiting in dtor";
    wait();
    tsan_edges::acquire(this);
}

void SM_A::set_command(Command c) {
    Locked locked(mutex);
    command = c;
}

SM_A::Command SM_A::get_command() const {
    Locked locked(mutex);
    return command;
}

SM_A::Command SM_A::take_command() {
    Locked locked(mutex);
    Command const c = command;
    if (c == Download || c == UploadAndCompare)
        command = NoCommand;
    return c;
}

void SM_A::do_stop() {
    Locked locked(mutex);
    stopping = true;
}

bool SM_A::is_stopping() const {
    Locked locked(mutex);
    return stopping;
}

void SM_A::enable_debug_output() {
    qInfo() << "SM_A: Adding connections to show debug output (state transitions)";
    struct Logged {
        void (SM_A::*signal)();
        char const* name;
        int repeat_flag;
    };
    static Logged const logged[] = {
        {&SM_A::sig_NoDevConn, "NoDevConn", 1},
        {&SM_A::sig_scanning, "scanning", 1},
        {&SM_A::sig_readingInfo, "readingInfo", 0},
        {&SM_A::sig_DevConn, "DevConn", 0},
        {&SM_A::sig_FwDownloading, "FwDownloading", 0},
        {&SM_A::sig_FwDownloaded, "FwDownloaded", 0},
        {&SM_A::sig_FwUploading, "FwUploading", 0},
        {&SM_A::sig_FwUploadedDiffers, "FwUploadedDiffers", 0},
        {&SM_A::sig_FwUploadedMatches, "FwUploadedMatches", 0},
    };
    for (Logged const& l : logged) {
        QString const name = l.name;
        int const repeat_flag = l.repeat_flag;
        connect(
            this, l.signal, this, [name, repeat_flag] { log_signal(name, repeat_flag); },
            Qt::DirectConnection);
    }
}

void SM_A::report_open_refusal(QString const& reason) {
    if (reason == open_refusal)
        return;
    if (!reason.isEmpty())
        qInfo().noquote() << "A DFU unit was found that cannot be opened:" << reason;
    else
        qInfo().noquote() << "No more DFU unit that cannot be opened, was:" << open_refusal;
    open_refusal = reason;
    emit sig_OpenRefused(reason);
}

void SM_A::run() {
    // Whatever the loop wrote is seen by whoever waited for the thread to finish.
    struct Finished {
        SM_A* worker;
        ~Finished() { tsan_edges::release(worker); }
    } const finished{this};

    enum Step { A0, A1, A2, A4, A5, A6, A7 };
    Step step = A0;
    for (;;) {
        switch (step) {
        case A0:
            emit sig_A0_entered();
            last_serial = QString("");
            step = A1;
            break;

        case A1:
            emit sig_A1_entered();
            if (is_stopping())
                return;
            device_info = DFU::DeviceInfo();
            emit sig_NoDevConn();
            if (first_pass_done.exchange(true))
                msleep(static_cast<unsigned long>(no_device_delay_ms));
            step = A2;
            break;

        case A2: {
            emit sig_A2_entered();
            emit sig_scanning();
            QString refusal;
            DFU::ScanResult const scan = DFU::make_scan(&refusal);
            report_open_refusal(refusal);
            if (!exactly_one(scan)) {
                step = A0;
                break;
            }
            DFU::DeviceItem const& item = scan.second.front();
            if (item.serial == last_serial) {
                step = A4;
                break;
            }
            emit sig_ReadingUnit(item.serial);
            emit sig_readingInfo();
            emit sig_NoDevConn();
            last_serial = item.serial;
            // A unit swapped in between two scans must not inherit what was read from the
            // one before (the revision is only written when the blocks agree).
            device_info = DFU::DeviceInfo();
            DFU::Result const result = DFU::read_device_info(&item, &device_info);
            if (result.first != 0) {
                emit sig_DeviceError(result.second);
                step = A7;
            } else {
                emit sig_DevConnInfo(device_info);
                emit sig_DevConn();
                step = A4;
            }
            break;
        }

        case A4:
            emit sig_A4_entered();
            if (is_stopping())
                return;
            msleep(static_cast<unsigned long>(poll_interval_ms));
            switch (take_command()) {
            case Download:
                step = A5;
                break;
            case UploadAndCompare:
                step = A6;
                break;
            default:
                step = A2;
                break;
            }
            break;

        case A5:
            emit sig_A5_entered();
            emit sig_FwDownloading();
            emit sig_FwWriteEnded(DFU::download_FW_to_device(
                bin_file, [this](int percent) { emit sig_FwProgress(percent); }));
            emit sig_FwDownloaded();
            step = A0;
            break;

        case A6:
            emit sig_A6_entered();
            emit sig_FwUploading();
            if (DFU::upload_and_compare_FW_bin(
                    bin_file, upload_file, [this](int percent) { emit sig_FwProgress(percent); })) {
                qDebug() << "Uploaded FW matches";
                emit sig_FwUploadedMatches();
            } else {
                qDebug() << "Uploaded FW does not match";
                emit sig_FwUploadedDiffers();
            }
            step = A2;
            break;

        case A7:
            emit sig_A7_entered();
            emit sig_scanning();
            for (;;) {
                // Leaving here on a stop keeps a unit that cannot be read from holding up
                // the shut-down until someone unplugs it.
                if (is_stopping())
                    return;
                msleep(static_cast<unsigned long>(poll_interval_ms));
                DFU::ScanResult const scan = DFU::make_scan();
                if (!exactly_one(scan) || scan.second.front().serial != last_serial)
                    break;
            }
            step = A0;
            break;
        }
    }
}
