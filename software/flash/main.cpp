#include "files/quit_on_signal.h"
#include "flash/bench_program.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    // First of all: a stop during start-up must be seen, never end the program half-way.
    watch_termination_signals();
    QCoreApplication app(argc, argv);
    return Flash::bench_main(app.arguments().mid(1));
}
