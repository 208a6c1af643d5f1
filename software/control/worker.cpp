#include "control/worker.h"

#include "device/unit_text.h"
#include "dfu/device_operations.h"
#include "dfu/device_scan.h"
#include "files/files.h"
#include "files/support_misc.h"

#include <QDeadlineTimer>
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
using Locked = tsan_edges::MutexLocker;

bool exactly_one(DFU::ScanResult const& scan) {
    auto const& [status, items] = scan;
    return status == 0 && items.size() == 1;
}

// The one unit that an exactly_one scan shows.
QString only_serial(DFU::ScanResult const& scan) {
    auto const& [status, items] = scan;
    return items.front().serial;
}

} // namespace

SM_A::SM_A(QString dfu_file, QString bin_file, QString upload_file, QObject* parent)
    : QThread(parent), dfu_file(std::move(dfu_file)), bin_file(std::move(bin_file)),
      upload_file(std::move(upload_file)) {
    qRegisterMetaType<DFU::DeviceInfo>();
    carried_image = support_misc::read_binary_file(":resources/" + Files::desired_FW_fileName_bin);
    if (carried_image.isEmpty()) {
        // A build without the carried resource: the working copy as it is now stands in.
        carried_image = support_misc::read_binary_file(this->bin_file);
        qWarning() << "SM_A: no carried firmware resource, using" << this->bin_file;
    }
    qDebug() << "SM_A created";
}

SM_A::~SM_A() {
    {
        Locked locked(mutex);
        stopping = true;
        woken.wakeAll();
    }
    qDebug() << "SM_A: Waiting in dtor";
    wait();
    marks.joined();
}

void SM_A::set_command(Command c) {
    set_command(c, QString(), Device::Type::invalid);
}

void SM_A::set_command(Command c, QString const& serial, Device::Type product) {
    Locked locked(mutex);
    pending = UnitCommand{c, Unit{serial, product}};
    woken.wakeAll();
}

bool SM_A::is_transferring() const {
    return current_transfer() != NoCommand;
}

SM_A::Command SM_A::current_transfer() const {
    Locked locked(mutex);
    return transferring;
}

int SM_A::last_download_code() const {
    Locked locked(mutex);
    return download_end.code;
}

void SM_A::set_transferring(Command transfer) {
    Locked locked(mutex);
    transferring = transfer;
}

SM_A::Command SM_A::get_command() const {
    Locked locked(mutex);
    return pending.command;
}

SM_A::Taken SM_A::take_command_for(Unit const& attached, QString const& why_not) {
    UnitCommand taken;
    {
        Locked locked(mutex);
        std::swap(taken, pending);
    }
    if (taken.command == NoCommand)
        return Taken();
    // A command given for a unit that is gone must not reach the one attached now.
    bool const same_unit = !taken.unit.serial.isEmpty() && !attached.serial.isEmpty() &&
                           taken.unit.serial == attached.serial &&
                           taken.unit.product == attached.product;
    bool const unit_left = same_unit && !relist_unit();
    if (same_unit && !unit_left)
        return Taken{taken.command};
    QString const why = unit_left ? QString("the unit is no longer the one attached") : why_not;
    qInfo().noquote() << QString("SM_A: command %1 for unit \"%2\" dropped: %3")
                             .arg(int(taken.command))
                             .arg(Device::loggable(taken.unit.serial), why);
    return Taken{NoCommand, unit_left};
}

bool SM_A::relist_unit() {
    DFU::ScanResult const scan = DFU::make_scan();
    return exactly_one(scan) && only_serial(scan) == last_serial;
}

bool SM_A::restore_working_copy() {
    return DFU::ensure_file_holds(bin_file, carried_image);
}

void SM_A::do_stop() {
    Locked locked(mutex);
    stopping = true;
    if (transferring == Download)
        stopped_while_writing = true;
    woken.wakeAll();
}

void SM_A::pause(int ms, int wake) {
    QDeadlineTimer const deadline(qMax(ms, 0));
    Locked locked(mutex);
    auto const woken_by = [&] {
        return stopping || ((wake & on_command) && pending.command != NoCommand) ||
               ((wake & on_arrival) && arrivals != seen_arrivals) ||
               ((wake & on_departure) && departures != read_departures);
    };
    while (!woken_by()) {
        if (!locked.wait(woken, deadline))
            break;
    }
}

void SM_A::note_unit_arrived() {
    Locked locked(mutex);
    ++arrivals;
    woken.wakeAll();
}

void SM_A::note_unit_left() {
    Locked locked(mutex);
    ++departures;
    woken.wakeAll();
}

SM_A::BusNews SM_A::bus_news() const {
    Locked locked(mutex);
    return BusNews{arrivals != seen_arrivals, departures != read_departures};
}

void SM_A::take_arrivals() {
    Locked locked(mutex);
    seen_arrivals = arrivals;
}

void SM_A::take_departures() {
    Locked locked(mutex);
    read_departures = departures;
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
        {&SM_A::sig_FwUploadCut, "FwUploadCut", 0},
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
        qInfo().noquote() << "A DFU unit was found that cannot be opened:"
                          << Device::loggable(reason);
    else
        qInfo().noquote() << "No more DFU unit that cannot be opened, was:"
                          << Device::loggable(open_refusal);
    open_refusal = reason;
    emit sig_OpenRefused(reason);
}

void SM_A::report_progress(int percent) {
    emit sig_FwProgress(percent);
}

void SM_A::run() {
    Step step = Step::A0;
    while (step != Step::end)
        step = enter(step);
    bool write_cut = false;
    {
        Locked locked(mutex);
        write_cut = stopped_while_writing && !download_end.followed();
    }
    emit sig_Stopped(write_cut);
    // Whatever the loop wrote is seen by whoever waited for the thread to finish.
    marks.ran();
}

SM_A::Step SM_A::enter(Step step) {
    switch (step) {
    case Step::A0:
        return forget_unit();
    case Step::A1:
        return report_no_unit();
    case Step::A2:
        return scan();
    case Step::A4:
        return wait_for_command();
    case Step::A5:
        return download();
    case Step::A6:
        return read_back_and_compare();
    case Step::A7:
        return wait_until_unit_leaves();
    case Step::end:
        break;
    }
    return Step::end;
}

SM_A::Step SM_A::forget_unit() {
    emit sig_A0_entered();
    last_serial = QString("");
    // Whatever left before is no longer shown.
    take_departures();
    return Step::A1;
}

SM_A::Step SM_A::report_no_unit() {
    emit sig_A1_entered();
    if (is_stopping())
        return Step::end;
    device_info = DFU::DeviceInfo();
    emit sig_NoDevConn();
    if (!first_pass_done.exchange(true))
        return Step::A2;
    if (!follows_bus_events) {
        pause(no_device_delay_ms, on_stop);
    } else if (listing_due) {
        // A unit that did not leave after its download is listed again as without events; one
        // that left is listed as soon as it is back.
        listing_due = false;
        pause(no_device_delay_ms, on_stop | on_arrival | on_departure);
    } else {
        // A unit leaving is listed too: one that could not be opened takes its note along.
        pause(safety_listing_ms, on_stop | on_arrival | on_departure);
    }
    return Step::A2;
}

SM_A::Step SM_A::scan() {
    emit sig_A2_entered();
    emit sig_scanning();
    // What this listing sees of the bus: the arrivals so far, the departures so far.
    bool const arrived = follows_bus_events && bus_news().arrived;
    take_arrivals();
    int departures_seen = 0;
    {
        Locked locked(mutex);
        departures_seen = departures;
    }
    QString refusal;
    DFU::ScanResult scan = DFU::make_scan(&refusal);
    // udev may give a unit its access rights a moment after it announced it.
    for (int retry = 0; arrived && !refusal.isEmpty() && retry < access_retries && !is_stopping();
         ++retry) {
        pause(access_retry_ms, on_stop);
        scan = DFU::make_scan(&refusal);
    }
    report_open_refusal(refusal);
    if (!exactly_one(scan)) {
        auto const& [status, items] = scan;
        take_command_for(Unit(), !refusal.isEmpty() ? "a unit that cannot be opened is attached"
                                 : items.empty()    ? "no unit attached"
                                                    : "several units attached");
        return Step::A0;
    }
    QString const serial = only_serial(scan);
    if (serial == last_serial) {
        // The unit shown left meanwhile and is back: it is read again as a new unit, so what
        // was cut short by its leaving starts over.
        if (follows_bus_events && bus_news().left)
            return Step::A0;
        return Step::A4;
    }
    take_command_for(Unit(), QString("unit \"%1\" attached").arg(serial));
    emit sig_readingInfo();
    emit sig_NoDevConn();
    last_serial = serial;
    {
        Locked locked(mutex);
        read_departures = departures_seen;
    }
    // A unit swapped in between two scans must not inherit what was read from the one before
    // (the revision is only written when the blocks agree).
    device_info = DFU::DeviceInfo();
    device_info.serial = serial;
    // As the listing before it: the one unit attached.
    auto const [code, text] = DFU::read_device_info(DFU::Address(), &device_info);
    if (code != 0) {
        emit sig_DeviceError(text);
        return Step::A7;
    }
    emit sig_DevConnInfo(device_info);
    emit sig_DevConn();
    return Step::A4;
}

SM_A::Step SM_A::wait_for_command() {
    emit sig_A4_entered();
    if (is_stopping())
        return Step::end;
    // A command given meanwhile is taken at once; with the bus's events, so is a unit leaving
    // (then "no unit" at once) or arriving (then a listing).
    if (follows_bus_events)
        pause(safety_listing_ms, on_stop | on_command | on_arrival | on_departure);
    else
        pause(poll_interval_ms, on_stop | on_command);
    // A stop given during the pause is not followed by a transfer.
    if (is_stopping())
        return Step::end;
    if (follows_bus_events && bus_news().left)
        return Step::A0;
    Taken const taken = take_command_for(Unit{last_serial, device_info.device_type},
                                         QString("unit \"%1\" attached").arg(last_serial));
    // A command dropped because its unit left starts a new detection pass, so the flow hears
    // that its unit is gone even when the same unit shows up again. No transfer begins once a
    // stop has been asked for.
    if (taken.unit_left)
        return Step::A0;
    if (taken.command == NoCommand || is_stopping())
        return Step::A2;
    return taken.command == Download ? Step::A5 : Step::A6;
}

SM_A::Step SM_A::download() {
    emit sig_A5_entered();
    emit sig_FwDownloading();
    set_transferring(Download);
    // What is written is checked against the carried image right before.
    DFU::WriteEnd const end =
        restore_working_copy()
            ? DFU::download_FW_to_device(bin_file, DFU::Address::by_serial(last_serial),
                                         [this](int p) { report_progress(p); })
            : DFU::WriteEnd();
    {
        Locked locked(mutex);
        transferring = NoCommand;
        download_end = end;
    }
    listing_due = true;
    emit sig_FwDownloadResult(end.code, end.all_sent);
    emit sig_FwDownloaded();
    return Step::A0;
}

SM_A::Step SM_A::read_back_and_compare() {
    emit sig_A6_entered();
    emit sig_FwUploading();
    set_transferring(UploadAndCompare);
    // Against the carried image itself: "Done" means the unit holds what the tool carries,
    // whatever happened to the working copy.
    DFU::Readback const verdict =
        DFU::read_back(carried_image, upload_file, DFU::Address::by_serial(last_serial),
                       [this](int p) { report_progress(p); });
    set_transferring(NoCommand);
    if (verdict == DFU::Readback::matches) {
        qDebug() << "Uploaded FW matches";
        emit sig_FwUploadedMatches();
    } else if (verdict == DFU::Readback::differs) {
        qDebug() << "Uploaded FW does not match";
        emit sig_FwUploadedDiffers();
    } else {
        emit sig_FwUploadCut();
    }
    return Step::A2;
}

SM_A::Step SM_A::wait_until_unit_leaves() {
    emit sig_A7_entered();
    emit sig_scanning();
    for (;;) {
        // Leaving here on a stop keeps a unit that cannot be read from holding up the
        // shut-down until someone unplugs it.
        if (is_stopping())
            return Step::end;
        if (follows_bus_events) {
            // Any change on the bus is listed: the unit may have left, or another come.
            pause(safety_listing_ms, on_stop | on_arrival | on_departure);
            take_arrivals();
            take_departures();
        } else {
            pause(poll_interval_ms, on_stop);
        }
        DFU::ScanResult const scan = DFU::make_scan();
        if (!exactly_one(scan) || only_serial(scan) != last_serial)
            return Step::A0;
    }
}
