#include "flash/station_reporter.h"

#include "device/unit_text.h"

namespace Flash {

namespace {

QByteArray counts_line(char const* event, Counts const& counts) {
    return QByteArray("{\"event\":\"") + event + "\"," +
           QString("\"done\":%1,\"failed\":%2,\"skipped\":%3}\n")
               .arg(counts.done)
               .arg(counts.failed)
               .arg(counts.skipped)
               .toUtf8();
}

QByteArray counts_text(Counts const& counts) {
    return QString("%1 done, %2 failed, %3 skipped\n")
        .arg(counts.done)
        .arg(counts.failed)
        .arg(counts.skipped)
        .toUtf8();
}

} // namespace

StationReporter::StationReporter(Station* station, Reporter::Mode mode, FILE* out)
    : station_(station), mode_(mode), out_(out) {
    connect(station, &Station::unit_event, this, &StationReporter::unit_event);
    connect(station, &Station::unit_gone, this, &StationReporter::unit_event);
    connect(station, &Station::counts_changed, this, &StationReporter::counts_changed);
    if (mode_ == Reporter::terminal)
        connect(station, &Station::unit_log, this, &StationReporter::redraw);
}

void StationReporter::armed() {
    if (mode_ == Reporter::json)
        write("{\"event\":\"armed\"}\n");
    else if (mode_ == Reporter::plain)
        write("armed: each unit plugged in is upgraded; Ctrl+C stops\n");
    else
        redraw();
}

void StationReporter::summary() {
    if (mode_ == Reporter::json)
        write(counts_line("summary", station_->counts()));
    else if (mode_ == Reporter::plain)
        write(counts_text(station_->counts()));
    else
        redraw();
}

void StationReporter::unit_event(Event const& event) {
    if (mode_ == Reporter::json) {
        write(Reporter::json_line(event));
    } else if (mode_ == Reporter::plain) {
        QString const key = event.unit + kind_text(event.kind);
        int const step = event.percent / 25;
        if (event.percent >= 0 && shown_.value(key, -1) == step)
            return;
        shown_[key] = step;
        write((Device::loggable(event.slot) + "  " + Reporter::plain_text(event) + "\n").toUtf8());
    } else {
        redraw();
    }
}

void StationReporter::counts_changed(Counts const& counts) {
    if (mode_ == Reporter::json)
        write(counts_line("counts", counts));
    else if (mode_ == Reporter::plain)
        write(counts_text(counts));
    else
        redraw();
}

void StationReporter::write(QByteArray const& text) {
    std::fputs(text.constData(), out_);
    std::fflush(out_);
}

QString StationReporter::slot_line(SlotView const& view) const {
    Event const& last = view.last;
    bool const working = view.state == SlotView::working;
    QString const state =
        working && last.serial.size() > 0 ? kind_text(last.kind) : state_text(view.state);
    QString const percent = working && last.percent >= 0 ? QString("%1%").arg(last.percent) : "";
    bool const verdict = view.state == SlotView::done || view.state == SlotView::failed ||
                         view.state == SlotView::skipped;
    return Device::loggable(QString("%1 %2 %3 %4 %5")
                                .arg(view.name, -10)
                                .arg(view.state == SlotView::empty ? QString() : last.serial, -16)
                                .arg(state, -9)
                                .arg(percent, 4)
                                .arg(verdict ? last.reason : QString()));
}

void StationReporter::redraw() {
    QByteArray text;
    if (drawn_ > 0)
        text += "\033[" + QByteArray::number(drawn_) + "A";
    QVector<SlotView> const views = station_->slots_view();
    for (SlotView const& view : views)
        text += "\r\033[K" + slot_line(view).toUtf8() + "\n";
    text += "\r\033[K" + counts_text(station_->counts());
    drawn_ = views.size() + 1;
    write(text);
}

} // namespace Flash
