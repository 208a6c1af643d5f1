// The user's private folder and the instance lock in it, on real folders in a temporary one:
// what others could change on the way is refused, and the lock is free once its holder ends.
#include "system/private_folder.h"
#include "system/process_lock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class TestPrivateFolder : public QObject {
    Q_OBJECT
private slots:
    void folder_data();
    void folder();
    void instance_lock_not_held_by_a_forked_child();
    void instance_lock_is_the_users_whatever_the_runtime_folder();
};

void TestPrivateFolder::folder_data() {
    QTest::addColumn<QString>("plant");
    QTest::addColumn<QString>("error"); // empty: opened
    QTest::newRow("missing folders are made") << ""
                                              << "";
    QTest::newRow("a folder on the way that others may write")
        << "open parent"
        << "/a: other users may write in it and it lacks the sticky bit";
    QTest::newRow("one that others may write, with the sticky bit") << "sticky parent"
                                                                    << "";
    QTest::newRow("the folder itself writable by its group")
        << "group-writable"
        << "/a/b/c: other users may write in it";
    QTest::newRow("a regular file on the way") << "file"
                                               << "/a: Not a directory";
    QTest::newRow("another user's link on the way") << "link of another user"
                                                    << "/a: it is a symbolic link of another user";
}

void TestPrivateFolder::folder() {
    QFETCH(QString, plant);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QString const a = dir.filePath("a");
    QByteArray const native = QFile::encodeName(a);
    if (plant.endsWith("parent") || plant == "group-writable")
        QVERIFY(QDir().mkpath(a + "/b/c"));
    if (plant == "open parent")
        QVERIFY(::chmod(native.constData(), 0777) == 0);
    if (plant == "sticky parent")
        QVERIFY(::chmod(native.constData(), 01777) == 0);
    if (plant == "group-writable")
        QVERIFY(::chmod((native + "/b/c").constData(), 0770) == 0);
    if (plant == "file")
        QVERIFY(QFile(a).open(QIODevice::WriteOnly));
    if (plant == "link of another user") {
        QVERIFY(QDir().mkpath(dir.filePath("elsewhere")) &&
                QFile::link(dir.filePath("elsewhere"), a));
        if (::lchown(native.constData(), 65534, 65534) != 0)
            QSKIP("cannot give a link to another user here (not root)");
    }

    QString why;
    int const fd = System::open_private_folder(a + "/b/c", &why);
    if (fd >= 0)
        ::close(fd);
    QCOMPARE(fd >= 0, error.isEmpty());
    QVERIFY2(error.isEmpty() ? why.isEmpty() : why.startsWith(dir.path()) && why.endsWith(error),
             qPrintable(why));
    struct stat made = {};
    if (error.isEmpty() && plant.isEmpty()) {
        QVERIFY(::stat((native + "/b/c").constData(), &made) == 0);
        QCOMPARE(int(made.st_mode & 07777), 0700);
    }
}

// A child forked while the lock is held (a dfu-util between fork and exec, say) keeps
// copies of the descriptors, but not the lock: once the holder lets go, it is free.
void TestPrivateFolder::instance_lock_not_held_by_a_forked_child() {
    ProcessLock lock;
    QCOMPARE(lock.take_instance(), ProcessLock::Taken);
    pid_t const child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    QVERIFY(child > 0);
    lock.release();
    ProcessLock::Outcome const again = lock.take_instance();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    QCOMPARE(again, ProcessLock::Taken);
}

void TestPrivateFolder::instance_lock_is_the_users_whatever_the_runtime_folder() {
    QTemporaryDir runtime;
    QString const path = ProcessLock::instance_path();
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QCOMPARE(ProcessLock::instance_path(), path);
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(ProcessLock::instance_path(), path);
    QVERIFY(path.endsWith("/kelvora-upgrade/instance.lock"));
}

QTEST_GUILESS_MAIN(TestPrivateFolder)
#include "tst_private_folder.moc"
