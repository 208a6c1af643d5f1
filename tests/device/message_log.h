#pragma once
// Collects the messages written while it lives, so that tests can check their exact text,
// their level and that nothing else was written.
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <utility>
#include <vector>

class MessageLog {
public:
    MessageLog() : previous_(qInstallMessageHandler(&MessageLog::handle)) { current() = this; }
    ~MessageLog() {
        qInstallMessageHandler(previous_);
        current() = nullptr;
    }
    MessageLog(MessageLog const&) = delete;
    MessageLog& operator=(MessageLog const&) = delete;

    QStringList texts() const {
        QStringList list;
        for (auto const& entry : entries)
            list << entry.second;
        return list;
    }

    std::vector<std::pair<QtMsgType, QString>> entries;

private:
    static MessageLog*& current() {
        static MessageLog* log = nullptr;
        return log;
    }
    static void handle(QtMsgType type, QMessageLogContext const&, QString const& text) {
        if (current())
            current()->entries.emplace_back(type, text);
    }

    QtMessageHandler previous_;
};
