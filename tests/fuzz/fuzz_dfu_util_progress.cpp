#include "dfu/device_operations.h"
#include "dfu/dfu_util_progress.h"
#include "quiet_messages.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelvora_fuzz_quiet_messages();
    return 0;
}

// The first byte sets the size of the pieces that the rest arrives in, as from a pipe.
extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size == 0)
        return 0;
    int const piece = 1 + data[0] % 64;
    QByteArray const bytes(reinterpret_cast<char const*>(data + 1), static_cast<int>(size - 1));
    DFU::ProgressReader reader;
    for (int at = 0; at < bytes.size(); at += piece)
        for (DFU::ProgressStep const& step : reader.feed(bytes.mid(at, piece))) {
            if (step.percent < 0 || step.percent > 100)
                __builtin_trap();
            int const overall = DFU::overall_percent(step);
            if (overall < 0 || overall > 100)
                __builtin_trap();
        }
    // A write is never taken as sent by a code alone, nor as failed once it ended with 0.
    DFU::WriteEnd const end = DFU::write_end({1, QString::fromUtf8(bytes)});
    if (end.followed() != end.all_sent || !DFU::write_end({0, QString::fromUtf8(bytes)}).followed())
        __builtin_trap();
    return 0;
}
