#pragma once

#include "settings/settings.h"

#include <QColor>
#include <QPoint>
#include <QWidget>

#include <vector>

// A decorative ring, drawn inside a square widget centred on the ring's centre.
class Circle : public QWidget {
    Q_OBJECT

public:
    struct Data {
        QPoint center;  // in the parent's coordinates
        int radius = 0; // outer radius
        int pen_width = 0;
        QColor color;
    };

    Circle(Data data, QWidget* parent);
    ~Circle() override;

    void setup();
    void setCenter(QPoint center);

    Data data;

protected:
    void paintEvent(QPaintEvent* event) override;
};

void add_circles(std::vector<Settings::CircleData> const& circles, QWidget* parent);
void add_circles(std::vector<Circle::Data> const& circles, QWidget* parent);
