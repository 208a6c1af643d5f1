#pragma once

#include <QPushButton>

// The button that starts an upgrade. Caption, geometry and enabled state come from the
// main window.
class InstallButton : public QPushButton {
    Q_OBJECT

public:
    explicit InstallButton(QWidget* parent);
    ~InstallButton() override;
};
