#include "settings/settings.h"

#include "files/support_misc.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <climits>
#include <cmath>

Settings::Settings settings;

namespace Settings {

namespace {

// A JSON number that is a whole number within int range; anything else reads as 0.
int to_int(QJsonValue const& value) {
    if (!value.isDouble())
        return 0;
    double const d = value.toDouble();
    if (std::trunc(d) != d || d < double(INT_MIN) || d > double(INT_MAX))
        return 0;
    return int(d);
}

QString to_string(QJsonValue const& value) {
    return value.isString() ? value.toString() : QString();
}

bool to_bool(QJsonValue const& value) {
    return value.isBool() && value.toBool();
}

} // namespace

CircleData::operator QString() const {
    return QString("Circle '%1': (%2,%3), r=%4, w=%5, color=%6")
        .arg(name, QString::number(center.x()), QString::number(center.y()),
             QString::number(radius), QString::number(pen_width), color.name(QColor::HexArgb));
}

LabelData::operator QString() const {
    return QString("Label '%1': (%2,%3) {%4%5%6} font='%7':%8: '%9'")
        .arg(id, QString::number(position.x()), QString::number(position.y()),
             white ? QString() : QString("not-white"), (!white && !create) ? " " : "",
             create ? QString() : QString("no-create"), font, QString::number(size), text);
}

GUI::GUI(QString const& json_text) {
    QJsonObject const root = QJsonDocument::fromJson(json_text.toUtf8()).object();
    for (QJsonValue const& element : root.value("circles").toArray())
        circles.push_back(CircleData_factory(element.toObject()));
    for (QJsonValue const& element : root.value("labels").toArray())
        labels.push_back(LabelData_factory(element.toObject()));
    valid = true;
}

LabelData const* GUI::label(QString const& id) const {
    for (LabelData const& label : labels) {
        if (label.id == id)
            return &label;
    }
    qWarning() << "No matching label with id" << id << "found";
    return nullptr;
}

QString GUI::text(QString const& id) const {
    LabelData const* const found = label(id);
    return found ? found->text : QString();
}

GUI::operator QString() const {
    QString result = "GUI settings:\n";
    if (!valid)
        return result + "\tInvalid\n";
    for (CircleData const& circle : circles)
        result += "\t" + QString(circle) + "\n";
    for (LabelData const& label : labels)
        result += "\t" + QString(label) + "\n";
    return result;
}

CircleData CircleData_factory(QJsonObject object) {
    CircleData circle;
    circle.name = to_string(object.value("name"));
    QJsonObject const center = object.value("center").toObject();
    circle.center = QPoint(to_int(center.value("x")), to_int(center.value("y")));
    circle.radius = to_int(object.value("radius"));
    circle.pen_width = to_int(object.value("pen_width"));
    // Checked first so that an unknown name stays silent.
    QString const color = to_string(object.value("color"));
    if (QColor::isValidColor(color))
        circle.color.setNamedColor(color);
    return circle;
}

LabelData LabelData_factory(QJsonObject object) {
    LabelData label;
    if (object.contains("id"))
        label.id = to_string(object.value("id"));
    if (object.contains("position")) {
        QJsonValue const position = object.value("position");
        if (position.isObject()) {
            QJsonObject const xy = position.toObject();
            if (xy.contains("x"))
                label.position.setX(to_int(xy.value("x")));
            if (xy.contains("y"))
                label.position.setY(to_int(xy.value("y")));
        }
    }
    if (object.contains("size"))
        label.size = to_int(object.value("size"));
    if (object.contains("font"))
        label.font = to_string(object.value("font"));
    if (object.contains("create"))
        label.create = to_bool(object.value("create"));
    if (object.contains("white"))
        label.white = to_bool(object.value("white"));
    if (object.contains("text"))
        label.text = to_string(object.value("text"));
    return label;
}

QString load_settings_file(QString path) {
    return support_misc::load_text_file(support_misc::maybe_use_file_instead_of_resource(path));
}

GUI make_GUI(QString path) {
    return GUI(load_settings_file(path));
}

} // namespace Settings

QDebug operator<<(QDebug debug, Settings::CircleData const& circle) {
    QDebugStateSaver saver(debug);
    debug << QString(circle);
    return debug;
}

QDebug operator<<(QDebug debug, Settings::LabelData const& label) {
    QDebugStateSaver saver(debug);
    debug << QString(label);
    return debug;
}

QDebug operator<<(QDebug debug, Settings::GUI const& gui) {
    QDebugStateSaver saver(debug);
    debug.noquote() << QString(gui);
    return debug;
}
