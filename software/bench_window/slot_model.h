#pragma once

#include "flash/bench_event.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QStringList>
#include <QVector>

#include <functional>

// The bench window's rows: one per slot, the slots file's named ones first (in its order),
// then every other port where a unit arrived (in the order of their first unit). Fed on the
// GUI thread by the bus's arrivals and departures and by the bench's events of each unit; it
// only shows, it never starts anything.
// How many verdicts were given since the model was made; a unit handled again counts again.
struct SlotCounts {
    int done = 0;
    int failed = 0;
    int skipped = 0;
};

struct SlotRow {
    enum State { empty, waiting, reading, writing, verifying, done, failed, skipped };
    QString port;
    QString slot; // the slots file's name of the port; empty: none
    QString serial;
    QString product;
    QString revision; // the revision that the unit held when it arrived
    State state = empty;
    int percent = -1; // writing and verifying: 0 to 100
    QString reason;   // of the verdict
    bool present = false;
    bool in_work = false; // the bench handles the unit: it leaves and returns while it restarts
    QStringList log;      // the unit's lines, since it arrived

    // The unit left after its verdict, or the slot never held one: shown greyed.
    bool greyed() const { return !present && !in_work; }
    bool verdict() const { return state == done || state == failed || state == skipped; }
};

class SlotModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column {
        slot_column,
        port_column,
        serial_column,
        product_column,
        revision_column,
        state_column,
        progress_column,
        verdict_column,
        column_count
    };
    // The percent of the progress column, or -1 where no bar is drawn.
    static constexpr int percent_role = Qt::UserRole + 1;

    // text: the window's text of an id ("bench_state_writing", ...); an empty one falls back
    // to the id.
    explicit SlotModel(std::function<QString(QString const&)> text, QObject* parent = nullptr);

    // The slots file's ports and names, in its order; rows of these ports come first.
    void set_named_slots(QVector<QPair<QString, QString>> const& port_and_name);

    int rowCount(QModelIndex const& parent = {}) const override;
    int columnCount(QModelIndex const& parent = {}) const override;
    QVariant data(QModelIndex const& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    SlotRow const& row(int index) const { return rows_[index]; }
    int row_of(QString const& port) const;
    SlotCounts counts() const { return counts_; }
    // Whether a unit whose last verdict failed is still plugged in, and whether a unit that
    // arrived waits without a verdict.
    bool failed_present() const;
    bool waiting_present() const;
    // The words of a row's state and of its verdict, as the table shows them.
    QString state_words(SlotRow const& row) const;
    QString verdict_words(SlotRow const& row) const;
    static QColor verdict_colour(SlotRow::State state);

public slots:
    // A unit arrived on port. One that returns while the bench handles it is the same unit;
    // any other one clears its row.
    void unit_arrived(QString const& port);
    void unit_left(QString const& port);
    // A step of a unit's handling. A step of the bar changes the progress cell
    // only; every other step the whole row.
    void unit_event(Flash::Event const& event);
    // A line for the unit's log.
    void unit_log(QString const& port, QString const& line);

signals:
    void counts_changed(SlotCounts counts);
    // A unit's verdict is a failure; text says so in words.
    void unit_failed(QString const& text);
    void log_appended(int row, QString const& line);
    // Rows that can be started or tried again changed.
    void actions_changed();

private:
    int ensure_row(QString const& port);
    void changed(int row);
    QString words(QString const& id) const;

    std::function<QString(QString const&)> text_;
    QVector<SlotRow> rows_;
    SlotCounts counts_;
};

Q_DECLARE_METATYPE(SlotCounts)
