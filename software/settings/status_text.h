#pragma once

#include "dfu/device_info.h"
#include "settings/settings.h"

#include <QString>

// The status line's texts that name the connected unit. The settings' texts are rich text;
// every value filled into one is escaped first, so that a unit's strings show as the
// characters they hold and never act as markup (an image tag would make the label open a
// file).
namespace StatusText {

// The text of `id` with %1 := the product name.
QString with_product(Settings::GUI const& gui, QString const& id, QString const& product_name);

// "status_devRev" with %1 := the product name and %2 := the unit's revision, or
// "status_devRevUnknown" with the product name alone when the unit's revision is empty.
QString with_revision(Settings::GUI const& gui, DFU::DeviceInfo const& info);

} // namespace StatusText
