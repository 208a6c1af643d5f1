#include "app/bench_startup.h"

#include "app/refuse_start.h"
#include "bench_window/bench_session.h"
#include "bench_window/bench_window.h"
#include "bus/unit_watch.h"
#include "files/files.h"
#include "launch/device_startup.h"
#include "settings/settings.h"
#include "settings/translations.h"
#include "sim/simulator.h"

#include <QDebug>
#include <QProcessEnvironment>

namespace {

BenchWindow* window = nullptr;
BenchSession* session = nullptr;

void refuse(QString const& why) {
    refuse_to_start(start_up_message("bench_error", why));
}

} // namespace

void bench_init() {
    if (simulator::use)
        refuse("the simulator serves one unit, not a bench");
    if (!Bus::udev_running())
        refuse("udev does not run here, and the bench learns of each unit plugged in from udev");
    Flash::SlotTable const slot_table = Flash::read_slots(Flash::default_slots_file());
    if (!slot_table.error.isEmpty())
        refuse(slot_table.error);
    if (!init_device_side())
        refuse_to_start(start_up_message("error_extract", Files::extraction_error()));

    // As kelvora-flash station: the same image, record and journal.
    Flash::JobSettings const settings = Flash::carried_job_settings();
    if (settings.image.isEmpty() || !settings.carried.valid)
        refuse_to_start(start_up_message("error_extract", settings.image_file));

    QString language;
    Settings::GUI const gui = Settings::make_localized_GUI(
        ":resources/settings_GUI.json",
        Settings::ui_languages(QProcessEnvironment::systemEnvironment()), &language);
    end_start_up_on_signal();
    window = new BenchWindow(gui);
    session = new BenchSession(settings, slot_table, window);
    session->start();
    window->show();
}

void bench_cleanup() {
    if (!session)
        return;
    qInfo() << "Bench: letting the units under way end";
    delete session; // waits for the units under way, with the event loop running
    session = nullptr;
    delete window;
    window = nullptr;
}
