#include "settings/status_text.h"

namespace StatusText {

QString with_product(Settings::GUI const& gui, QString const& id, QString const& product_name) {
    return gui.text(id).arg(product_name.toHtmlEscaped());
}

QString with_revision(Settings::GUI const& gui, DFU::DeviceInfo const& info) {
    QString const product = info.OTP_info.product_name().toHtmlEscaped();
    if (info.FW_revision.isEmpty())
        return gui.text("status_devRevUnknown").arg(product);
    // Both at once: a marker inside the first value is not replaced by the second.
    return gui.text("status_devRev").arg(product, info.FW_revision.toHtmlEscaped());
}

} // namespace StatusText
