#pragma once

// The start-up sequence; no failure stops it.
void GUI_init();

// The shut-down sequence after the event loop; returns its argument as the exit status.
int GUI_cleanup(int result);
