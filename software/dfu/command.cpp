#include "dfu/command.h"

#include <QDebug>
#include <QProcess>

#include <utility>

namespace DFU {

QString Command::path;

int first_wait_ms = 30000;

std::map<CmdID, Command> commands = {
    {version, {"dfu-util", {"-V"}}},
    {list, {"dfu-util", {"-d", "0483", "-l"}}},
    {upload_OTP, {"dfu-util", {"-d", "0483", "-a", "2", "-s", "0x1FFF7800:512", "-U"}}},
    {upload_FW_info, {"dfu-util", {"-d", "0483", "-a", "0", "-s", "0x08000000:2048", "-U"}}},
    {upload_FW, {"dfu-util", {"-d", "0483", "-a", "0"}}},
    {download_FW, {"dfu-util", {"-d", "0483", "-a", "0", "-s", "0x08000000:leave", "-D"}}},
    {setup_prepared_config, {"dfu-util", {}}},
};

Command::operator QString() const {
    return program + "(" + arguments.join(",") + ")";
}

namespace {

QString output_text(QByteArray const& bytes) {
    int const nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

// Hands each new piece of standard output to a handler without taking it from the process,
// so that the runner reads exactly what it read without the tap.
class OutputTap {
public:
    OutputTap(QProcess& process, std::function<void(QByteArray const&)> handler)
        : process(process), handler(std::move(handler)) {
        if (this->handler)
            connection =
                QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { look(); });
    }
    // The process may still read when it is destroyed after the tap.
    ~OutputTap() { QObject::disconnect(connection); }
    OutputTap(OutputTap const&) = delete;
    OutputTap& operator=(OutputTap const&) = delete;

private:
    void look() {
        QByteArray const now = process.peek(process.bytesAvailable());
        // The runner may have read the buffer since the last look: then all of it is new.
        QByteArray const fresh = now.startsWith(seen) ? now.mid(seen.size()) : now;
        seen = now;
        if (!fresh.isEmpty())
            handler(fresh);
    }

    QProcess& process;
    std::function<void(QByteArray const&)> handler;
    QByteArray seen; // the unread output at the last look
    QMetaObject::Connection connection;
};

} // namespace

Result run_command(CmdID id, QStringList const& extra) {
    return run_command(id, extra, OutputTaps());
}

Result run_command(CmdID id, QStringList const& extra, OutputTaps const& taps) {
    QProcess process;
    OutputTap const tap(process, taps.on_output);
    Command const& row = commands[id];
    QString const program =
        Command::path.isEmpty() ? row.program : Command::path + "/" + row.program;
    QStringList const arguments = row.arguments + extra;

    if (id != list)
        qInfo() << "Start " << program << arguments;

    process.start(program, arguments, QIODevice::ReadWrite);
    if (!process.waitForFinished(first_wait_ms) && process.error() != QProcess::FailedToStart) {
        QString const early = output_text(process.readAllStandardOutput());
        qInfo() << "waitForFinished(): Process did not finish in time, exit status:"
                << process.exitStatus() << "and output:" << early;
        qInfo() << "will wait again, forever";
        process.waitForFinished(-1);
    }

    QString const output = output_text(process.readAllStandardOutput());
    int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    // A program that never ran must not read as a success.
    bool const failed_to_start = process.error() == QProcess::FailedToStart;
    if (failed_to_start) {
        code = -1;
        qInfo() << "Could not start" << program << ":" << process.errorString();
    }
    if (failed_to_start || process.exitStatus() != QProcess::NormalExit || code != 0)
        qInfo() << "Exit with" << code << "from" << program << arguments << "returned:" << output;
    if (taps.error_output)
        *taps.error_output = process.readAllStandardError();
    return {code, output};
}

} // namespace DFU
