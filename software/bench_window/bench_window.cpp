#include "bench_window/bench_window.h"

#include "gui/status_alert.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

std::function<QString()> BenchWindow::ask_file_name;

namespace {

// Draws a progress bar in the progress column while a unit is written or verified; its text
// stays the cell's text, which assistive technology reads.
class ProgressDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, QStyleOptionViewItem const& option,
               QModelIndex const& index) const override {
        int const percent = index.data(SlotModel::percent_role).toInt();
        if (percent < 0) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionProgressBar bar;
        bar.rect = option.rect.adjusted(2, 2, -2, -2);
        bar.minimum = 0;
        bar.maximum = 100;
        bar.progress = percent;
        bar.text = index.data().toString();
        bar.textVisible = true;
        bar.state = option.state | QStyle::State_Horizontal;
        bar.palette = option.palette;
        QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
    }
};

} // namespace

BenchWindow::BenchWindow(Settings::GUI const& gui, QWidget* parent) : QWidget(parent), gui(gui) {
    setObjectName("bench_window");
    setWindowTitle(text("bench_title"));
    model = new SlotModel([this](QString const& id) { return text(id); }, this);

    counts_label = new QLabel(this);
    counts_label->setObjectName("bench_counts");
    arm_switch = new QCheckBox(text("bench_arm"), this);
    arm_switch->setObjectName("bench_arm");
    start_button = new QPushButton(text("bench_start"), this);
    start_button->setObjectName("bench_start");
    retry_button = new QPushButton(text("bench_retry"), this);
    retry_button->setObjectName("bench_retry");
    auto* const top = new QHBoxLayout;
    top->addWidget(counts_label, 1);
    top->addWidget(arm_switch);
    top->addWidget(start_button);
    top->addWidget(retry_button);

    table = new QTableView(this);
    table->setObjectName("bench_slots");
    table->setModel(model);
    table->setItemDelegateForColumn(SlotModel::progress_column, new ProgressDelegate(table));
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setTabKeyNavigation(false);
    table->verticalHeader()->hide();
    // The columns fit their texts, measured again when rows come or a row's texts change, at
    // most every quarter second: never for a step of a bar, which comes many times a second
    // for each unit written.
    table->horizontalHeader()->setStretchLastSection(true);
    auto* const fit = new QTimer(this);
    fit->setSingleShot(true);
    fit->setInterval(250);
    connect(fit, &QTimer::timeout, this, [this] {
        table->resizeColumnsToContents();
        table->setColumnWidth(SlotModel::progress_column, 140);
    });
    auto const fit_soon = [fit] {
        if (!fit->isActive())
            fit->start();
    };
    connect(model, &SlotModel::rowsInserted, fit, fit_soon);
    connect(model, &SlotModel::modelReset, fit, fit_soon);
    connect(model, &SlotModel::dataChanged, fit, [fit_soon](QModelIndex const& from) {
        if (from.column() == 0)
            fit_soon();
    });
    table->setAccessibleName(text("bench_access_table"));

    log_title = new QLabel(text("bench_log_none"), this);
    log_title->setObjectName("bench_log_title");
    log_view = new QPlainTextEdit(this);
    log_view->setObjectName("bench_log");
    log_view->setReadOnly(true);
    log_view->setTabChangesFocus(true);
    log_view->setAccessibleName(text("bench_access_log"));
    log_title->setBuddy(log_view);
    save_button = new QPushButton(text("bench_save"), this);
    save_button->setObjectName("bench_save");
    alert_line = new QLabel(this);
    alert_line->setObjectName("bench_alert_line");
    alert_line->setWordWrap(true);
    auto* const bottom = new QHBoxLayout;
    bottom->addWidget(alert_line, 1);
    bottom->addWidget(save_button);

    auto* const layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(table, 3);
    layout->addWidget(log_title);
    layout->addWidget(log_view, 2);
    layout->addLayout(bottom);
    alert = new StatusAlert(alert_line, this);

    // Toggled, however it was: by a click, a key or a screen reader's action.
    connect(arm_switch, &QCheckBox::toggled, this, &BenchWindow::arm_requested);
    connect(start_button, &QPushButton::clicked, this, &BenchWindow::start_requested);
    connect(retry_button, &QPushButton::clicked, this, &BenchWindow::retry_requested);
    connect(save_button, &QPushButton::clicked, this, &BenchWindow::save_log);
    connect(model, &SlotModel::counts_changed, this, &BenchWindow::show_counts);
    connect(model, &SlotModel::actions_changed, this, &BenchWindow::update_actions);
    connect(model, &SlotModel::modelReset, this, &BenchWindow::update_actions);
    connect(model, &SlotModel::unit_failed, this, &BenchWindow::announce_failure);
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &BenchWindow::show_log);
    connect(model, &SlotModel::log_appended, this, [this](int row, QString const& line) {
        if (row == selected_row())
            log_view->appendPlainText(line);
    });
    connect(model, &SlotModel::modelReset, this, &BenchWindow::show_log);

    show_counts({});
    show_armed(false);
    show_log();
    // Fits the screen it opens on, small ones included (1366x768, or 1920x1080 at scale 2).
    QSize size(1100, 640);
    if (QScreen* const screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableGeometry().size() * 0.95);
    resize(size);
}

BenchWindow::~BenchWindow() = default;

QString BenchWindow::text(QString const& id) const {
    return gui.text(id);
}

void BenchWindow::show_armed(bool armed) {
    QSignalBlocker const quiet(arm_switch);
    arm_switch->setChecked(armed);
    update_actions();
}

void BenchWindow::show_counts(SlotCounts const& counts) {
    counts_label->setText(
        text("bench_counts").arg(counts.done).arg(counts.failed).arg(counts.skipped));
}

void BenchWindow::update_actions() {
    start_button->setEnabled(!arm_switch->isChecked() && model->waiting_present());
    retry_button->setEnabled(model->failed_present());
}

void BenchWindow::announce_failure(QString const& failure) {
    alert_line->setText(failure);
    alert->announce();
}

int BenchWindow::selected_row() const {
    QModelIndex const current = table->selectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void BenchWindow::show_log() {
    int const row = selected_row();
    save_button->setEnabled(row >= 0);
    if (row < 0 || row >= model->rowCount()) {
        log_title->setText(text("bench_log_none"));
        log_view->clear();
        return;
    }
    log_title->setText(
        text("bench_log").arg(model->data(model->index(row, SlotModel::slot_column)).toString()));
    log_view->setPlainText(model->row(row).log.join('\n'));
}

bool BenchWindow::save_log_to(QString const& file) {
    int const row = selected_row();
    if (row < 0)
        return false;
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    QByteArray const bytes = (model->row(row).log.join('\n') + '\n').toUtf8();
    return out.write(bytes) == bytes.size() && out.flush();
}

void BenchWindow::save_log() {
    QString const file =
        ask_file_name ? ask_file_name() : QFileDialog::getSaveFileName(this, text("bench_save"));
    if (!file.isEmpty() && !save_log_to(file))
        announce_failure(text("bench_save_failed").arg(file));
}
