#include "flash/bench_program.h"
#include "system/quit_on_signal.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char* argv[]) {
    // First of all: a stop during start-up must be seen, never end the program half-way.
    System::install_termination_handlers();
    // A reader that goes away (| head) must not end the program in the middle of a write:
    // the report's writes fail instead, and the exit status says so.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    return Flash::bench_main(app.arguments().mid(1));
}
