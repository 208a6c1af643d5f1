#include "app/quit_on_signal.h"

#include <QCoreApplication>
#include <QDebug>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signal_pipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop reads the byte and quits.
void on_signal(int signal_number) {
    unsigned char const byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] ssize_t const written = ::write(signal_pipe[0], &byte, 1);
}

} // namespace

void quit_event_loop_on_termination_signals() {
    if (signal_pipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signal_pipe) != 0) {
        qWarning() << "Cannot watch for termination signals";
        return;
    }
    auto* notifier =
        new QSocketNotifier(signal_pipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier] {
        notifier->setEnabled(false);
        unsigned char byte = 0;
        [[maybe_unused]] ssize_t const got = ::read(signal_pipe[1], &byte, 1);
        qInfo() << "Signal" << int(byte) << "received, shutting down";
        QCoreApplication::exit(128 + byte);
    });

    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

#else

void quit_event_loop_on_termination_signals() {}

#endif
