#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <utility>

namespace DFU {

enum CmdID : int {
    version = 0,
    list = 1,
    upload_OTP = 2,
    upload_FW_info = 3,
    upload_FW = 4,
    download_FW = 5,
    setup_prepared_config = 6,
};

// One fixed dfu-util command line; callers append their own arguments.
struct Command {
    QString program = "dfu-util";
    QStringList arguments;

    // When not empty, put with "/" before the program of every command.
    static QString path;

    // program(arg1,arg2,...), without blanks.
    operator QString() const;
};

extern std::map<CmdID, Command> commands;

// How a command names the unit: not at all (dfu-util takes the one DfuSe unit it finds), by
// serial ("-S"; an empty one names none), or by USB port path ("-p"), the one name that two
// units on a bench never share.
struct Address {
    enum Kind { any, serial, port };
    Kind kind = any;
    QString name; // the serial or the port path

    static Address by_serial(QString const& s) { return {s.isEmpty() ? any : serial, s}; }
    static Address at_port(QString const& path) { return {port, path}; }

    // The arguments that name the unit; none for any.
    QStringList arguments() const;
};

// Exit code (-1 when the child did not exit normally or could not be started) and the
// child's standard output up to its first NUL byte.
using Result = std::pair<int, QString>;

// Runs the command of row id with extra appended and waits for it. Blocks the calling thread.
Result run_command(CmdID id, QStringList const& extra = {});

// What a caller may learn from the child besides the result. The result stays the same.
struct OutputTaps {
    // Called on the calling thread with each new piece of standard output while the child
    // runs (dfu-util's progress bars), before the result is returned.
    std::function<void(QByteArray const&)> on_output;
    // When set, receives the child's standard error once it has ended.
    QByteArray* error_output = nullptr;
    // Above 0: a command that moves no data is given up after this many milliseconds
    // instead of wait_limit_ms.
    int limit_ms = 0;
};

Result run_command(CmdID id, QStringList const& extra, OutputTaps const& taps);

// How long run_command waits before it logs and waits on, and when it gives up: a child still
// running at wait_limit_ms is killed and reported as failed (-1). A transfer (an upload or the
// download) has no total bound: it is killed once it has printed nothing for
// silence_limit_ms. Tests shorten all three.
extern int first_wait_ms;
extern int wait_limit_ms;
extern int silence_limit_ms;

// Tells every running and later run_command that the run is ending: no new command starts,
// a running child that moves no data to or from a unit (the version test, the listing, the
// simulator's set-up) is stopped at once; a running transfer is still waited for, within
// its silence bound. A termination signal counts as the end of the run. Safe from any thread.
// Tests switch it off again with false.
void end_waits_for_exit(bool ending = true);

} // namespace DFU
