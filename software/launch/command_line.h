#pragma once

class QCoreApplication;

// Reads the switches -s/--use-simulator, -S/--no-use-simulator and -l/--use-log-window.
// An unknown option ends the process with the parser's error and a failure status.
void parse_arguments(QCoreApplication* app);

// Whether -l asked for the log window to receive the messages.
bool log_window_requested();
