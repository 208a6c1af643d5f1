#include "bus/unit_watch.h"
#include "quiet_messages.h"

#include <QDebug>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelvora_fuzz_quiet_messages();
    return 0;
}

// The input is ACTION, DEVPATH and PRODUCT of one udev message, separated by NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    QList<QByteArray> const fields =
        QByteArray(reinterpret_cast<char const*>(data), static_cast<int>(size)).split('\0');
    auto const field = [&fields](int i) { return i < fields.size() ? fields[i] : QByteArray(); };
    std::optional<Bus::UnitEvent> const event = Bus::unit_event(field(0), field(1), field(2));
    if (event)
        qDebug() << event->kind << event->port;
    return 0;
}
