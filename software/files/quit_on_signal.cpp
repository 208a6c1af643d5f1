#include "files/quit_on_signal.h"

#include <QCoreApplication>
#include <QDebug>

#include <atomic>

namespace {

std::atomic<int> pending_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "written from a signal handler");

} // namespace

int pending_termination_signal() {
    return pending_signal.load();
}

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signal_pipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop reads the byte and quits.
void on_signal(int signal_number) {
    int expected = 0;
    pending_signal.compare_exchange_strong(expected, signal_number);
    unsigned char const byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] ssize_t const written = ::write(signal_pipe[0], &byte, 1);
}

} // namespace

void watch_termination_signals() {
    if (signal_pipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signal_pipe) != 0) {
        signal_pipe[0] = signal_pipe[1] = -1;
        qWarning() << "Cannot watch for termination signals";
        return;
    }
    // dfu-util and the simulator script have no use for them.
    for (int const fd : signal_pipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int const signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        struct sigaction before = {};
        // A shell starts background jobs with SIGINT and SIGQUIT ignored; keep it that way.
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
}

void quit_event_loop_on_termination_signals() {
    watch_termination_signals();
    static QSocketNotifier* notifier = nullptr;
    if (notifier || signal_pipe[1] < 0)
        return;
    notifier =
        new QSocketNotifier(signal_pipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        notifier->setEnabled(false);
        unsigned char byte = 0;
        [[maybe_unused]] ssize_t const got = ::read(signal_pipe[1], &byte, 1);
        qInfo() << "Signal" << int(byte) << "received, shutting down";
        QCoreApplication::exit(128 + byte);
    });
}

#else

void watch_termination_signals() {}
void quit_event_loop_on_termination_signals() {}

#endif
