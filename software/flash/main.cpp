#include "flash/bench_program.h"
#include "system/quit_on_signal.h"

#include <QCoreApplication>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

// A closed standard stream would hand its number to the next file opened (a working file,
// the record, a pipe to dfu-util), and the report or the messages would land there. Each is
// held by a device instead; standard output by /dev/full, whose writes fail, so that the
// exit status says that the report was lost.
void hold_closed_streams() {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        int const held = open(fd == STDOUT_FILENO ? "/dev/full" : "/dev/null",
                              fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            close(held);
        }
    }
}

} // namespace

int main(int argc, char* argv[]) {
    hold_closed_streams();
    // First of all: a stop during start-up must be seen, never end the program half-way.
    System::install_termination_handlers();
    // A reader that goes away (| head) must not end the program in the middle of a write:
    // the report's writes fail instead, and the exit status says so.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    return Flash::bench_main(app.arguments().mid(1));
}
