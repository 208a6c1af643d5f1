#pragma once

#include <QElapsedTimer>
#include <QProgressBar>
#include <QString>

class QTimer;

// A progress bar that fills itself by the clock over a given duration, until the work it
// shows reports its own progress: from then on it follows those reports. Once any work has
// reported, later starts wait for reports instead of running the clock, which would race
// ahead of the work.
class ProgressBar : public QProgressBar {
    Q_OBJECT

public:
    explicit ProgressBar(QWidget* parent);
    ~ProgressBar() override;

    void setup_GUI();

    // The value after `elapsed_ms` of `duration_ms`, for a bar spanning `span` steps.
    static int value_after(int span, qint64 elapsed_ms, int duration_ms);

    int span = 1;          // maximum - minimum, at least 1
    int min_interval = 50; // shortest timer period, ms
    QTimer* timer = nullptr;
    QElapsedTimer time;
    int duration = 10000;      // time to fill the bar, ms
    bool following = false;    // this start has had a report
    bool reports_seen = false; // some start has had a report

signals:
    void finished();

public slots:
    // `duration` in seconds; a negative value keeps the previous duration.
    void startAutoProgress(QString format, double duration = -1);
    void startAutoProgress();
    void increase();
    // The work is `percent` (0 to 100) done: the clock stops driving the bar. The first
    // report of a start replaces what the clock showed; later ones never move it back.
    void followProgress(int percent);
};
