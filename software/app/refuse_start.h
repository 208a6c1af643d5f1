#pragma once

#include <QString>

// The text of a start-up message from the carried GUI settings, with %1 replaced by detail.
QString start_up_message(QString const& id, QString const& detail = {});

// Ends start-up before the main window opens: the message goes to the log and to the user
// in a dialog, the working directory is removed at exit, and the status says failure.
[[noreturn]] void refuse_to_start(QString const& message);

// The working directory could not be made safely: says which folder and why, and ends.
void refuse_start_without_working_dir();

// Another run of the tool holds the per-user instance lock: says so and ends.
// The lock stays held until the process ends.
void refuse_second_instance();

// Ends start-up when a termination signal arrived, before anything is shown.
void end_start_up_on_signal();
