#pragma once

#include "flash/slots.h"
#include "flash/unit_job.h"

#include <QObject>

class BenchWindow;
class QThread;

namespace Bus {
class UnitWatch;
}
namespace Flash {
class Station;
}

// Runs a station for a bench window. The station, the bus watch and the listing of the units
// present at the start live on a thread of their own, and so do the station's jobs: the GUI
// thread only receives their signals, queued, and sends the window's requests the same way.
// That thread and all it starts run at a lower priority than the GUI thread.
// Everything the station and the watch report reaches the window in the order they said it.
class BenchSession : public QObject {
    Q_OBJECT

public:
    // The window's model learns the slots file's names at once. The station starts disarmed.
    BenchSession(Flash::JobSettings settings, Flash::SlotTable slot_table, BenchWindow* window,
                 QObject* parent = nullptr);
    // Ends as end() does, and waits for it.
    ~BenchSession() override;

    // Starts the thread: the watch first, then the listing of the units already plugged in
    // (each reported as arriving), so that none is missed between the two.
    void start();
    // Disarms; once no unit is under way, the thread ends and ended() follows.
    void end();
    bool running() const;

signals:
    void ended();

private:
    void on_thread(std::function<void(Flash::Station&)> work);

    Flash::JobSettings settings;
    Flash::SlotTable slot_table;
    BenchWindow* window;
    QThread* thread = nullptr;
    QObject* anchor = nullptr;         // lives on the thread: the requests' receiver
    Flash::Station* station = nullptr; // touched on the thread only
    Bus::UnitWatch* watch = nullptr;   // touched on the thread only
};
