// From a unit's bytes to the window: the OTP area (the first 512 bytes of the input) and the
// firmware information block (the rest) decoded as the worker decodes them, then every
// status text that names the unit, and the records' log text. Whatever the unit holds, a
// status text has no markup but the settings' own, and the log text no control character.
#include "device/fw_info.h"
#include "device/otp_info.h"
#include "dfu/device_info.h"
#include "quiet_messages.h"
#include "settings/settings.h"
#include "settings/status_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

Settings::GUI const& gui() {
    static Settings::GUI const loaded = Settings::make_GUI(KELVORA_SETTINGS_FILE);
    return loaded;
}

// Only the settings' own '<' may be in the text.
void check_markup(QString const& id, QString const& text) {
    if (text.count('<') != gui().text(id).count('<'))
        std::abort();
}

// Line feeds and tabs of the text form itself; nothing else below U+0020, no DEL, no C1.
void check_log_text(QString const& text) {
    for (QChar const c : text) {
        char16_t const u = c.unicode();
        if ((u < 0x20 && u != '\n' && u != '\t') || (u >= 0x7F && u <= 0x9F))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelvora_fuzz_quiet_messages();
    if (gui().text("status_devRev").isEmpty())
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    QByteArray const bytes(reinterpret_cast<char const*>(data), static_cast<int>(size));
    DFU::DeviceInfo info;
    info.valid = true;
    info.OTP_info = Device::make_OTP_Info(bytes.left(Device::otp_layout::area_size));
    info.device_type = info.OTP_info.product.type;
    info.FW_info = Device::make_FW_Info(bytes.mid(Device::otp_layout::area_size));
    if (info.OTP_info.product == info.FW_info.product)
        info.FW_revision = info.FW_info.revision;

    check_markup(info.FW_revision.isEmpty() ? "status_devRevUnknown" : "status_devRev",
                 StatusText::with_revision(gui(), info));
    for (char const* id : {"status_devConn", "status_restarting", "status_verifyFailed",
                           "status_writeFailed", "status_notBack"})
        check_markup(id, StatusText::with_product(gui(), id, info.OTP_info.product_name()));
    // A string of the unit's own through the same path.
    check_markup("status_devConn",
                 StatusText::with_product(gui(), "status_devConn", info.FW_info.name));

    check_log_text(info);
    check_log_text(info.FW_info);
    return 0;
}
