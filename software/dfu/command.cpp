#include "dfu/command.h"

#include "files/files.h"
#include "files/quit_on_signal.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QProcess>

#include <atomic>
#include <unistd.h>
#include <utility>

namespace DFU {

QString Command::path;

int first_wait_ms = 30000;

// No healthy command of this tool comes near two minutes. The longest is the download of the
// carried image (625900 bytes) to an STM32F4: with the data sheet's worst-case figures it
// erases sectors 0 to 8 in about 11 s, programs 156475 words at 100 us in under 16 s, and
// moves 306 blocks of 2048 bytes over full-speed USB in a few seconds, about 30 s in all;
// the read-back of the same bytes takes a few seconds. A child still running at four times
// that worst case has stalled.
int wait_limit_ms = 120000;

namespace {

std::atomic<bool> run_ending{false};

} // namespace

void end_waits_for_exit(bool ending) {
    run_ending.store(ending);
}

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

// Commands that move no data between a unit and a file may be cut short when the run ends.
bool cut_when_ending(CmdID id) {
    return id == version || id == list || id == setup_prepared_config;
}

bool ending() {
    return run_ending.load() || pending_termination_signal() != 0;
}

// Waits until the child has ended (true), until `until_ms` on the clock, or, when cuttable,
// until the run ends (false). Short slices, so that the end of the run is seen promptly.
bool wait_until(QProcess& process, QElapsedTimer const& clock, qint64 until_ms, bool cuttable) {
    constexpr qint64 slice_ms = 100;
    for (;;) {
        if (process.state() == QProcess::NotRunning)
            return true;
        if (cuttable && ending())
            return false;
        qint64 const left = until_ms - clock.elapsed();
        if (left <= 0)
            return false;
        if (process.waitForFinished(static_cast<int>(qMin(left, slice_ms))))
            return true;
    }
}

// The byte count that an upload asks for ("-s address:count"), or -1.
qint64 requested_bytes(QStringList const& arguments) {
    int const at = arguments.indexOf("-s");
    bool ok = false;
    qint64 const count = arguments.value(at + 1).section(':', 1).toLongLong(&ok);
    return at >= 0 && ok ? count : -1;
}

// The file that a transfer reads ("-D file") or writes ("-U file"); other options such as
// "-S serial" may follow it.
QString transfer_file(QStringList const& arguments, bool upload) {
    int const at = arguments.indexOf(upload ? "-U" : "-D");
    return at >= 0 ? arguments.value(at + 1) : QString();
}

// When a transfer failed, says whether the cause was on this computer's side.
void log_local_cause(CmdID id, QStringList const& arguments) {
    bool const upload = id == upload_OTP || id == upload_FW_info || id == upload_FW;
    if (!upload && id != download_FW)
        return;
    QString const file = transfer_file(arguments, upload);
    if (file.isEmpty())
        return;
    QString const cause =
        upload ? Files::cannot_write(file, requested_bytes(arguments)) : Files::cannot_read(file);
    if (!cause.isEmpty())
        qInfo().noquote() << "Local cause, not the unit:" << cause;
}

// A child in a process group of its own: a Ctrl+C typed in the terminal goes to the program's
// group and the program decides what ends; a transfer under way is never cut by it.
class ChildProcess : public QProcess {
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

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
    ChildProcess process;
    OutputTap const tap(process, taps.on_output);
    Command const& row = commands[id];
    QString const program =
        Command::path.isEmpty() ? row.program : Command::path + "/" + row.program;
    QStringList const arguments = row.arguments + extra;

    // Once the run ends, nothing new starts: the end waits at most for the one command that
    // runs (a unit's information takes two uploads, and the second would double that wait).
    bool const cuttable = cut_when_ending(id);
    if (ending()) {
        qInfo() << "Not starting" << program << arguments << "because the run ends";
        return {-1, QString()};
    }

    if (id != list)
        qInfo() << "Start " << program << arguments;

    process.start(program, arguments, QIODevice::ReadWrite);
    QElapsedTimer clock;
    clock.start();
    bool finished = wait_until(process, clock, first_wait_ms, cuttable);
    if (!finished && !(cuttable && ending())) {
        QString const early = output_text(process.readAllStandardOutput());
        qInfo() << "waitForFinished(): Process did not finish in time, exit status:"
                << process.exitStatus() << "and output:" << early;
        qInfo() << "will wait again, at most" << (wait_limit_ms - first_wait_ms) / 1000 << "s";
        finished = wait_until(process, clock, wait_limit_ms, cuttable);
    }
    if (!finished) {
        if (cuttable && ending())
            qInfo() << "Stopping" << program << "because the run ends";
        else
            qInfo() << "Killing" << program << "still running after" << wait_limit_ms / 1000 << "s";
        process.kill();
        process.waitForFinished(5000);
    }

    QString const output = output_text(process.readAllStandardOutput());
    int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    // A program that never ran must not read as a success.
    bool const failed_to_start = process.error() == QProcess::FailedToStart;
    if (failed_to_start) {
        code = -1;
        qInfo() << "Could not start" << program << ":" << process.errorString();
    }
    if (failed_to_start || process.exitStatus() != QProcess::NormalExit || code != 0) {
        qInfo() << "Exit with" << code << "from" << program << arguments << "returned:" << output;
        log_local_cause(id, arguments);
    }
    if (taps.error_output)
        *taps.error_output = process.readAllStandardError();
    return {code, output};
}

} // namespace DFU
