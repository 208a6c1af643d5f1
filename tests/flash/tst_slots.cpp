// The slots file: the names of a bench's ports, parsed from text and read from files.
#include "flash/slots.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestSlots : public QObject {
    Q_OBJECT
private slots:
    void sound_data();
    void sound();
    void malformed_data();
    void malformed();
    void files_data();
    void files();
};

void TestSlots::sound_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("pairs"); // "port name", in the file's order
    QTest::newRow("empty") << QByteArray() << QStringList();
    QTest::newRow("comments and blank lines only")
        << QByteArray("# bench 3\n\n   \n#1-1 A1\n") << QStringList();
    QTest::newRow("two slots") << QByteArray("1-1.2 A1\n1-1.3\tA2\n")
                               << QStringList{"1-1.2 A1", "1-1.3 A2"};
    QTest::newRow("comment after a name, spaces, CRLF, no last line feed")
        << QByteArray("  1-1.2   A1  # by the window\r\n3-10.4.1 Left#2")
        << QStringList{"1-1.2 A1", "3-10.4.1 Left"};
    QTest::newRow("a hub seven tiers deep and a name of 16")
        << QByteArray("1-1.2.3.4.5.6.7 abcdefghijklmnop")
        << QStringList{"1-1.2.3.4.5.6.7 abcdefghijklmnop"};
}

void TestSlots::sound() {
    QFETCH(QByteArray, text);
    QFETCH(QStringList, pairs);
    Flash::SlotTable const table = Flash::parse_slots(text);
    QCOMPARE(table.error, QString());
    QCOMPARE(table.error_line, 0);
    QStringList got;
    for (Flash::Slot const& slot : table.entries)
        got << slot.port + " " + slot.name;
    QCOMPARE(got, pairs);
    for (Flash::Slot const& slot : table.entries)
        QCOMPARE(table.name_of(slot.port), slot.name);
    QCOMPARE(table.name_of("9-9"), QString());
}

void TestSlots::malformed_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("error");
    QTest::newRow("port alone") << QByteArray("1-1 A1\n1-2\n") << 2
                                << "a port path and a name expected";
    QTest::newRow("name of two words")
        << QByteArray("# x\n\n1-1 slot A\n") << 3 << "more than a port path and a name";
    QTest::newRow("name first") << QByteArray("A1 1-1\n") << 1 << "not a port path: A1";
    QTest::newRow("serial instead of a port")
        << QByteArray("serial=1111 A1\n") << 1 << "not a port path: serial=1111";
    QTest::newRow("a hub eight tiers deep")
        << QByteArray("1-1.2.3.4.5.6.7.8 A1") << 1 << "not a port path: 1-1.2.3.4.5.6.7.8";
    QTest::newRow("port twice") << QByteArray("1-1 A1\n1-2 A2\n1-1 A3\n") << 3
                                << "port 1-1 is named on line 1 already";
    QTest::newRow("name twice") << QByteArray("1-1 A1\n\n1-2 A1\n") << 3
                                << "the name A1 is given on line 1 already";
    QTest::newRow("name too long")
        << QByteArray("1-1 abcdefghijklmnopq\n") << 1 << "the name is longer than 16 characters";
    QTest::newRow("escape in a name")
        << QByteArray("1-1 A\x1b[2J\n") << 1 << "the name holds a character that cannot be printed";
    QTest::newRow("not UTF-8") << QByteArray("1-1 A\xff\n") << 1
                               << "the name holds a character that cannot be printed";
    QTest::newRow("escape in a port is quoted escaped")
        << QByteArray("1-1\x1b[31m A1\n") << 1 << "not a port path: 1-1\\x1B[31m";
}

// The first fault, with its line; no entries from a file at fault.
void TestSlots::malformed() {
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(QString, error);
    Flash::SlotTable const table = Flash::parse_slots(text);
    QCOMPARE(table.error, error);
    QCOMPARE(table.error_line, line);
    QVERIFY(table.entries.isEmpty());
}

void TestSlots::files_data() {
    QTest::addColumn<QString>("which"); // default or given
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("error"); // empty: sound; %1 stands for the file
    QTest::newRow("no default file: no names") << "default" << QByteArray() << "";
    QTest::newRow("default file") << "default" << QByteArray("1-1 A1\n") << "";
    QTest::newRow("given file missing") << "given" << QByteArray() << "cannot read %1: ";
    QTest::newRow("given file at fault") << "given" << QByteArray("1-1 A1\n1-1 B\n")
                                         << "%1 line 2: port 1-1 is named on line 1 already";
}

void TestSlots::files() {
    QFETCH(QString, which);
    QFETCH(QByteArray, content);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QString const file =
        which == "default" ? Flash::default_slots_file() : dir.path() + "/slots.conf";
    // The tests' own configuration folder, never the user's.
    QVERIFY(file.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME") + "/") || which == "given");
    QVERIFY(file.endsWith("/slots.conf"));
    QFile::remove(file);
    if (!content.isEmpty()) {
        QDir().mkpath(QFileInfo(file).path());
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
    }
    Flash::SlotTable const table = Flash::read_slots(file);
    QFile::remove(file);
    if (error.isEmpty())
        QCOMPARE(table.error, QString());
    else
        QVERIFY2(table.error.startsWith(error.arg(file)), qPrintable(table.error));
    QCOMPARE(table.name_of("1-1"),
             content.startsWith("1-1 A1\n") && error.isEmpty() ? QString("A1") : QString());
}

QTEST_GUILESS_MAIN(TestSlots)
#include "tst_slots.moc"
