#include "app/startup.h"

#include "app/command_line.h"
#include "app/device_startup.h"

#include <QCoreApplication>

void GUI_init() {
    parse_arguments(QCoreApplication::instance());
    init_device_side();
}

int GUI_cleanup(int result) {
    return result;
}
