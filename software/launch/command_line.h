#pragma once

class QCoreApplication;

// Reads the switches -s/--use-simulator, -S/--no-use-simulator, -l/--use-log-window and
// --bench.
// An unknown option ends the process with the parser's error and a failure status.
void parse_arguments(QCoreApplication* app);

// Whether -l asked for the log window to receive the messages.
bool log_window_requested();

// Whether --bench asked for the bench window instead of the one-unit window.
bool bench_window_requested();
