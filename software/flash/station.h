#pragma once

#include "flash/bench_event.h"
#include "flash/slots.h"
#include "flash/unit_job.h"

#include <QMap>
#include <QObject>
#include <QStringList>
#include <QVector>

class QThread;

namespace Flash {

// How many verdicts the station gave: every unit handled counts once each time it is handled.
struct Counts {
    int done = 0;
    int failed = 0;
    int skipped = 0;
};

// What one slot of the bench shows.
struct SlotView {
    enum State { empty, waiting, working, done, failed, skipped };
    QString port;
    QString name; // the slot's name, or the port path where the slots file names none
    State state = empty;
    Event last; // the last event of the unit in it: serial, step, percent, reason
};

char const* state_text(SlotView::State state);

// The bench's core: each unit that arrives on a port is handled as `upgrade` handles one
// unit (identity, revision, write, restart, read-back, verdict), on a thread of its own, while
// other units arrive and leave. A unit that stays after its verdict is not touched again; one
// plugged in again is handled again. The station opens a unit only by its port, never lists
// the bus, and learns of units from unit_arrived() and unit_left() (a bus watch's signals).
// It lives on a thread with an event loop; its signals come from there.
class Station : public QObject {
    Q_OBJECT

public:
    // ports: the only ports the station serves; empty: every port.
    Station(JobSettings settings, SlotTable slot_table, QStringList ports,
            QObject* parent = nullptr);
    // Waits for every unit under way.
    ~Station() override;

    // Armed, each unit is started as it arrives; disarmed, arrivals wait and no unit is
    // started, while units under way end.
    void arm();
    void disarm();
    bool armed() const { return armed_; }
    // Starts every unit present that has not been handled since it arrived.
    void start_present();
    // Starts again every unit present whose last verdict was a failure.
    void retry_failed();

    bool busy() const;
    Counts counts() const { return counts_; }
    // Every slot known so far: the named ones in the slots file's order, then the others in
    // the order of their first unit.
    QVector<SlotView> slots_view() const;

public slots:
    void unit_arrived(QString const& port);
    void unit_left(QString const& port);

signals:
    void armed_changed(bool armed);
    // A step of a unit's handling, as `upgrade` reports it, naming its slot.
    void unit_event(Flash::Event const& event);
    // A unit was unplugged (after its verdict, or during its handling: reported after it).
    void unit_gone(Flash::Event const& event);
    // After each verdict.
    void counts_changed(Flash::Counts const& counts);
    // One line for a person about a unit's step, for a per-unit log.
    void unit_log(QString const& port, QString const& line);
    // Disarmed, and no unit under way.
    void idle();
    // The first unit is taken in hand (true), or the last under way has its verdict (false).
    void busy_changed(bool busy);

private:
    struct Entry {
        SlotView view;
        bool present = false;
        bool handled = false; // a verdict was given since it arrived
        QThread* job = nullptr;
    };

    Entry& entry(QString const& port);
    void start(Entry& entry);
    void on_job_event(Event const& event);
    void on_job_end(QString const& port, Event const& last);
    void report_gone(Entry& entry);
    void check_idle();

    JobSettings settings_;
    SlotTable slots_;
    QStringList ports_;
    bool armed_ = false;
    Counts counts_;
    QMap<QString, Entry> entries_;
    QStringList order_;
};

} // namespace Flash

Q_DECLARE_METATYPE(Flash::Event)
Q_DECLARE_METATYPE(Flash::Counts)
