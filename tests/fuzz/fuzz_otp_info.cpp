#include "device/otp_info.h"
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
    Device::OTP_Info const info = Device::make_OTP_Info(bytes);
    QString const text = info;
    qDebug() << info << info.product << info.product.type << info.product_name()
             << info.product.product_name_full() << text;
    return 0;
}
