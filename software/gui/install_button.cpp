#include "gui/install_button.h"

#include <QDebug>

namespace {

// Only the focused state is styled, so the button keeps its usual look otherwise; the frame
// shows keyboard users where the focus is.
char const* const focus_style = R"(
QPushButton:focus {
    border: 3px solid rgb(60,140,230);
    border-radius: 4px;
    background-color: rgb(240,240,240);
    color: black;
}
)";

} // namespace

InstallButton::InstallButton(QWidget* parent) : QPushButton(parent) {
    setFlat(false);
    setEnabled(true);
    setMinimumHeight(30);
    setObjectName("GUI_8");
    // Enter as well as Space presses it, also outside a dialog.
    setAutoDefault(true);
    setFocusPolicy(Qt::StrongFocus);
    setStyleSheet(focus_style);
    // Connected first, so the click is logged before anything else reacts to it.
    connect(this, &QPushButton::clicked, [] { qInfo() << "Install clicked"; });
}

InstallButton::~InstallButton() = default;
