#pragma once

class MainWindow;

// Ties the window to assistive technology and the desktop: names and descriptions for
// screen readers, failures announced as alerts, a desktop notice when an upgrade ends while
// the user works elsewhere, and no sleep while firmware is written.
void add_desktop_connections(MainWindow* window);
