#pragma once

class QApplication;

// Joins the main window, the two machines, the application and the log window.
void add_connections(QApplication* app);
