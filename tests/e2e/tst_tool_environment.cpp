// The executable against its surroundings: an unusable folder for temporary files, folders
// left by runs that were killed, and a second run started beside the first.
#include "small_filesystem.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int start_timeout_ms = 60000;
constexpr uid_t unprivileged = 65534;

QStringList entries(QString const& path) {
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// What a run may leave in the root folder when it falls back to paths outside its own.
QStringList stray_entries_in_root() {
    return QDir("/").entryList({"upgrade_*", "firmware.*", "uploaded_*", "dfu-util", "libusb*"},
                               QDir::AllEntries | QDir::Hidden);
}

bool give_to(QString const& path, uid_t uid) {
    return ::chown(QFile::encodeName(path).constData(), uid, uid) == 0;
}

bool set_mode(QString const& path, mode_t mode) {
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// One run of the tool in its own surroundings: a stub dfu-util first on PATH that notes each
// start, an empty current folder and private runtime folders (the instance lock is elsewhere).
class Surroundings {
public:
    Surroundings() {
        set_mode(root_.path(), 0755);
        for (QString const name : {"bin", "cwd", "runtime", "runtime2"})
            QDir(root_.path()).mkdir(name);
        QFile stub(path("bin/dfu-util"));
        stub.open(QIODevice::WriteOnly);
        stub.write(QString("#!/bin/sh\necho \"$*\" >> %1\n").arg(path("stub_ran")).toUtf8());
        stub.close();
        set_mode(path("bin/dfu-util"), 0755);
        set_mode(path("runtime"), 0700);
        set_mode(path("runtime2"), 0700);
    }

    QString path(QString const& name) const { return root_.path() + "/" + name; }
    // The runtime folder of the next start; empty leaves it to Qt's fallback in the temporary
    // folder.
    QString runtime = "runtime";
    bool stub_ran() const { return QFileInfo::exists(path("stub_ran")); }

    // Lets the unprivileged user use the folders of this run.
    bool hand_over(uid_t uid) {
        return give_to(path("cwd"), uid) && give_to(path("runtime"), uid) &&
               set_mode(path("bin"), 0777);
    }

    void start(QProcess& tool, QString const& tmpdir, QStringList const& prefix = {},
               QString const& cwd = "cwd") const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmpdir);
        env.insert("XDG_RUNTIME_DIR", path(runtime));
        if (runtime.isEmpty())
            env.remove("XDG_RUNTIME_DIR");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("PATH", path("bin") + ":" + env.value("PATH"));
        env.remove("KELVORA_SIM_STATE_DIR");
        env.remove("KELVORA_VUSB_DIR");
        tool.setProcessEnvironment(env);
        tool.setWorkingDirectory(path(cwd));
        QStringList arguments = prefix;
        arguments << KELVORA_BINARY_DIR "/kelvora-upgrade";
        tool.start(arguments.takeFirst(), arguments);
    }

private:
    QTemporaryDir root_;
};

bool wait_for_text(QProcess& tool, QByteArray& err, QByteArray const& text) {
    return QTest::qWaitFor(
               [&] {
                   err += tool.readAllStandardError();
                   return err.contains(text) || tool.state() == QProcess::NotRunning;
               },
               start_timeout_ms) &&
           err.contains(text);
}

bool end_with_signal(QProcess& tool, QByteArray& err, int signal_number) {
    ::kill(pid_t(tool.processId()), signal_number);
    bool const ended = tool.waitForFinished(start_timeout_ms);
    err += tool.readAllStandardError();
    return ended;
}

} // namespace

class TestToolEnvironment : public QObject {
    Q_OBJECT
private slots:
    void unusable_temporary_folder_data();
    void unusable_temporary_folder();
    void folders_of_killed_runs_removed_live_ones_kept();
    void two_instances_started_together_data();
    void two_instances_started_together();
};

void TestToolEnvironment::unusable_temporary_folder_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("message"); // %1: the folder
    QString const no_folder = "Cannot start: no safe working folder can be made in %1: ";
    QTest::newRow("missing") << "missing" << no_folder + "the folder does not exist";
    QTest::newRow("regular file") << "file" << no_folder + "it is not a folder";
    QTest::newRow("read-only") << "read-only"
                               << no_folder + "it is not writable (Permission denied)";
    QTest::newRow("world-writable without sticky bit")
        << "world-writable"
        << no_folder + "other users may write in it and it lacks the sticky bit";
    // Anybody could rename the parent away and put a folder of their own in its place.
    QTest::newRow("below a world-writable parent without sticky bit")
        << "open parent" << no_folder + "other users may write in it and it lacks the sticky bit";
    QTest::newRow("full before the first image")
        << "full:300k"
        << "Cannot start: cannot extract firmware.dfu: No space left on device";
    QTest::newRow("full before the second image")
        << "full:900k"
        << "Cannot start: cannot extract firmware.bin: No space left on device";
}

void TestToolEnvironment::unusable_temporary_folder() {
    QFETCH(QString, state);
    QFETCH(QString, message);
    Surroundings run;
    QString const culprit = run.path(state == "open parent" ? "open" : "tmp");
    QString const tmpdir = state == "open parent" ? run.path("open/tmp") : culprit;
    QStringList prefix;
    std::unique_ptr<SmallFilesystem> small;
    if (state == "open parent")
        QVERIFY(QDir().mkdir(culprit) && set_mode(culprit, 0777));

    if (state == "file") {
        QFile file(tmpdir);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("a file") == 6);
    } else if (state != "missing") {
        QVERIFY(QDir().mkdir(tmpdir));
    }
    if (state == "world-writable")
        QVERIFY(set_mode(tmpdir, 0777));
    if (state == "read-only") {
        QVERIFY(set_mode(tmpdir, 0555));
        // Permissions do not hold back root; the tool then runs as an unprivileged user.
        if (::getuid() == 0) {
            if (QStandardPaths::findExecutable("setpriv").isEmpty())
                QSKIP("running as root without setpriv to drop the privileges");
            QVERIFY(give_to(tmpdir, unprivileged) && run.hand_over(unprivileged));
            prefix =
                QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
            QProcess reach;
            reach.start(prefix.first(),
                        prefix.mid(1) +
                            QStringList{"test", "-x", KELVORA_BINARY_DIR "/kelvora-upgrade"});
            if (!reach.waitForFinished() || reach.exitCode() != 0)
                QSKIP("the unprivileged user cannot reach the build folder");
        }
    }
    if (state.startsWith("full:")) {
        small = std::make_unique<SmallFilesystem>(tmpdir, state.section(':', 1).toUtf8());
        if (!small->mounted())
            QSKIP("no permission to mount a small file system here");
        QVERIFY(set_mode(tmpdir, 01777));
    }
    QStringList const tmp_before = entries(tmpdir);
    QStringList const root_before = stray_entries_in_root();

    QProcess tool;
    run.start(tool, tmpdir, prefix);
    QVERIFY(tool.waitForStarted());
    QByteArray err;
    QString const expected = message.contains("%1") ? message.arg(culprit) : message;
    QVERIFY2(wait_for_text(tool, err, expected.toUtf8()), err.constData());
    // The tool holds its message up until the user closes it; a signal ends it as well.
    QVERIFY(tool.state() == QProcess::Running);
    QVERIFY(end_with_signal(tool, err, SIGTERM));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 1);

    QVERIFY2(!err.contains("Starting sm_A"), err.constData());
    QVERIFY(!err.contains("Result of execution test"));
    QVERIFY(!run.stub_ran());
    QCOMPARE(entries(tmpdir), tmp_before);
    QCOMPARE(entries(run.path("cwd")), QStringList());
    QCOMPARE(stray_entries_in_root(), root_before);
}

void TestToolEnvironment::folders_of_killed_runs_removed_live_ones_kept() {
    Surroundings run;
    QString const tmpdir = run.path("tmp");
    QVERIFY(QDir().mkdir(tmpdir));

    // A run killed outright leaves its working folder behind.
    QProcess killed;
    run.start(killed, tmpdir);
    QByteArray err;
    QVERIFY2(wait_for_text(killed, err, "Starting sm_A"), err.constData());
    killed.kill();
    QVERIFY(killed.waitForFinished());
    QStringList const left = entries(tmpdir);
    QCOMPARE(left.size(), 1);
    // A folder of the user's own beside it, with a marker that nobody holds, is no run's.
    QString const notes = tmpdir + "/upgrade_notes";
    QVERIFY(QDir().mkdir(notes) && set_mode(notes, 0700));
    QFile marker(notes + "/.owner");
    QVERIFY(marker.open(QIODevice::WriteOnly) && marker.write("4711\n") == 5);
    marker.close();

    // The next start removes it and makes its own.
    QProcess live;
    run.start(live, tmpdir);
    err.clear();
    QVERIFY2(wait_for_text(live, err, "Starting sm_A"), err.constData());
    QVERIFY2(err.contains("Removed the working folder of an ended run: \"" + tmpdir.toUtf8() + "/" +
                          left.first().toUtf8() + "\""),
             err.constData());
    QVERIFY(QFileInfo::exists(notes + "/.owner"));
    QStringList live_folder = entries(tmpdir);
    live_folder.removeOne("upgrade_notes");
    QCOMPARE(live_folder.size(), 1);
    QVERIFY(live_folder != left);

    // A start beside the live run leaves the live run's folder alone (and ends itself).
    QProcess second;
    run.start(second, tmpdir);
    QByteArray second_err;
    QVERIFY2(
        wait_for_text(second, second_err, "The Kelvora Firmware Upgrade Tool is already running."),
        second_err.constData());
    QVERIFY(end_with_signal(second, second_err, SIGTERM));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(!second_err.contains("Removed the working folder"));
    QStringList beside = entries(tmpdir);
    QVERIFY(beside.removeOne("upgrade_notes"));
    QCOMPARE(beside, live_folder);
    QVERIFY(QFileInfo::exists(tmpdir + "/" + live_folder.first() + "/firmware.bin"));

    QVERIFY(end_with_signal(live, err, SIGTERM));
    QCOMPARE(live.exitCode(), 128 + SIGTERM);
    QCOMPARE(entries(tmpdir), QStringList{"upgrade_notes"});
}

void TestToolEnvironment::two_instances_started_together_data() {
    QTest::addColumn<QStringList>("runtimes"); // of the two; empty: Qt offers none
    QTest::addColumn<bool>("planted"); // another user's lock files where the lock used to be
    QTest::newRow("same runtime folder") << QStringList{"runtime", "runtime"} << false;
    QTest::newRow("no runtime folder") << QStringList{"", ""} << false;
    // The lock is the user's, whatever the session says.
    QTest::newRow("one without a runtime folder") << QStringList{"runtime", ""} << false;
    QTest::newRow("other runtime folders") << QStringList{"runtime", "runtime2"} << false;
    QTest::newRow("another user's lock files in the old places")
        << QStringList{"runtime", ""} << true;
}

void TestToolEnvironment::two_instances_started_together() {
    QFETCH(QStringList, runtimes);
    QFETCH(bool, planted);
    Surroundings run;
    QString const tmpdir = run.path("tmp");
    QVERIFY(QDir().mkdir(tmpdir) && QDir().mkdir(run.path("cwd2")));
    // Another user made Qt's fallback runtime folder first: Qt then offers none.
    QString const taken =
        tmpdir + "/runtime-" + QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name);
    QStringList planted_files;
    if (planted)
        planted_files << run.path("runtime/kelvora-upgrade.lock")
                      << tmpdir + QString("/kelvora-upgrade-%1.lock").arg(::geteuid());
    for (QString const& file : planted_files)
        QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    if ((runtimes.contains("") && !(QDir().mkdir(taken) && give_to(taken, unprivileged))) ||
        !std::all_of(planted_files.begin(), planted_files.end(),
                     [](QString const& file) { return give_to(file, unprivileged); }))
        QSKIP("cannot give a folder to another user here");
    QStringList const tmp_before = entries(tmpdir);
    QProcess tools[2];
    run.runtime = runtimes[0];
    run.start(tools[0], tmpdir);
    run.runtime = runtimes[1];
    run.start(tools[1], tmpdir, {}, "cwd2");
    QByteArray err[2];
    // Exactly one of them goes on to its own dfu-util and its worker; the other says why not.
    for (int i = 0; i < 2; ++i)
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         err[i] += tools[i].readAllStandardError();
                         return err[i].contains("Starting sm_A") ||
                                err[i].contains("already running");
                     },
                     start_timeout_ms),
                 err[i].constData());
    int const refused = err[0].contains("already running") ? 0 : 1;
    int const running = 1 - refused;
    QVERIFY2(err[running].contains("Starting sm_A"), err[running].constData());
    QVERIFY2(err[refused].contains("The Kelvora Firmware Upgrade Tool is already running."),
             err[refused].constData());
    QVERIFY(!err[refused].contains("Start "));
    QVERIFY(!err[refused].contains("Starting sm_A"));

    QVERIFY(end_with_signal(tools[refused], err[refused], SIGTERM));
    QCOMPARE(tools[refused].exitCode(), 1);
    QVERIFY(!err[refused].contains("Extracted"));
    QVERIFY(end_with_signal(tools[running], err[running], SIGTERM));
    QCOMPARE(tools[running].exitCode(), 128 + SIGTERM);
    QCOMPARE(entries(tmpdir), tmp_before);
    QCOMPARE(entries(run.path("cwd")), QStringList());
    QCOMPARE(entries(run.path("cwd2")), QStringList());
    QVERIFY(!run.stub_ran());
}

QTEST_GUILESS_MAIN(TestToolEnvironment)
#include "tst_tool_environment.moc"
