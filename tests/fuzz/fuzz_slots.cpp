#include "flash/slots.h"
#include "quiet_messages.h"

#include <QDebug>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelvora_fuzz_quiet_messages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    QByteArray const bytes(reinterpret_cast<char const*>(data), static_cast<int>(size));
    Flash::SlotTable const table = Flash::parse_slots(bytes);
    // A sound table names each port once; a table at fault holds nothing.
    if (!table.error.isEmpty() && !table.entries.isEmpty())
        __builtin_trap();
    for (Flash::Slot const& slot : table.entries)
        if (table.name_of(slot.port) != slot.name || slot.name.size() > Flash::max_name_length)
            __builtin_trap();
    qDebug() << table.error << table.error_line << table.entries.size();
    return 0;
}
