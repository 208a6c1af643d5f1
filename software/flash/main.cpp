#include "flash/bench_program.h"
#include "system/quit_on_signal.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    // First of all: a stop during start-up must be seen, never end the program half-way.
    System::install_termination_handlers();
    QCoreApplication app(argc, argv);
    return Flash::bench_main(app.arguments().mid(1));
}
