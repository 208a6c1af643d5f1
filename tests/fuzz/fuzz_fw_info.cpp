#include "device/fw_info.h"
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
    Device::FW_Info const info = Device::make_FW_Info(bytes);
    QString const text = info;
    qDebug() << info << info.product << text;

    // String fields at every position near both ends of the data, also past its end.
    int const count = static_cast<int>(size);
    for (int pos = -1; pos <= count && pos < 40; ++pos)
        (void)Device::get_string(bytes, pos);
    for (int pos = qMax(0, count - 40); pos <= count + 1; ++pos)
        (void)Device::get_string(bytes, pos);
    return 0;
}
