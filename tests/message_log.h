#pragma once
// Collects the messages that the code under test writes through Qt's message functions.
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

class MessageLog {
public:
    MessageLog() {
        QMutexLocker lock(&mutex());
        current() = this;
        previous_ = qInstallMessageHandler(&MessageLog::handler);
    }
    ~MessageLog() {
        QMutexLocker lock(&mutex());
        qInstallMessageHandler(previous_);
        current() = nullptr;
    }
    QStringList lines() const {
        QMutexLocker lock(&mutex());
        return lines_;
    }
    bool contains(QString const& text) const { return !lines().filter(text).isEmpty(); }
    int count(QString const& text) const { return lines().filter(text).size(); }

private:
    static void handler(QtMsgType, QMessageLogContext const&, QString const& text) {
        QMutexLocker lock(&mutex());
        if (current())
            current()->lines_ << text;
    }
    static QMutex& mutex() {
        static QMutex m;
        return m;
    }
    static MessageLog*& current() {
        static MessageLog* log = nullptr;
        return log;
    }
    QtMessageHandler previous_ = nullptr;
    QStringList lines_;
};
