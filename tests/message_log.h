#pragma once
// Collects the messages written through Qt's message functions while it lives, from any
// thread, so that tests can check their exact text, their level and their order. The lock is
// a standard one, so that ThreadSanitizer sees it.
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <mutex>
#include <utility>
#include <vector>

class MessageLog {
public:
    using Entry = std::pair<QtMsgType, QString>;

    MessageLog() {
        std::lock_guard<std::mutex> lock(mutex());
        current() = this;
        previous_ = qInstallMessageHandler(&MessageLog::handler);
    }
    ~MessageLog() {
        std::lock_guard<std::mutex> lock(mutex());
        qInstallMessageHandler(previous_);
        current() = nullptr;
    }
    MessageLog(MessageLog const&) = delete;
    MessageLog& operator=(MessageLog const&) = delete;

    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> lock(mutex());
        return entries_;
    }
    QStringList lines() const {
        QStringList list;
        for (Entry const& entry : entries())
            list << entry.second;
        return list;
    }
    QStringList texts() const { return lines(); }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex());
        entries_.clear();
    }
    int count(QString const& text) const { return lines().filter(text).size(); }
    bool contains(QString const& text) const { return count(text) > 0; }

private:
    static void handler(QtMsgType type, QMessageLogContext const&, QString const& text) {
        std::lock_guard<std::mutex> lock(mutex());
        if (current())
            current()->entries_.emplace_back(type, text);
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static MessageLog*& current() {
        static MessageLog* log = nullptr;
        return log;
    }

    QtMessageHandler previous_ = nullptr;
    std::vector<Entry> entries_;
};
