#pragma once

#include "bench_window/slot_model.h"
#include "settings/settings.h"

#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class StatusAlert;

// Every slot of the bench at a glance: the counts since the window opened, the arm switch,
// "Start" and "Try failed again" above a table of the slots, and below it the log of the
// selected slot's unit. It shows what its model says and asks for work through its signals;
// whoever does the work answers by feeding the model.
class BenchWindow : public QWidget {
    Q_OBJECT

public:
    BenchWindow(Settings::GUI const& gui, QWidget* parent = nullptr);
    ~BenchWindow() override;

    SlotModel* model = nullptr;
    QLabel* counts_label = nullptr;
    QCheckBox* arm_switch = nullptr;
    QPushButton* start_button = nullptr;
    QPushButton* retry_button = nullptr;
    QTableView* table = nullptr;
    QLabel* log_title = nullptr;
    QPlainTextEdit* log_view = nullptr;
    QPushButton* save_button = nullptr;
    QLabel* alert_line = nullptr;
    StatusAlert* alert = nullptr;

    // For tests: when set, replaces the save-file dialog and gives the chosen file name
    // (empty for cancel).
    static std::function<QString()> ask_file_name;

    // The bench's arm state, as the bench reports it.
    void show_armed(bool armed);
    // Saves the selected row's log to file; false when it cannot be written.
    bool save_log_to(QString const& file);

signals:
    void arm_requested(bool armed);
    void start_requested();
    void retry_requested();

private:
    void show_counts(SlotCounts const& counts);
    void show_log();
    void update_actions();
    void announce_failure(QString const& text);
    void save_log();
    int selected_row() const;
    QString text(QString const& id) const;

    Settings::GUI gui;
};
