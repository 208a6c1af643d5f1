#include "dfu/command.h"

#include "files/files.h"
#include "system/quit_on_signal.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

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

// A child program with its standard output and error read as they come; its standard input is
// /dev/null. It is started by posix_spawn, which shares this program's memory with the child
// until the child runs its program, where fork() copies the whole memory map first and then
// faults on every page this program writes afterwards: with sixteen units written at once by
// as many threads, that kept the window's thread waiting for tens of milliseconds at a time.
//
// The child has a process group of its own: a Ctrl+C typed in the terminal goes to the
// program's group and the program decides what ends; a transfer under way is never cut by it.
// Nor is it cut when the program dies (killed, crashed): with SIGPIPE blocked, dfu-util's next
// line of progress into the pipe that nobody reads any more fails quietly instead of ending
// it, and it finishes the transfer on its own.
class Child {
public:
    Child() = default;
    Child(Child const&) = delete;
    Child& operator=(Child const&) = delete;
    // A child still running (it did not end within a while of its kill) is killed again and
    // left, rather than waited for without end.
    ~Child() {
        if (running()) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, WNOHANG);
        }
        for (int const fd : {out, err, pid_fd})
            if (fd >= 0)
                ::close(fd);
    }

    // False when the program could not be started; error_text() says why.
    bool start(QString const& program, QStringList const& arguments) {
        int out_pipe[2] = {-1, -1};
        int err_pipe[2] = {-1, -1};
        if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
            error = qt_error_string(errno);
            for (int const fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
                if (fd >= 0)
                    ::close(fd);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        sigaddset(&mask, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes, &mask);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);

        QByteArray const file = QFile::encodeName(program);
        std::vector<QByteArray> words{file};
        for (QString const& argument : arguments)
            words.push_back(QFile::encodeName(argument));
        std::vector<char*> argv;
        for (QByteArray& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        int const failed =
            posix_spawnp(&pid, file.constData(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(out_pipe[1]);
        ::close(err_pipe[1]);
        out = out_pipe[0];
        err = err_pipe[0];
        if (failed != 0) {
            pid = -1;
            error = qt_error_string(failed);
            return false;
        }
        for (int const fd : {out, err})
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
#ifdef SYS_pidfd_open
        // Tells the child's end at once where the kernel can; else it is looked for often.
        pid_fd = int(syscall(SYS_pidfd_open, pid, 0));
#endif
        return true;
    }

    bool running() const {
        return pid > 0 && !ended;
    }

    // Reads the child's output until it has ended (true) or ms have passed (false).
    bool wait_for_end(qint64 ms) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            if (!running())
                return true;
            pollfd watched[3];
            nfds_t count = 0;
            for (int const fd : {out, err, pid_fd})
                if (fd >= 0)
                    watched[count++] = {fd, POLLIN, 0};
            qint64 const left = ms - clock.elapsed();
            int const slice = int(qBound<qint64>(0, left, pid_fd >= 0 ? 1000 : 10));
            if (poll(watched, count, slice) < 0 && errno != EINTR)
                return false;
            read_output();
            int status = 0;
            pid_t const reaped = waitpid(pid, &status, WNOHANG);
            if (reaped == pid || (reaped < 0 && errno == ECHILD)) {
                ended = true;
                exit_status = reaped == pid ? status : -1;
                read_output(); // whatever it wrote before it ended
                return true;
            }
            if (left <= 0)
                return false;
        }
    }

    void kill() {
        if (running())
            ::kill(pid, SIGKILL);
    }

    // Standard output read and not yet taken; taking it empties it.
    QByteArray take_output() {
        return std::exchange(output, {});
    }
    QByteArray const& error_output() const {
        return errors;
    }
    QString error_text() const {
        return error;
    }
    int exit_code() const {
        return ended && WIFEXITED(exit_status) ? WEXITSTATUS(exit_status) : -1;
    }

    // Each new piece of standard output; any output at all, standard error's too.
    std::function<void(QByteArray const&)> on_output;
    std::function<void()> on_any_output;

private:
    // Reads what the pipes hold now; a pipe at its end is closed.
    void read_output() {
        char buffer[16384];
        for (int* fd : {&out, &err}) {
            while (*fd >= 0) {
                ssize_t const got = ::read(*fd, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got == 0 || (got < 0 && errno != EAGAIN)) {
                    ::close(*fd);
                    *fd = -1;
                    break;
                }
                if (got < 0)
                    break;
                QByteArray const piece(buffer, int(got));
                (fd == &out ? output : errors).append(piece);
                if (fd == &out && on_output)
                    on_output(piece);
                if (on_any_output)
                    on_any_output();
            }
        }
    }

    pid_t pid = -1;
    int out = -1;
    int err = -1;
    int pid_fd = -1;
    bool ended = false;
    int exit_status = 0;
    QString error;
    QByteArray output;
    QByteArray errors;
};

// How long a child may run: commands that move no data have a fixed bound on the clock; a
// transfer may run as long as it keeps printing, and is given up after silence_limit_ms
// without output.
class Bound {
public:
    Bound(Child& child, CmdID id, int limit_ms)
        : on_silence(is_transfer(id)), limit_ms(limit_ms > 0 ? limit_ms : wait_limit_ms) {
        clock.start();
        if (on_silence)
            child.on_any_output = [this] { last_output_ms = clock.elapsed(); };
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
};

enum class Cut { never, when_ending };

// Waits until the child has ended (true), until `until_ms` on the clock or the bound, or, when
// it may be cut, until the run ends (false). Short slices, so that the end of the run is seen
// promptly.
bool wait_until(Child& child, Bound const& bound, qint64 until_ms, Cut cut) {
    constexpr qint64 slice_ms = 100;
    for (;;) {
        if (!child.running())
            return true;
        if (cut == Cut::when_ending && ending())
            return false;
        qint64 const left = bound.left(until_ms);
        if (left <= 0)
            return false;
        if (child.wait_for_end(qMin(left, slice_ms)))
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

} // namespace

Result run_command(CmdID id, QStringList const& extra) {
    return run_command(id, extra, OutputTaps());
}

Result run_command(CmdID id, QStringList const& extra, OutputTaps const& taps) {
    Child child;
    child.on_output = taps.on_output;
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

    Bound const bound(child, id, taps.limit_ms);
    bool const started = child.start(program, arguments);
    bool finished = !started || wait_until(child, bound, first_wait_ms, cut);
    // A bound of the caller's that is shorter than the first wait has already run out.
    bool const bound_left = taps.limit_ms <= 0 || bound.limit() > first_wait_ms;
    if (!finished && !(cuttable && ending()) && !bound.silent() && bound_left) {
        QString const early = output_text(child.take_output());
        qInfo() << "waitForFinished(): Process did not finish in time, exit status:"
                << QProcess::NormalExit << "and output:" << early; // still running
        if (bound.transfer())
            qInfo() << "will wait on while it shows progress, at most" << silence_limit_ms / 1000
                    << "s without";
        else
            qInfo() << "will wait again, at most" << (bound.limit() - first_wait_ms) / 1000 << "s";
        finished = wait_until(child, bound, std::numeric_limits<qint64>::max(), cut);
    }
    if (!finished) {
        if (cuttable && ending())
            qInfo() << "Stopping" << program << "because the run ends";
        else if (bound.transfer())
            qInfo() << "Killing" << program << "silent for" << silence_limit_ms / 1000 << "s";
        else
            qInfo() << "Killing" << program << "still running after" << bound.limit() / 1000 << "s";
        child.kill();
        child.wait_for_end(5000);
    }

    QString const output = output_text(child.take_output());
    // -1 for a child that crashed, was killed, did not end or never ran: none is a success.
    int const code = child.exit_code();
    if (!started)
        qInfo() << "Could not start" << program << ":" << child.error_text();
    if (code != 0) {
        qInfo() << "Exit with" << code << "from" << program << arguments << "returned:" << output;
        log_local_cause(id, arguments);
    }
    if (taps.error_output)
        *taps.error_output = child.error_output();
    return {code, output};
}

} // namespace DFU
