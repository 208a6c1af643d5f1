// Extraction into the working directory and the small file helpers.
#include "files/files.h"
#include "files/support_misc.h"
#include "message_log.h"
#include "small_filesystem.h"
#include "system/process_lock.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QResource>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using test_files::read_all;
using test_files::write_all;

class TestFiles : public QObject {
    Q_OBJECT
private slots:
    void working_directory_and_names();
    void extraction_does_not_overwrite();
    void extraction_copies_the_carried_files();
    void identifier_without_resource_data();
    void identifier_without_resource();
    void mark_file_executable();
    void ensure_file_is_deleted();
    void load_text_file_data();
    void load_text_file();
    void load_text_file_that_cannot_be_opened();
    void remove_carriage_returns();
    void platform();
    void working_dir_only_in_a_safe_folder_data();
    void working_dir_only_in_a_safe_folder();
    void folders_of_ended_runs_are_removed_data();
    void folders_of_ended_runs_are_removed();
    void resources_stored_as_intended_data();
    void resources_stored_as_intended();
    void local_cause_of_a_failed_write();
    void linking_the_core_keeps_the_default_signal_action();
    void instance_lock_not_held_by_a_forked_child();
};

void TestFiles::working_directory_and_names() {
    QVERIFY(Files::external_dir.isValid());
    QVERIFY(Files::external_dir.path().startsWith(QDir::tempPath() + "/upgrade_"));
    QCOMPARE(Files::basename.size(), size_t(7));
    QCOMPARE(Files::basename[Files::libusb_dylib], QString("libusb-1.0.so.0"));
    QCOMPARE(Files::basename[Files::uploaded_OTP_bin], Files::uploaded_OTP_fileName_bin);
    QCOMPARE(Files::path_of(Files::uploaded_FW_info_bin),
             Files::external_dir.path() + "/uploaded_FW_info.bin");
}

void TestFiles::extraction_does_not_overwrite() {
    QString const dfu = Files::path_of(Files::desired_FW_dfu);
    QVERIFY(write_all(dfu, "mine"));
    MessageLog log;
    QVERIFY(!Files::extract_resources({Files::desired_FW_dfu}, true));
    QVERIFY(log.contains("Failed to extract \"firmware.dfu\""));
    QVERIFY(Files::extract_resources({Files::desired_FW_dfu}, false));
    QCOMPARE(read_all(dfu), QByteArray("mine"));
    QFile::remove(dfu);
}

void TestFiles::extraction_copies_the_carried_files() {
    MessageLog log;
    QVERIFY(Files::extract_resources({Files::desired_FW_dfu, Files::desired_FW_bin,
                                      Files::dfu_util_executable, Files::libusb_dylib},
                                     true));
    QCOMPARE(log.lines(), (QStringList{"Extracted \"firmware.dfu\"", "Extracted \"firmware.bin\"",
                                       "Extracted \"dfu-util\"", "Extracted \"libusb-1.0.so.0\""}));
    QDir const dir(Files::external_dir.path());
    QStringList names = dir.entryList(QDir::Files);
    names.sort();
    QCOMPARE(names, (QStringList{"dfu-util", "firmware.bin", "firmware.dfu", "libusb-1.0.so.0"}));
    QCOMPARE(read_all(Files::path_of(Files::desired_FW_bin)), read_all(":resources/firmware.bin"));
    QCOMPARE(QFileInfo(Files::path_of(Files::desired_FW_bin)).size(), 625900);
    QCOMPARE(QFileInfo(Files::path_of(Files::desired_FW_dfu)).size(), 626209);
    QVERIFY(!QFileInfo(Files::path_of(Files::dfu_util_executable)).isExecutable());

    // A second extraction fails and leaves the first copy as it is.
    QVERIFY(!Files::extract_resources({Files::desired_FW_bin}, true));
    QVERIFY(Files::extract_resources({}, true));
}

void TestFiles::identifier_without_resource_data() {
    QTest::addColumn<int>("id");
    QTest::newRow("uploaded_FW_bin") << int(Files::uploaded_FW_bin);
    QTest::newRow("uploaded_FW_info_bin") << int(Files::uploaded_FW_info_bin);
    QTest::newRow("uploaded_OTP_bin") << int(Files::uploaded_OTP_bin);
}

void TestFiles::identifier_without_resource() {
    QFETCH(int, id);
    QTemporaryDir scratch; // the real working directory stays as the other tests left it
    QString const name = Files::basename[Files::ID(id)];
    QFile::remove(Files::path_of(Files::desired_FW_dfu));
    MessageLog log;
    QVERIFY(!Files::extract_resources({Files::ID(id), Files::desired_FW_dfu}, true));
    QCOMPARE(log.lines(), (QStringList{"Failed to extract \"" + name + "\" \"no such resource\"",
                                       "Extracted \"firmware.dfu\""}));
    QCOMPARE(Files::extraction_error(), name + ": no such resource");
    QVERIFY(QFileInfo::exists(Files::path_of(Files::desired_FW_dfu)));
    QVERIFY(!QFileInfo::exists(Files::path_of(Files::ID(id))));
}

void TestFiles::mark_file_executable() {
    QString const path = Files::path_of(Files::dfu_util_executable);
    {
        MessageLog log;
        QVERIFY(support_misc::mark_file_executable(path));
        QCOMPARE(log.lines(),
                 QStringList{"Changing file permissions to make it executable: \"" + path + "\""});
    }
    QFileDevice::Permissions const p = QFile(path).permissions();
    QVERIFY(p & QFileDevice::ExeUser);
    QVERIFY(p & QFileDevice::ExeGroup);
    QVERIFY(p & QFileDevice::ExeOther);
    QVERIFY(p & QFileDevice::ReadOwner); // nothing taken away

    MessageLog log;
    QVERIFY(!support_misc::mark_file_executable(path + ".missing"));
    QCOMPARE(log.lines(), QStringList{"Failed to mark file (doesn't exist) as executable: \"" +
                                      path + ".missing\""});
}

void TestFiles::ensure_file_is_deleted() {
    QTemporaryDir dir;
    QString const file = dir.path() + "/f.bin";
    QVERIFY(write_all(file, "x"));
    support_misc::ensure_file_is_deleted(file);
    QVERIFY(!QFileInfo::exists(file));
    support_misc::ensure_file_is_deleted(file); // silent when missing
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    support_misc::ensure_file_is_deleted(dir.path() + "/sub");
    QVERIFY(QFileInfo(dir.path() + "/sub").isDir()); // folders are left alone
}

void TestFiles::load_text_file_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << QByteArray("a\nb\n") << "a\nb\n";
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("stops at NUL") << QByteArray("abc\0def", 7) << "abc";
    QTest::newRow("utf-8") << QByteArray("\xc3\xa4\xc3\xb6") << QString::fromUtf8("äö");
}

void TestFiles::load_text_file() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QTemporaryDir dir;
    QVERIFY(write_all(dir.path() + "/t.txt", bytes));
    QCOMPARE(support_misc::load_text_file(dir.path() + "/t.txt"), text);
}

void TestFiles::load_text_file_that_cannot_be_opened() {
    QString const path = "/nonexistent/settings.json";
    try {
        support_misc::load_text_file(path);
        QFAIL("no exception");
    } catch (QString const& message) {
        QCOMPARE(message, "Couldn't open file: " + path);
    }
    QCOMPARE(support_misc::maybe_use_file_instead_of_resource(":resources/x"),
             QString(":resources/x"));
}

void TestFiles::remove_carriage_returns() {
    QCOMPARE(support_misc::remove_carriage_returns("a\r\nb\r\n"), QString("a\nb\n"));
    QCOMPARE(support_misc::remove_carriage_returns("a\r\nb", 'b'), QString("a\r\n"));
    QCOMPARE(support_misc::remove_carriage_returns("aAa", 'a'), QString("A"));
}

void TestFiles::platform() {
    QCOMPARE(support_misc::compiled_for_platform(), support_misc::Platform::Linux);
    QVERIFY(support_misc::compiled_for_platform(support_misc::Platform::Linux));
    QVERIFY(!support_misc::compiled_for_platform(support_misc::Platform::macOS));
    QVERIFY(!support_misc::compiled_for_platform(support_misc::Platform::windows));
    QVERIFY(!support_misc::compiled_for_platform(support_misc::Platform::unknown));
    QString text;
    QDebug(&text) << support_misc::Platform::windows << QString("q");
    QCOMPARE(text, QString("windows \"q\" "));
    text.clear();
    QDebug(&text) << static_cast<support_misc::Platform>(7) << "x";
    QCOMPARE(text, QString(" x "));
}

void TestFiles::working_dir_only_in_a_safe_folder_data() {
    QTest::addColumn<QString>("make");   // what the folder is
    QTest::addColumn<int>("mode");       // its permissions
    QTest::addColumn<QString>("reason"); // empty: the working directory is made
    QTest::newRow("missing") << "missing" << 0 << "the folder does not exist";
    QTest::newRow("regular file") << "file" << 0644 << "it is not a folder";
    QTest::newRow("world-writable, no sticky bit")
        << "dir" << 0777 << "other users may write in it and it lacks the sticky bit";
    QTest::newRow("group-writable, no sticky bit")
        << "dir" << 0770 << "other users may write in it and it lacks the sticky bit";
    QTest::newRow("belongs to another user") << "foreign" << 01777 << "it belongs to another user";
    // The folders above it, each checked the same way.
    QTest::newRow("parent world-writable, no sticky bit")
        << "parent:open" << 0700 << "other users may write in it and it lacks the sticky bit";
    QTest::newRow("parent of another user")
        << "parent:foreign" << 0700 << "it belongs to another user";
    QTest::newRow("world-writable with sticky bit") << "dir" << 01777 << "";
    QTest::newRow("private") << "dir" << 0700 << "";
}

void TestFiles::working_dir_only_in_a_safe_folder() {
    QFETCH(QString, make);
    QFETCH(int, mode);
    QFETCH(QString, reason);
    QTemporaryDir scratch;
    // The folder that the reason is about: base, or the parent made for it.
    QString culprit = scratch.path() + "/base";
    QString base = culprit;
    if (make.startsWith("parent:")) {
        QVERIFY(QDir().mkdir(culprit));
        base = culprit + "/base";
        QVERIFY(QDir().mkdir(base));
        if (make == "parent:open")
            QVERIFY(::chmod(QFile::encodeName(culprit).constData(), 0777) == 0);
        else if (::chown(QFile::encodeName(culprit).constData(), 65534, 65534) != 0)
            QSKIP("cannot give the folder to another user here");
    }
    if (make == "file")
        QVERIFY(write_all(base, "not a folder"));
    else if (make != "missing" && !make.startsWith("parent:"))
        QVERIFY(QDir().mkdir(base));
    if (make == "foreign" && ::chown(QFile::encodeName(base).constData(), 65534, 65534) != 0)
        QSKIP("cannot give the folder to another user here");
    if (mode)
        QVERIFY(::chmod(QFile::encodeName(base).constData(), mode_t(mode)) == 0);
    QStringList const before = QDir(scratch.path()).entryList(QDir::AllEntries | QDir::Hidden);

    auto dir = std::make_unique<Files::WorkingDir>(base);
    if (reason.isEmpty()) {
        QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
        QVERIFY(dir->path().startsWith(base + "/upgrade_"));
        QVERIFY(QFileInfo(dir->path()).permissions() ==
                (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser |
                 QFile::WriteUser | QFile::ExeUser));
        QString const path = dir->path();
        dir.reset();
        QVERIFY(!QFileInfo::exists(path));
    } else {
        QVERIFY(!dir->isValid());
        QCOMPARE(dir->path(), QString());
        QCOMPARE(dir->errorString(), culprit + ": " + reason);
        QCOMPARE(QDir(scratch.path()).entryList(QDir::AllEntries | QDir::Hidden), before);
        if (make != "file" && make != "missing")
            QCOMPARE(QDir(base).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }
}

void TestFiles::folders_of_ended_runs_are_removed_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("marker"); // empty: none
    QTest::addColumn<bool>("removed");
    QString const made = "upgrade_aB3dEf"; // as the tool names its folders
    QByteArray const pid = "4711\n";
    QTest::newRow("marker nobody holds") << "ended" << made << 0700 << pid << true;
    QTest::newRow("marker held by a live run") << "live" << made << 0700 << pid << false;
    QTest::newRow("no marker") << "ended" << made << 0700 << QByteArray() << false;
    QTest::newRow("link to a folder") << "link" << made << 0700 << pid << false;
    QTest::newRow("another user's folder") << "foreign" << made << 0700 << pid << false;
    QTest::newRow("other name") << "ended"
                                << "mine_ABCDEF" << 0700 << pid << false;
    QTest::newRow("user's own name") << "ended"
                                     << "upgrade_notes" << 0700 << pid << false;
    QTest::newRow("longer name") << "ended" << made + "1" << 0700 << pid << false;
    QTest::newRow("readable by others") << "ended" << made << 0755 << pid << false;
    QTest::newRow("marker the tool did not write")
        << "ended" << made << 0700 << QByteArray("notes\n") << false;
}

void TestFiles::folders_of_ended_runs_are_removed() {
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(int, mode);
    QFETCH(QByteArray, marker);
    QFETCH(bool, removed);
    QTemporaryDir base;
    QTemporaryDir elsewhere;
    QString const path = base.path() + "/" + name;
    QString const target = kind == "link" ? elsewhere.path() : path;
    if (kind == "link")
        QVERIFY(QFile::link(target, path));
    else
        QVERIFY(QDir().mkdir(path));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), mode_t(mode)) == 0);
    QVERIFY(QDir().mkpath(target + "/simulated_unit"));
    QVERIFY(write_all(target + "/firmware.bin", "image"));
    if (!marker.isEmpty())
        QVERIFY(write_all(target + "/.owner", marker));
    ProcessLock live;
    if (kind == "live")
        QCOMPARE(live.take(target + "/.owner", false), ProcessLock::Taken);
    if (kind == "foreign" && ::chown(QFile::encodeName(path).constData(), 65534, 65534) != 0)
        QSKIP("cannot give the folder to another user here");

    QCOMPARE(Files::WorkingDir::remove_abandoned(base.path()), removed ? 1 : 0);
    QCOMPARE(QFileInfo::exists(path), !removed);
    QVERIFY(QFileInfo::exists(target + "/firmware.bin") != removed);
    // A new working directory beside it leaves it as the clean-up found it.
    Files::WorkingDir const fresh(base.path());
    QVERIFY(fresh.isValid());
    QCOMPARE(QFileInfo::exists(path), !removed);
}

void TestFiles::resources_stored_as_intended_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("algorithm");
    int const none = int(QResource::NoCompression);
    QTest::newRow("regular font") << "KelvoraSans-Regular.otf" << none;
    QTest::newRow("bold font") << "KelvoraSans-Bold.otf" << none;
    QTest::newRow("dfu-util") << "dfu-util" << none;
    QTest::newRow("libusb") << "libusb-1.0.so.0" << none;
    QTest::newRow("firmware.bin") << "firmware.bin" << none;
    QTest::newRow("firmware.dfu") << "firmware.dfu" << none;
    QTest::newRow("background") << "background.jpg" << none;
    QTest::newRow("settings") << "settings_GUI.json" << int(QResource::ZlibCompression);
}

void TestFiles::resources_stored_as_intended() {
    QFETCH(QString, name);
    QFETCH(int, algorithm);
    QResource const resource(":resources/" + name);
    QVERIFY(resource.isValid());
    QCOMPARE(int(resource.compressionAlgorithm()), algorithm);
    // Stored plain, the bytes are the file's; compressed, they are fewer.
    if (algorithm == int(QResource::NoCompression))
        QCOMPARE(resource.size(), resource.uncompressedSize());
    else
        QVERIFY(resource.size() < resource.uncompressedSize());
}

void TestFiles::local_cause_of_a_failed_write() {
    QTemporaryDir scratch;
    QString const mount_point = scratch.path() + "/small";
    QVERIFY(QDir().mkdir(mount_point));
    SmallFilesystem const small(mount_point, "64k");
    if (!small.mounted())
        QSKIP("no permission to mount a small file system here");

    QString const file = mount_point + "/uploaded_FW.bin";
    QCOMPARE(Files::cannot_write(file, 2048), QString());
    QCOMPARE(Files::cannot_read(file), "cannot read " + file + " (No such file or directory)");
    // Full, as an upload that ran out of room leaves it.
    QVERIFY(small.fill("uploaded_FW.bin"));
    QString const cause = Files::cannot_write(file, 625900);
    QVERIFY2(cause.startsWith("no room left in " + mount_point + " (0 bytes free, "),
             qPrintable(cause));
    QCOMPARE(Files::cannot_read(file), QString());
}

// Only a program's main() installs the termination handlers: one that links the core and
// never asks for them still dies of SIGTERM.
void TestFiles::linking_the_core_keeps_the_default_signal_action() {
    QProcess child;
    child.start(KELVORA_TEST_HELPERS_DIR "/core_linked_child", QStringList());
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
}

// A child forked while the instance lock is held (a dfu-util between fork and exec, say) has
// copies of the descriptors but not the lock: once the holder lets go, it is free.
void TestFiles::instance_lock_not_held_by_a_forked_child() {
    ProcessLock lock;
    QCOMPARE(lock.take_instance(), ProcessLock::Taken);
    pid_t const child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    lock.release();
    ProcessLock::Outcome const again = lock.take_instance();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    QCOMPARE(again, ProcessLock::Taken);
}

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
