// Extraction into the working directory and the small file helpers.
#include "files/files.h"
#include "files/support_misc.h"
#include "message_log.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray read_all(QString const& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write_file(QString const& path, QByteArray const& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

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
    QVERIFY(write_file(dfu, "mine"));
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
    QVERIFY(write_file(file, "x"));
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
    QVERIFY(write_file(dir.path() + "/t.txt", bytes));
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

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
