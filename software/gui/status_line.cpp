#include "gui/status_line.h"

#include <QLabel>

StatusLine::StatusLine(QLabel* label, QObject* parent)
    : QObject(parent), label_(label), text_(label ? label->text() : QString()) {}

void StatusLine::set_text(QString const& text) {
    text_ = text;
    show();
}

void StatusLine::set_note(QString const& note) {
    note_ = note;
    show();
}

void StatusLine::clear_note() {
    note_.clear();
    show();
}

void StatusLine::show() {
    if (label_)
        label_->setText(note_.isEmpty() ? text_ : note_);
}
