#include "bench_window/slot_model.h"

namespace {

char const* const column_ids[SlotModel::column_count] = {
    "bench_col_slot",     "bench_col_port",  "bench_col_serial",   "bench_col_product",
    "bench_col_revision", "bench_col_state", "bench_col_progress", "bench_col_verdict"};

SlotRow::State state_of(Flash::Event::Kind kind) {
    switch (kind) {
    case Flash::Event::found:
        return SlotRow::reading;
    case Flash::Event::writing:
        return SlotRow::writing;
    case Flash::Event::verifying:
        return SlotRow::verifying;
    case Flash::Event::done:
        return SlotRow::done;
    case Flash::Event::failed:
        return SlotRow::failed;
    case Flash::Event::skipped:
    case Flash::Event::left: // never asked: unit_event() takes a departure as unit_left()
        break;
    }
    return SlotRow::skipped;
}

} // namespace

SlotModel::SlotModel(std::function<QString(QString const&)> text, QObject* parent)
    : QAbstractTableModel(parent), text_(std::move(text)) {
    qRegisterMetaType<SlotCounts>();
}

QString SlotModel::words(QString const& id) const {
    QString const text = text_ ? text_(id) : QString();
    return text.isEmpty() ? id : text;
}

void SlotModel::set_named_slots(QVector<QPair<QString, QString>> const& port_and_name) {
    beginResetModel();
    QVector<SlotRow> named;
    for (auto const& [port, name] : port_and_name) {
        int const existing = row_of(port);
        SlotRow row = existing >= 0 ? rows_.takeAt(existing) : SlotRow();
        row.port = port;
        row.slot = name;
        named.append(row);
    }
    rows_ = named + rows_;
    endResetModel();
}

int SlotModel::rowCount(QModelIndex const& parent) const {
    return parent.isValid() ? 0 : rows_.size();
}

int SlotModel::columnCount(QModelIndex const& parent) const {
    return parent.isValid() ? 0 : column_count;
}

int SlotModel::row_of(QString const& port) const {
    for (int i = 0; i < rows_.size(); ++i)
        if (rows_[i].port == port)
            return i;
    return -1;
}

int SlotModel::ensure_row(QString const& port) {
    int const existing = row_of(port);
    if (existing >= 0)
        return existing;
    beginInsertRows({}, rows_.size(), rows_.size());
    SlotRow row;
    row.port = port;
    rows_.append(row);
    endInsertRows();
    return rows_.size() - 1;
}

void SlotModel::changed(int row) {
    emit dataChanged(index(row, 0), index(row, column_count - 1));
    emit actions_changed();
}

bool SlotModel::failed_present() const {
    for (SlotRow const& row : rows_)
        if (row.present && !row.in_work && row.state == SlotRow::failed)
            return true;
    return false;
}

bool SlotModel::waiting_present() const {
    for (SlotRow const& row : rows_)
        if (row.present && row.state == SlotRow::waiting)
            return true;
    return false;
}

QString SlotModel::state_words(SlotRow const& row) const {
    if (row.state == SlotRow::empty)
        return words("bench_state_empty");
    if (row.greyed())
        return words("bench_state_left");
    switch (row.state) {
    case SlotRow::waiting:
        return words("bench_state_waiting");
    case SlotRow::reading:
        return words("bench_state_reading");
    case SlotRow::writing:
        return words("bench_state_writing");
    case SlotRow::verifying:
        return words("bench_state_verifying");
    default:
        return words("bench_state_ended");
    }
}

QString SlotModel::verdict_words(SlotRow const& row) const {
    switch (row.state) {
    case SlotRow::done:
        return words("bench_verdict_done").arg(row.reason);
    case SlotRow::failed:
        return words("bench_verdict_failed").arg(row.reason);
    case SlotRow::skipped:
        return words("bench_verdict_skipped").arg(row.reason);
    default:
        return {};
    }
}

QColor SlotModel::verdict_colour(SlotRow::State state) {
    switch (state) {
    case SlotRow::done:
        return QColor(0x1b, 0x7f, 0x3a);
    case SlotRow::failed:
        return QColor(0xc0, 0x1c, 0x28);
    case SlotRow::skipped:
        return QColor(0x9a, 0x62, 0x00);
    default:
        return {};
    }
}

QVariant SlotModel::data(QModelIndex const& index, int role) const {
    if (!index.isValid() || index.row() >= rows_.size())
        return {};
    SlotRow const& row = rows_[index.row()];
    bool const bar = (row.state == SlotRow::writing || row.state == SlotRow::verifying) &&
                     row.in_work && row.percent >= 0;
    if (role == percent_role)
        return index.column() == progress_column && bar ? row.percent : -1;
    if (role == Qt::ForegroundRole) {
        if (row.greyed())
            return QColor(Qt::gray);
        if (index.column() == verdict_column && row.verdict())
            return verdict_colour(row.state);
        return {};
    }
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole && role != Qt::ToolTipRole)
        return {};
    switch (index.column()) {
    case slot_column:
        return row.slot.isEmpty() ? row.port : row.slot;
    case port_column:
        return row.port;
    case serial_column:
        return row.serial;
    case product_column:
        return row.product;
    case revision_column:
        return row.revision;
    case state_column:
        return state_words(row);
    case progress_column:
        return bar ? words("bench_progress").arg(row.percent) : QString();
    case verdict_column:
        return verdict_words(row);
    default:
        return {};
    }
}

QVariant SlotModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || section < 0)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    return section < column_count ? words(column_ids[section]) : QVariant();
}

void SlotModel::unit_arrived(QString const& port) {
    int const at = ensure_row(port);
    SlotRow& row = rows_[at];
    // A unit that is there cannot arrive again before it left: told twice, it is one unit.
    if (row.present)
        return;
    if (!row.in_work) {
        // Another unit: nothing of the one before stays.
        SlotRow fresh;
        fresh.port = row.port;
        fresh.slot = row.slot;
        row = fresh;
        row.state = SlotRow::waiting;
    }
    row.present = true;
    changed(at);
}

void SlotModel::unit_left(QString const& port) {
    int const at = row_of(port);
    if (at < 0)
        return;
    rows_[at].present = false;
    changed(at);
}

void SlotModel::unit_event(Flash::Event const& event) {
    if (event.kind == Flash::Event::left)
        return unit_left(event.unit);
    int const at = ensure_row(event.unit);
    SlotRow& row = rows_[at];
    SlotRow::State const state = state_of(event.kind);
    // The bar moves: only its cell changes, once per percent. A change of one cell repaints
    // that cell; a change of a range would repaint the whole table, many times a second.
    if (state == row.state && (state == SlotRow::writing || state == SlotRow::verifying)) {
        if (event.percent == row.percent)
            return;
        row.percent = event.percent;
        emit dataChanged(index(at, progress_column), index(at, progress_column));
        return;
    }
    row.state = state;
    row.percent = event.percent;
    if (!event.serial.isEmpty())
        row.serial = event.serial;
    if (event.kind == Flash::Event::found) {
        row.product = event.product;
        row.revision = event.revision;
    }
    bool const verdict = row.verdict();
    row.in_work = !verdict;
    row.reason = verdict ? event.reason : QString();
    changed(at);
    if (!verdict)
        return;
    counts_.done += row.state == SlotRow::done;
    counts_.failed += row.state == SlotRow::failed;
    counts_.skipped += row.state == SlotRow::skipped;
    emit counts_changed(counts_);
    if (row.state == SlotRow::failed)
        emit unit_failed(words("bench_failed_alert")
                             .arg(data(index(at, slot_column)).toString(), verdict_words(row)));
}

void SlotModel::unit_log(QString const& port, QString const& line) {
    int const at = ensure_row(port);
    rows_[at].log.append(line);
    emit log_appended(at, line);
}
