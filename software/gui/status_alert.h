#pragma once

#include <QWidget>

class QLabel;

// Announces a failure on the status line as an alert. Qt's AT-SPI bridge drops
// QAccessible::Alert events, so the text is also carried by this invisible widget with the
// alert role: screen readers speak an alert as soon as it becomes showing, wherever the
// user is in the window.
class StatusAlert : public QWidget {
    Q_OBJECT

public:
    StatusAlert(QLabel* status_line, QWidget* parent);
    ~StatusAlert() override;

    // The status line's text without markup.
    QString plain_status() const;

public slots:
    // Announces what the status line shows now.
    void announce();
    // Announces only when the status line shows exactly `text`.
    void announce_if_shown(QString const& text);

private:
    QLabel* status_line;
};
