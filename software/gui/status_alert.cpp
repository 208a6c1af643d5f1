#include "gui/status_alert.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QDebug>
#include <QLabel>
#include <QTextDocumentFragment>

namespace {

QAccessibleInterface* alert_interface(QString const& class_name, QObject* object) {
    if (class_name == QLatin1String("StatusAlert") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::AlertMessage);
    return nullptr;
}

} // namespace

StatusAlert::StatusAlert(QLabel* status_line, QWidget* parent)
    : QWidget(parent), status_line(status_line) {
    static bool const factory_installed = [] {
        QAccessible::installFactory(alert_interface);
        return true;
    }();
    Q_UNUSED(factory_installed);
    setObjectName("status_alert");
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    // A pixel under the status line: nothing is painted, but a hidden widget is not reported.
    setGeometry(status_line->x(), status_line->y(), 1, 1);
    hide();
}

StatusAlert::~StatusAlert() = default;

QString StatusAlert::plain_status() const {
    return QTextDocumentFragment::fromHtml(status_line->text()).toPlainText().simplified();
}

void StatusAlert::announce() {
    QString const text = plain_status();
    qInfo() << "Status alert announced";
    setAccessibleName(text);
    hide();
    show();
    QAccessibleEvent alert(status_line, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

void StatusAlert::announce_if_shown(QString const& text) {
    if (!text.isEmpty() && status_line->text() == text)
        announce();
}
