#pragma once

// Makes SIGINT and SIGTERM end the run like closing the main window: the event loop returns,
// the shut-down sequence runs and the working directory is removed at exit.
void quit_event_loop_on_termination_signals();
