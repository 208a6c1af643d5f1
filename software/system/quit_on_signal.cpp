#include "system/quit_on_signal.h"

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

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signal_pipe[2] = {-1, -1};

// Only async-signal-safe work here, and nothing that waits: the event loop reads the byte.
// The write end does not block, so a burst of signals that fills the socket loses only bytes;
// the flag already holds the signal that counts. errno belongs to the interrupted code.
void on_signal(int signal_number) {
    int const saved_errno = errno;
    int expected = 0;
    pending_signal.compare_exchange_strong(expected, signal_number);
    unsigned char const byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] ssize_t const written = ::write(signal_pipe[0], &byte, 1);
    errno = saved_errno;
}

// Reads every byte waiting in the socket, so that the notifier sees the next signal.
QByteArray drain_signal_socket() {
    QByteArray received;
    unsigned char bytes[64];
    for (;;) {
        ssize_t const got = ::read(signal_pipe[1], bytes, sizeof bytes);
        if (got > 0)
            received.append(reinterpret_cast<char const*>(bytes), int(got));
        else if (got < 0 && errno == EINTR)
            continue;
        else
            return received;
    }
}

} // namespace

void System::install_termination_handlers() {
    if (signal_pipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signal_pipe) != 0) {
        signal_pipe[0] = signal_pipe[1] = -1;
        qWarning() << "Cannot watch for termination signals";
        return;
    }
    // dfu-util and the simulator script have no use for them. Neither end ever blocks.
    for (int const fd : signal_pipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
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
    System::install_termination_handlers();
    static QSocketNotifier* notifier = nullptr;
    if (notifier || signal_pipe[1] < 0)
        return;
    notifier =
        new QSocketNotifier(signal_pipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    // The first signal ends the event loop; later ones are only logged, as the shut-down that
    // it started is under way and keeps its bound. The count of a burst may be short of what
    // was sent: pending signals merge, and the socket holds only so many.
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        static bool exit_requested = false;
        QByteArray const received = drain_signal_socket();
        if (received.isEmpty())
            return;
        if (!exit_requested) {
            exit_requested = true;
            int const first = static_cast<unsigned char>(received.front());
            qInfo() << "Signal" << first << "received, shutting down";
            if (received.size() > 1)
                qInfo() << received.size() - 1 << "more termination signals, already shutting down";
            QCoreApplication::exit(128 + first);
            return;
        }
        qInfo() << received.size() << "more termination signals, already shutting down";
    });
}

#else

void System::install_termination_handlers() {}
void quit_event_loop_on_termination_signals() {}

#endif
