#include "dfu/device_info.h"

#include "device/unit_text.h"

namespace DFU {

DeviceInfo::operator QString() const {
    QString text = "DeviceInfo:\n";
    if (!valid)
        return text + "Invalid";
    text += "\tDevice type:\t" + QString::number(static_cast<unsigned>(device_type)) + "\n";
    text += "\tFW_revision:\t" + Device::loggable(FW_revision) + "\n";
    return text;
}

QDebug operator<<(QDebug debug, DeviceInfo const& info) {
    QDebugStateSaver saver(debug);
    debug.noquote() << QString(info);
    return debug;
}

} // namespace DFU
