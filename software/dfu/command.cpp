#include "dfu/command.h"

#include "files/files.h"
#include "system/quit_on_signal.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QProcess>

#include <atomic>
#include <csignal>
#include <limits>
#include <unistd.h>
#include <utility>
#include <vector>

namespace DFU {

QString Command::path;

int first_wait_ms = 30000;

// No healthy listing, version check or set-up comes near two minutes.
int wait_limit_ms = 120000;

// A transfer's length depends on the host and the hub, so it has no total bound. dfu-util
// prints progress while it moves data: every erased page (an STM32F4 sector takes at most 4 s
// to erase by the data sheet) and every 2048-byte block. A transfer that has printed nothing
// for several times the longest of those gaps has stalled.
int silence_limit_ms = 30000;

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

QStringList Address::arguments() const {
    if (kind == any)
        return {};
    return {kind == serial ? "-S" : "-p", name};
}

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

// Commands that move data between a unit and a file.
bool is_transfer(CmdID id) {
    return id == upload_OTP || id == upload_FW_info || id == upload_FW || id == download_FW;
}

// How long a child may run: commands that move no data have a fixed bound on the clock; a
// transfer may run as long as it keeps printing, and is given up after silence_limit_ms
// without output.
class Bound {
public:
    Bound(QProcess& process, CmdID id, int limit_ms)
        : on_silence(is_transfer(id)), limit_ms(limit_ms > 0 ? limit_ms : wait_limit_ms) {
        clock.start();
        if (on_silence)
            for (auto const output :
                 {&QProcess::readyReadStandardOutput, &QProcess::readyReadStandardError})
                connections.push_back(QObject::connect(
                    &process, output, [this] { last_output_ms = clock.elapsed(); }));
    }
    ~Bound() {
        for (QMetaObject::Connection const& connection : connections)
            QObject::disconnect(connection);
    }
    Bound(Bound const&) = delete;
    Bound& operator=(Bound const&) = delete;

    // Milliseconds until the child is given up, or until `until_ms` on the clock when that is
    // sooner.
    qint64 left(qint64 until_ms) const {
        qint64 const now = clock.elapsed();
        qint64 const limit = on_silence ? qMin(until_ms, last_output_ms + silence_limit_ms)
                                        : qMin<qint64>(until_ms, limit_ms);
        return limit - now;
    }
    bool silent() const {
        return on_silence && clock.elapsed() - last_output_ms >= silence_limit_ms;
    }
    bool transfer() const { return on_silence; }
    int limit() const { return limit_ms; }

private:
    bool const on_silence;
    int const limit_ms;
    QElapsedTimer clock;
    qint64 last_output_ms = 0;
    std::vector<QMetaObject::Connection> connections;
};

enum class Cut { never, when_ending };

// Waits until the child has ended (true), until `until_ms` on the clock or the bound, or, when
// it may be cut, until the run ends (false). Short slices, so that the end of the run is seen
// promptly.
bool wait_until(QProcess& process, Bound const& bound, qint64 until_ms, Cut cut) {
    constexpr qint64 slice_ms = 100;
    for (;;) {
        if (process.state() == QProcess::NotRunning)
            return true;
        if (cut == Cut::when_ending && ending())
            return false;
        qint64 const left = bound.left(until_ms);
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
// group and the program decides what ends; a transfer under way is never cut by it. Nor is it
// cut when the program dies (killed, crashed): with SIGPIPE ignored, dfu-util's next line of
// progress into the pipe that nobody reads any more fails quietly instead of ending it, and it
// finishes the transfer on its own.
class ChildProcess : public QProcess {
protected:
    void setupChildProcess() override {
        ::setpgid(0, 0);
        ::signal(SIGPIPE, SIG_IGN);
    }
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
    Cut const cut = cut_when_ending(id) ? Cut::when_ending : Cut::never;
    bool const cuttable = cut == Cut::when_ending;
    if (ending()) {
        qInfo() << "Not starting" << program << arguments << "because the run ends";
        return {-1, QString()};
    }

    if (id != list)
        qInfo() << "Start " << program << arguments;

    Bound const bound(process, id, taps.limit_ms);
    process.start(program, arguments, QIODevice::ReadWrite);
    bool finished = wait_until(process, bound, first_wait_ms, cut);
    // A bound of the caller's that is shorter than the first wait has already run out.
    bool const bound_left = taps.limit_ms <= 0 || bound.limit() > first_wait_ms;
    if (!finished && !(cuttable && ending()) && !bound.silent() && bound_left) {
        QString const early = output_text(process.readAllStandardOutput());
        qInfo() << "waitForFinished(): Process did not finish in time, exit status:"
                << process.exitStatus() << "and output:" << early;
        if (bound.transfer())
            qInfo() << "will wait on while it shows progress, at most" << silence_limit_ms / 1000
                    << "s without";
        else
            qInfo() << "will wait again, at most" << (bound.limit() - first_wait_ms) / 1000 << "s";
        finished = wait_until(process, bound, std::numeric_limits<qint64>::max(), cut);
    }
    if (!finished) {
        if (cuttable && ending())
            qInfo() << "Stopping" << program << "because the run ends";
        else if (bound.transfer())
            qInfo() << "Killing" << program << "silent for" << silence_limit_ms / 1000 << "s";
        else
            qInfo() << "Killing" << program << "still running after" << bound.limit() / 1000 << "s";
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
