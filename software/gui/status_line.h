#pragma once

#include <QObject>
#include <QString>

class QLabel;

// The window's status line. The flow writes its own text; a note (a unit that cannot be
// opened, a stop under way) stands above it while it is set, and the flow's text, kept up to
// date meanwhile, comes back when the note is cleared. Nothing else writes the label. The
// label keeps its text as its accessible name, so each change reaches assistive technology.
class StatusLine : public QObject {
    Q_OBJECT

public:
    StatusLine(QLabel* label, QObject* parent);

    void set_text(QString const& text);
    void set_note(QString const& note);
    void clear_note();

    QString const& text() const { return text_; }
    QLabel* label() const { return label_; }

private:
    void show();

    QLabel* label_;
    QString text_;
    QString note_;
};
