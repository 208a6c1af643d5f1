#include "bench_window/bench_session.h"

#include "bench_window/bench_window.h"
#include "bus/unit_watch.h"
#include "desktop/sleep_inhibitor.h"
#include "flash/bench_listing.h"
#include "flash/station.h"

#include <QDebug>
#include <QEventLoop>
#include <QThread>

#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Above the window's 0; any program may lower its own threads' priority this far.
constexpr int work_niceness = 10;

} // namespace

BenchSession::BenchSession(Flash::JobSettings settings, Flash::SlotTable slot_table,
                           BenchWindow* window, QObject* parent)
    : QObject(parent), settings(std::move(settings)), slot_table(std::move(slot_table)),
      window(window) {
    QVector<QPair<QString, QString>> named;
    for (Flash::Slot const& slot : this->slot_table.entries)
        named.append({slot.port, slot.name});
    window->model->set_named_slots(named);
    connect(window, &BenchWindow::arm_requested, this, [this](bool armed) {
        on_thread([armed](Flash::Station& station) {
            if (armed)
                station.arm();
            else
                station.disarm();
        });
    });
    connect(window, &BenchWindow::start_requested, this,
            [this] { on_thread([](Flash::Station& station) { station.start_present(); }); });
    connect(window, &BenchWindow::retry_requested, this,
            [this] { on_thread([](Flash::Station& station) { station.retry_failed(); }); });
}

BenchSession::~BenchSession() {
    if (!running())
        return;
    QEventLoop rest;
    connect(this, &BenchSession::ended, &rest, &QEventLoop::quit);
    end();
    if (running())
        rest.exec();
}

bool BenchSession::running() const {
    return thread && thread->isRunning();
}

void BenchSession::on_thread(std::function<void(Flash::Station&)> work) {
    if (!anchor)
        return;
    QMetaObject::invokeMethod(
        anchor,
        [this, work] {
            if (station)
                work(*station);
        },
        Qt::QueuedConnection);
}

void BenchSession::start() {
    if (thread)
        return;
    thread = new QThread(this);
    thread->setObjectName("bench");
    anchor = new QObject;
    anchor->moveToThread(thread);
    SlotModel* const model = window->model;
    connect(thread, &QThread::finished, this, [this] {
        // The thread's objects go with it; no job runs any more.
        delete station;
        station = nullptr;
        delete watch;
        watch = nullptr;
        delete anchor;
        anchor = nullptr;
        emit ended();
    });
    QMetaObject::invokeMethod(
        anchor,
        [this, model] {
            // The thread, the jobs it starts and their dfu-util run below the window's thread,
            // which then answers at once however many units are written: dfu-util waits on the
            // units, not on the processor, and loses nothing. The jobs' threads and children
            // take the thread's priority with them.
            if (setpriority(PRIO_PROCESS, gettid(), work_niceness) != 0)
                qWarning() << "Bench: cannot lower the priority of the work:"
                           << qt_error_string(errno);
            watch = new Bus::UnitWatch;
            if (!watch->watching())
                qWarning() << "Bench: cannot follow udev's events";
            station = new Flash::Station(settings, slot_table, {});
            // The same sleep lock as the one-unit window's, while any unit is under way; it
            // goes with the station.
            connect(station, &Flash::Station::busy_changed, new SleepInhibitor(station),
                    &SleepInhibitor::hold);
            // The window hears of a unit in the same order as the station does.
            connect(watch, &Bus::UnitWatch::unit_arrived, model, &SlotModel::unit_arrived);
            connect(watch, &Bus::UnitWatch::unit_left, model, &SlotModel::unit_left);
            connect(watch, &Bus::UnitWatch::unit_arrived, station, &Flash::Station::unit_arrived);
            connect(watch, &Bus::UnitWatch::unit_left, station, &Flash::Station::unit_left);
            connect(station, &Flash::Station::unit_event, model, &SlotModel::unit_event);
            connect(station, &Flash::Station::unit_log, model, &SlotModel::unit_log);
            connect(station, &Flash::Station::armed_changed, window, &BenchWindow::show_armed);
            // The units plugged in before the watch began take the watch's own way.
            for (Flash::ListedUnit const& unit : Flash::list_bus().units)
                emit watch->unit_arrived(unit.port);
        },
        Qt::QueuedConnection);
    thread->start();
}

void BenchSession::end() {
    if (!anchor)
        return;
    QMetaObject::invokeMethod(
        anchor,
        [this] {
            if (!station) {
                thread->quit();
                return;
            }
            station->disarm();
            if (!station->busy()) {
                thread->quit();
                return;
            }
            connect(station, &Flash::Station::idle, anchor, [this] { thread->quit(); });
        },
        Qt::QueuedConnection);
}
