#pragma once

#include "dfu/device_info.h"

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

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
    QString command_serial; // the unit the command was given for
    Device::Type command_product = Device::Type::invalid;
    Command transferring = NoCommand;
    int download_code = 0;

public:
    // Set before the thread starts.
    int no_device_delay_ms = 200;
    int poll_interval_ms = 200;

private:
    bool stopping = false;
    bool stopped_while_writing = false;
    mutable QMutex mutex; // guards command, its unit, stopping, transferring, download_code
    QWaitCondition woken; // signalled when a command is set or a stop is asked for

public:
    // A command without a unit is never carried out; the flow gives each command for the unit
    // it shows, and the worker carries it out only while that unit is the one attached.
    void set_command(Command c);
    void set_command(Command c, QString const& serial, Device::Type product);
    Command get_command() const;
    // True while a download or a verify upload runs: ending dfu-util then could leave the
    // unit half-written. current_transfer() tells which (NoCommand when none runs).
    bool is_transferring() const;
    Command current_transfer() const;
    // Exit code of the last download, or 0 when none has run.
    int last_download_code() const;
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
    // Emitted right before sig_FwDownloaded with the download's exit code (-1: dfu-util did
    // not end normally or did not run).
    void sig_FwDownloadResult(int code);
    // How far the running download (erase and write) or read-back is, 0 to 100, as
    // dfu-util reports it; nothing while a dfu-util runs that shows no progress.
    void sig_FwProgress(int percent);
    // The listing saw a unit that it could not open, and why (dfu-util's libusb error name,
    // such as "LIBUSB_ERROR_ACCESS"); empty once that has ended. Sent on changes only.
    void sig_OpenRefused(QString reason);
    // The read-back ended before the whole image was read: dfu-util failed, the file is
    // short, or the unit left. Nothing is known about the flash then; sent instead of
    // sig_FwUploadedDiffers and sig_FwUploadedMatches.
    void sig_FwUploadCut();
    // The last act of run(), once a stop has ended the worker. write_cut: the stop was asked
    // for while a download ran, and that download did not end with 0 (the unit may be
    // half-written).
    void sig_Stopped(bool write_cut);

protected:
    void run() override;

private:
    // The pending command if it was given for the unit read last; a command for another unit
    // is dropped with a log line.
    Command take_command();
    // Takes a pending download or verify command and the unit it was given for; any other
    // command stays pending and is returned as it is.
    Command take_unit_command(QString* serial, Device::Type* product);
    // Drops a pending command because the unit it was given for is not the one attached.
    void drop_command(QString const& why);
    static void log_dropped(Command c, QString const& serial, QString const& why);
    void set_transferring(Command transfer);
    // Lists the units right before a transfer: true when the unit read last is the only one
    // (a unit that dfu-util saw but could not open counts as another).
    bool still_attached();
    // Makes sure the working copy of the image holds the carried bytes before a download.
    bool working_copy_checked();
    // The carried image as built into the program, read once at construction.
    QByteArray carried_image;

    // Waits up to ms, less when a stop is asked for meanwhile, or, with until_command, when
    // a command is pending. The lock is released while waiting.
    void pause(int ms, bool until_command);
    // Emits sig_OpenRefused and logs one line when the reason changes.
    void report_open_refusal(QString const& reason);

    QString open_refusal; // worker thread only
};

// The worker of the running application; owned by start-up.
extern SM_A* sm_A;
