#pragma once

class MainWindow;

// Gives the window's parts the names and descriptions that a screen reader speaks: the
// product and version labels, the steps, the install button, the status line and the bar.
// The status line keeps its text as its name, so each new text reaches assistive technology
// as a name change.
void describe_for_assistive_technology(MainWindow* window);
