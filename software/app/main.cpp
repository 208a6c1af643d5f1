#include "app/refuse_start.h"
#include "app/startup.h"
#include "system/quit_on_signal.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    // A signal that arrives once the working directory exists must find the handlers in
    // place, or it ends the process without removing the directory.
    System::install_termination_handlers();
    // Sharp texts, circle and pictures where a screen has more pixels per point.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    // Only one run per user session talks to units; a second one ends before it starts. The
    // working directory's own failure is the clearer message, so it is looked at first.
    refuse_start_without_working_dir();
    refuse_second_instance();
    GUI_init();
    return GUI_cleanup(app.exec());
}
