#pragma once

#include "device/product_table.h"

#include <QColor>
#include <QDebug>
#include <QJsonObject>
#include <QPoint>
#include <QString>

#include <vector>

// The window's texts, positions and decorations, read from a JSON document:
//   { "labels": [ { "id", "position": { "x", "y" }, "size", "font", "create", "white",
//                   "text" }, ... ],
//     "circles": [ { "name", "center": { "x", "y" }, "radius", "pen_width", "color" }, ... ] }
// Missing or mistyped values fall back to defaults; nothing here ever fails or reports a
// broken document.
namespace Settings {

struct CircleData {
    QString name;
    QPoint center;
    int radius = 0;
    int pen_width = 0;
    QColor color;

    operator QString() const;
};

struct LabelData {
    QString id;
    QPoint position{-1, -1};
    int size = -1;
    QString font;
    QString text;
    bool create = true;
    bool white = true;

    operator QString() const;
};

class GUI {
public:
    GUI() = default;
    explicit GUI(QString const& json_text);

    // The first label with exactly this id, or null (after a warning).
    LabelData const* label(QString const& id) const;
    // The text of label(id), or an empty string.
    QString text(QString const& id) const;

    operator QString() const;

    bool valid = false;
    std::vector<CircleData> circles;
    std::vector<LabelData> labels;
};

CircleData CircleData_factory(QJsonObject object);
LabelData LabelData_factory(QJsonObject object);

// The GUI description and the facts about the carried firmware that the window shows.
struct Settings {
    GUI gui;
    QString desired_FW_name;
    Device::Type desired_FW_type = Device::Type::invalid;
    QString desired_FW_revision;
};

// Throws the QString of support_misc::load_text_file when the file cannot be opened.
QString load_settings_file(QString path);
GUI make_GUI(QString path);

} // namespace Settings

QDebug operator<<(QDebug debug, Settings::CircleData const& circle);
QDebug operator<<(QDebug debug, Settings::LabelData const& label);
QDebug operator<<(QDebug debug, Settings::GUI const& gui);

// Filled once at start-up, read-only afterwards.
extern Settings::Settings settings;
