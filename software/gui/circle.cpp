#include "gui/circle.h"

#include <QPainter>
#include <QPen>

Circle::Circle(Data data, QWidget* parent) : QWidget(parent), data(data) {
    setup();
}

Circle::~Circle() = default;

void Circle::setup() {
    setBackgroundRole(QPalette::Base);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(2 * data.radius, 2 * data.radius);
    move(data.center.x() - data.radius, data.center.y() - data.radius);
}

void Circle::setCenter(QPoint center) {
    data.center = center;
    move(center.x() - data.radius, center.y() - data.radius);
}

void Circle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(QBrush(data.color), qreal(data.pen_width), Qt::SolidLine, Qt::SquareCap,
                        Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    // The stroke is centred on the ellipse, so shrink it by half a pen to stay inside.
    int const inner = data.radius - data.pen_width / 2;
    int const offset = data.radius - inner;
    painter.drawEllipse(QRect(offset, offset, 2 * inner, 2 * inner));
}

void add_circles(std::vector<Settings::CircleData> const& circles, QWidget* parent) {
    std::vector<Circle::Data> data;
    data.reserve(circles.size());
    for (auto const& circle : circles)
        data.push_back({circle.center, circle.radius, circle.pen_width, circle.color});
    add_circles(data, parent);
}

void add_circles(std::vector<Circle::Data> const& circles, QWidget* parent) {
    for (auto const& data : circles) {
        auto* circle = new Circle(data, parent);
        circle->show();
    }
}
