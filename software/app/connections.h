#pragma once

class QApplication;

// Joins the main window, the two machines, the application and the log window.
void add_connections(QApplication* app);

// Waits until the worker's thread has ended, with events handled meanwhile: the window stays
// painted and its status line says that the tool is stopping. The worker must have been told
// to stop; the runner's bound limits how long its last command may take.
void wait_for_worker_with_window();
