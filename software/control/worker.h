#pragma once

#include "dfu/device_info.h"
#include "dfu/device_operations.h"
#include "system/tsan_edges.h"

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

// The worker that owns all traffic with the unit. Its thread looks for DfuSe units, reads
// each new unit once and carries out the download and verify commands of the flow machine.
// It lists the units when the bus reports a unit arriving (follows_bus_events), or else every
// poll interval.
// It reports only by signals; receivers on the GUI thread get them queued, in order.
class SM_A : public QThread {
    Q_OBJECT

public:
    enum Command { NoCommand = 0, Download = 1, UploadAndCompare = 2 };

    // A unit as the flow names it; an empty serial names none.
    struct Unit {
        QString serial;
        Device::Type product = Device::Type::invalid;
    };
    // A command and the unit it was given for.
    struct UnitCommand {
        Command command = NoCommand;
        Unit unit;
    };

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
    UnitCommand pending;
    Command transferring = NoCommand;
    DFU::WriteEnd download_end{0, false}; // of the last download

public:
    // Set before the thread starts.
    int no_device_delay_ms = 200;
    int poll_interval_ms = 200;
    // Listings start on the bus's events (note_unit_arrived, note_unit_left), and otherwise
    // only every safety_listing_ms; the intervals above then only time the listing right after
    // a download.
    bool follows_bus_events = false;
    int safety_listing_ms = 10000;
    // A unit that cannot be opened right after it arrived is listed again this often, so many
    // times, before that is reported: udev may set its access a moment after its event.
    int access_retry_ms = 500;
    int access_retries = 5;

private:
    bool stopping = false;
    bool stopped_while_writing = false;
    int arrivals = 0;     // units the bus reported arriving, counted since construction
    int departures = 0;   // units the bus reported leaving
    mutable QMutex mutex; // guards pending, stopping, stopped_while_writing, transferring,
                          // download_end, arrivals, departures
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
    // The bus reported a DfuSe unit arriving or leaving; from any thread. Wakes the worker.
    void note_unit_arrived();
    void note_unit_left();

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
    // not end normally or did not run) and whether every block was sent (DFU::WriteEnd).
    void sig_FwDownloadResult(int code, bool all_sent = false);
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
    // for while a download ran, and that download ended before every block was sent (the
    // unit may be half-written).
    void sig_Stopped(bool write_cut);

protected:
    void run() override;

private:
    enum class Step { A0, A1, A2, A4, A5, A6, A7, end };
    Step enter(Step step);
    // One function per step; each returns the step that follows.
    Step forget_unit();            // A0
    Step report_no_unit();         // A1
    Step scan();                   // A2
    Step wait_for_command();       // A4
    Step download();               // A5
    Step read_back_and_compare();  // A6
    Step wait_until_unit_leaves(); // A7

    // The one place where a pending command is taken. It is carried out only when it was
    // given for `attached` (whose serial is empty when no unit may be used) and a new listing
    // shows that unit alone; otherwise it is dropped with one log line, which gives `why_not`
    // when the units differ.
    struct Taken {
        Command command = NoCommand; // the command to carry out
        bool unit_left = false;      // dropped because the listing no longer shows the unit
    };
    Taken take_command_for(Unit const& attached, QString const& why_not);
    void set_transferring(Command transfer);
    // Runs a listing: true when the unit read last is the only one attached (a unit that
    // dfu-util saw but could not open counts as another).
    bool relist_unit();
    // Rewrites the working copy of the image from the carried bytes when it differs, right
    // before a download: false when that failed.
    bool restore_working_copy();
    // The carried image as built into the program, read once at construction.
    QByteArray carried_image;

    // What ends a pause early besides a stop: a command, a unit arriving, a unit leaving.
    enum Wake { on_stop = 0, on_command = 1, on_arrival = 2, on_departure = 4 };
    // Waits up to ms, less when one of `wake` happens meanwhile. The lock is released while
    // waiting.
    void pause(int ms, int wake);
    // The bus's news since they were last taken: arrivals since the last listing began,
    // departures since the unit shown was read (or forgotten). Worker thread only.
    struct BusNews {
        bool arrived = false;
        bool left = false;
    };
    BusNews bus_news() const;
    void take_arrivals();
    void take_departures();
    int seen_arrivals = 0;    // worker thread only, read under the lock
    int read_departures = 0;  // worker thread only, read under the lock
    bool listing_due = false; // a download ended: list soon, whether the bus says so or not
    // Emits sig_OpenRefused and logs one line when the reason changes.
    void report_open_refusal(QString const& reason);
    void report_progress(int percent);

    tsan_edges::WorkerMarks const marks{this};
    QString open_refusal; // worker thread only
};

// The worker of the running application; owned by start-up.
extern SM_A* sm_A;
