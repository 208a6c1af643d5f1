#pragma once

// Termination signals (SIGTERM, SIGINT, SIGHUP, SIGQUIT) end the run like closing the main
// window: the event loop returns, the shut-down sequence runs and the working directory is
// removed at exit. A signal that was ignored when the process started stays ignored.

namespace System {

// Installs the handlers. Every program that wants the orderly end calls it as the first act
// of main(), so that a signal from then on leaves no working directory behind; it needs no
// application object. Nothing installs them during static initialisation: a program that
// never asks keeps the default actions. Later calls do nothing.
void install_termination_handlers();

} // namespace System

// The first termination signal received so far, or 0. Safe from any thread.
int pending_termination_signal();

// Lets the event loop see the signals: one received earlier (or later) ends the loop with
// the status 128 + the signal's number. Installs the handlers when that has not happened yet.
void quit_event_loop_on_termination_signals();
