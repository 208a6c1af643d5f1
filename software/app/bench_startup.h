#pragma once

// The bench window's start-up, instead of the one-unit window's: after the switches, the
// working folder and the instance lock. Refuses to start (with a message box) where udev
// does not run, where the slots file is at fault, or in simulator mode.
void bench_init();

// After the event loop: the station disarms and the units under way end.
void bench_cleanup();
