#include "flash/station.h"

#include "flash/bench_listing.h"
#include "flash/reporter.h"

#include <QThread>

namespace Flash {

namespace {

// The unit as dfu-util lists it on its port. udev tells of a unit once its rules ran, but the
// unit may need a moment more before it answers: a few tries, as for a slow open.
ListedUnit listed_after_arrival(QString const& port) {
    ListedUnit unit;
    for (int attempt = 0; attempt < 5 && unit.port.isEmpty(); ++attempt) {
        if (attempt > 0)
            QThread::msleep(500);
        unit = unit_on_port(port);
    }
    return unit;
}

SlotView::State verdict_state(Event::Kind kind) {
    switch (kind) {
    case Event::done:
        return SlotView::done;
    case Event::failed:
        return SlotView::failed;
    case Event::skipped:
        return SlotView::skipped;
    case Event::found:
    case Event::writing:
    case Event::verifying:
    case Event::left:
        break;
    }
    return SlotView::working;
}

} // namespace

char const* state_text(SlotView::State state) {
    switch (state) {
    case SlotView::empty:
        return "empty";
    case SlotView::waiting:
        return "waiting";
    case SlotView::working:
        return "working";
    case SlotView::done:
        return "done";
    case SlotView::failed:
        return "failed";
    case SlotView::skipped:
        break;
    }
    return "skipped";
}

Station::Station(JobSettings settings, SlotTable slot_table, QStringList ports, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), slots_(std::move(slot_table)),
      ports_(std::move(ports)) {
    qRegisterMetaType<Flash::Event>();
    qRegisterMetaType<Flash::Counts>();
    for (Slot const& slot : slots_.entries)
        if (ports_.isEmpty() || ports_.contains(slot.port))
            entry(slot.port);
    for (QString const& port : ports_)
        entry(port);
}

Station::~Station() {
    for (Entry& e : entries_)
        if (e.job) {
            e.job->wait();
            delete e.job;
        }
}

Station::Entry& Station::entry(QString const& port) {
    auto found = entries_.find(port);
    if (found != entries_.end())
        return *found;
    Entry e;
    e.view.port = port;
    e.view.name = slots_.name_of(port);
    if (e.view.name.isEmpty())
        e.view.name = port;
    order_.append(port);
    return *entries_.insert(port, e);
}

void Station::arm() {
    if (armed_)
        return;
    armed_ = true;
    emit armed_changed(true);
    start_present();
}

void Station::disarm() {
    if (armed_) {
        armed_ = false;
        emit armed_changed(false);
    }
    check_idle();
}

void Station::start_present() {
    for (QString const& port : order_) {
        Entry& e = entries_[port];
        if (e.present && !e.job && !e.handled)
            start(e);
    }
}

void Station::retry_failed() {
    for (QString const& port : order_) {
        Entry& e = entries_[port];
        if (e.present && !e.job && e.view.state == SlotView::failed)
            start(e);
    }
}

bool Station::busy() const {
    for (Entry const& e : entries_)
        if (e.job)
            return true;
    return false;
}

QVector<SlotView> Station::slots_view() const {
    QVector<SlotView> views;
    for (QString const& port : order_)
        views.append(entries_[port].view);
    return views;
}

void Station::unit_arrived(QString const& port) {
    if (!ports_.isEmpty() && !ports_.contains(port))
        return;
    Entry& e = entry(port);
    bool const new_unit = !e.present && !e.job;
    // A unit under way comes back after its write: it is the same unit.
    e.present = true;
    if (!new_unit)
        return;
    e.handled = false;
    e.view.state = SlotView::waiting;
    e.view.last = Event();
    e.view.last.unit = port;
    e.view.last.slot = e.view.name;
    emit unit_log(port, "arrived");
    if (armed_)
        start(e);
}

void Station::unit_left(QString const& port) {
    if (!ports_.isEmpty() && !ports_.contains(port))
        return;
    Entry& e = entry(port);
    bool const was_present = e.present;
    e.present = false;
    // A unit under way leaves to restart after its write, or is pulled: its verdict tells.
    if (was_present && !e.job)
        report_gone(e);
}

void Station::start(Entry& e) {
    if (!busy())
        emit busy_changed(true);
    e.view.state = SlotView::working;
    QString const port = e.view.port;
    QString const slot = e.view.name;
    JobSettings const settings = settings_;
    e.job = QThread::create([this, port, slot, settings] {
        Sink const sink = [this](Event const& event) {
            QMetaObject::invokeMethod(
                this, [this, event] { on_job_event(event); }, Qt::QueuedConnection);
        };
        ListedUnit unit = listed_after_arrival(port);
        unit.slot = slot;
        Event last;
        if (unit.port.isEmpty() || !unit.refused.isEmpty()) {
            last.unit = port;
            last.slot = slot;
            last.serial = unit.serial;
            last.kind = Event::failed;
            last.reason = unit.port.isEmpty() ? "cannot be opened on its port" : unit.refused;
            sink(last);
        } else {
            last = upgrade_unit(unit, settings, sink);
        }
        QMetaObject::invokeMethod(
            this, [this, port, last] { on_job_end(port, last); }, Qt::QueuedConnection);
    });
    e.job->start();
}

void Station::on_job_event(Event const& event) {
    Entry& e = entry(event.unit);
    bool const step = event.kind != e.view.last.kind || event.percent < 0;
    e.view.last = event;
    e.view.state = verdict_state(event.kind);
    emit unit_event(event);
    if (step)
        emit unit_log(event.unit, Reporter::plain_text(event));
}

void Station::on_job_end(QString const& port, Event const& last) {
    Entry& e = entry(port);
    e.job->wait();
    delete e.job;
    e.job = nullptr;
    e.handled = true;
    counts_.done += last.kind == Event::done;
    counts_.failed += last.kind == Event::failed;
    counts_.skipped += last.kind == Event::skipped;
    emit counts_changed(counts_);
    if (!e.present)
        report_gone(e);
    if (!busy())
        emit busy_changed(false);
    check_idle();
}

void Station::report_gone(Entry& e) {
    e.view.state = SlotView::empty;
    Event gone = e.view.last;
    gone.kind = Event::left;
    gone.percent = -1;
    gone.reason.clear();
    emit unit_log(e.view.port, "left");
    emit unit_gone(gone);
}

void Station::check_idle() {
    if (!armed_ && !busy())
        emit idle();
}

} // namespace Flash
