#pragma once

#include "dfu/device_info.h"

#include <QMutex>
#include <QString>
#include <QThread>

// The worker that owns all traffic with the unit. Its thread polls for DfuSe units, reads
// each new unit once and carries out the download and verify commands of the flow machine.
// It reports only by signals; receivers on the GUI thread get them queued, in order.
class SM_A : public QThread {
    Q_OBJECT

public:
    enum Command { NoCommand = 0, Download = 1, UploadAndCompare = 2 };

    SM_A(QString dfu_file, QString bin_file, QString upload_file, QObject* parent = nullptr);
    ~SM_A() override;

    // Written by the worker thread only. Receivers on other threads use the copy that
    // sig_DevConnInfo carries.
    DFU::DeviceInfo device_info;

    QString dfu_file;
    QString bin_file;    // downloaded, and compared with the upload
    QString upload_file; // where the uploaded flash goes

private:
    QString last_serial;
    Command command = NoCommand;

public:
    // Set before the thread starts.
    int no_device_delay_ms = 200;
    int poll_interval_ms = 200;

private:
    bool stopping = false;
    mutable QMutex mutex; // guards command and stopping

public:
    void set_command(Command c);
    Command get_command() const;
    void do_stop();
    bool is_stopping() const;

    // Logs the main signals from the worker thread, a run of no-device passes only once.
    void enable_debug_output();

signals:
    void sig_NoDevConn();
    void sig_DevConn();
    void sig_scanning();
    void sig_readingInfo();
    void sig_DeviceError(QString text);
    void sig_FwDownloading();
    void sig_FwDownloaded();
    void sig_FwUploading();
    void sig_FwUploadedDiffers();
    void sig_FwUploadedMatches();
    void sig_A0_entered();
    void sig_A1_entered();
    void sig_A2_entered();
    void sig_A3_entered();
    void sig_A4_entered();
    void sig_A5_entered();
    void sig_A6_entered();
    void sig_A7_entered();
    // Emitted right before sig_DevConn with a copy of the record it reports, so that the
    // GUI thread never reads device_info while the worker may be rewriting it.
    void sig_DevConnInfo(DFU::DeviceInfo info);
    // How far the running download (erase and write) or read-back is, 0 to 100, as
    // dfu-util reports it; nothing while a dfu-util runs that shows no progress.
    void sig_FwProgress(int percent);
    // The listing saw a unit that it could not open, and why (dfu-util's libusb error name,
    // such as "LIBUSB_ERROR_ACCESS"); empty once that has ended. Sent on changes only.
    void sig_OpenRefused(QString reason);
    // The serial of the unit that is read next (right before sig_readingInfo), and the exit
    // code of each download (right before sig_FwDownloaded).
    void sig_ReadingUnit(QString serial);
    void sig_FwWriteEnded(int exit_code);

protected:
    void run() override;

private:
    Command take_command();
    // Emits sig_OpenRefused and logs one line when the reason changes.
    void report_open_refusal(QString const& reason);

    QString open_refusal; // worker thread only
};

// The worker of the running application; owned by start-up.
extern SM_A* sm_A;
