#include "gui/install_button.h"

#include <QDebug>

InstallButton::InstallButton(QWidget* parent) : QPushButton(parent) {
    setFlat(false);
    setEnabled(true);
    setMinimumHeight(30);
    setObjectName("GUI_8");
    // Connected first, so the click is logged before anything else reacts to it.
    connect(this, &QPushButton::clicked, [] { qInfo() << "Install clicked"; });
}

InstallButton::~InstallButton() = default;
