#include "gui/progress_bar.h"

#include <QTimer>

#include <algorithm>
#include <climits>

namespace {

char const* const style_sheet = R"(
QProgressBar {
    border: 2px solid grey;
    border-radius: 5px;
    text-align: center;
}

QProgressBar::chunk {
    background-color: rgba(160,240,140,100%);
    width: 5px;
}
)";

} // namespace

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
    min_interval = 50;
    timer = new QTimer(this);
    duration = 10000;
    setup_GUI();
    connect(timer, &QTimer::timeout, this, &ProgressBar::increase);
}

ProgressBar::~ProgressBar() = default;

void ProgressBar::setup_GUI() {
    setRange(0, 100);
    setStyleSheet(style_sheet);
}

int ProgressBar::value_after(int span, qint64 elapsed_ms, int duration_ms) {
    return int(double(span) * double(elapsed_ms) / double(duration_ms));
}

void ProgressBar::startAutoProgress(QString format, double duration) {
    timer->stop();
    setValue(minimum());
    setFormat(format);
    // Clamped so that a huge duration cannot overflow the millisecond count.
    if (duration >= 0)
        this->duration = std::max(1, int(std::min(duration * 1000, double(INT_MAX))));
    startAutoProgress();
}

void ProgressBar::startAutoProgress() {
    span = std::max(1, maximum() - minimum());
    int const period = std::max(min_interval, duration / span);
    setValue(minimum());
    following = false;
    if (!reports_seen) {
        timer->start(period);
        time.start();
    }
    show();
}

void ProgressBar::increase() {
    // A tick before any start has no clock to read.
    if (!time.isValid())
        return;
    setValue(value_after(span, time.elapsed(), duration));
    if (time.elapsed() > duration) {
        timer->stop();
        setValue(maximum());
        emit finished();
    }
}

void ProgressBar::followProgress(int percent) {
    timer->stop();
    int const clamped = std::clamp(percent, 0, 100);
    int const target = minimum() + int(qint64(maximum() - minimum()) * clamped / 100);
    setValue(following ? std::max(value(), target) : target);
    following = true;
    reports_seen = true;
}
