#include "gui/accessibility.h"

#include "gui/install_button.h"
#include "gui/main_window.h"
#include "gui/progress_bar.h"

#include <QLabel>

namespace {

QString text(MainWindow const* window, char const* id) {
    return window->settings->gui.text(id);
}

void describe_label(MainWindow* window, QString const& id, QString const& description) {
    if (auto* label = window->findChild<QLabel*>("label_" + id))
        label->setAccessibleDescription(description);
}

} // namespace

void describe_for_assistive_technology(MainWindow* window) {
    Device::ProductInfo product;
    product.type = window->settings->desired_FW_type;
    window->setAccessibleDescription(
        text(window, "access_window").arg(product.product_name_full()));
    describe_label(window, "2", text(window, "access_product"));
    describe_label(window, "4", text(window, "access_revision"));
    for (char const* step : {"7a", "7b", "9"})
        describe_label(window, step, text(window, "access_step"));
    if (window->install_button)
        window->install_button->setAccessibleDescription(text(window, "access_button"));
    if (window->status_label)
        window->status_label->setAccessibleDescription(text(window, "access_status"));
    if (window->progress_bar)
        window->progress_bar->setAccessibleName(text(window, "access_bar"));
}
