#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>

// Keeps the machine awake while firmware is written: a sleep in the middle would leave the
// unit half-written. Holds a logind inhibitor lock (what "sleep", mode "block") from
// acquire() until release(); the lock is the file descriptor that logind returns, and
// closing it ends the lock. Both calls are asynchronous and never block the window; without
// logind the write goes on unprotected after one line in the log.
class SleepInhibitor : public QObject {
    Q_OBJECT

public:
    explicit SleepInhibitor(QObject* parent);
    ~SleepInhibitor() override;

    // Whether logind's lock is held now.
    bool holding() const;

public slots:
    void acquire();
    void release();
    // acquire() when on, release() when not: for a signal that says whether work is under
    // way.
    void hold(bool on);

private:
    bool wanted = false;
    quint64 request = 0; // tells a late reply of an earlier acquire() from the current one
    QDBusUnixFileDescriptor lock;
};
