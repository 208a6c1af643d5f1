#include "device/fw_info.h"
#include "message_log.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>

using Device::Type;
using Pairs = QList<QPair<QString, QString>>;

Q_DECLARE_METATYPE(Device::Type)

namespace {

QByteArray const begin_marker = QByteArray::fromHex("12472301");
QByteArray const end_marker = QByteArray::fromHex("13472301");

// A 32-byte string field: the text, a NUL and zero padding.
QByteArray field(QByteArray const& text) {
    return text + QByteArray(32 - text.size(), '\0');
}

QByteArray block(int type_code, QByteArray const& name, QByteArray const& revision,
                 QList<QPair<QByteArray, QByteArray>> const& pairs = {},
                 QByteArray const& extra = QByteArray(3, '\xff')) {
    QByteArray b = begin_marker + char(type_code) + extra + name + revision;
    for (auto const& pair : pairs)
        b += pair.first + pair.second;
    return b + end_marker;
}

QByteArray at_offset(int offset, QByteArray const& content, int total = 2048) {
    QByteArray image(qMax(total, offset + content.size()), '\xff');
    image.replace(offset, content.size(), content);
    return image;
}

QByteArray const plain_block = block(0x04, field("Lx-21 main firmware"), field("2.4.1"));

QString message(int B, int E) {
    return QStringLiteral("index_beg =  %1 index_end =  %2").arg(B).arg(E);
}
QString message(int B, int E, int P) {
    return message(B, E) + QStringLiteral(" nr_of_pair_bytes = %1").arg(P);
}

Pairs details_of(Device::FW_Info const& info) {
    Pairs list;
    for (auto const& pair : info.details)
        list.append(qMakePair(pair.first, pair.second));
    return list;
}

} // namespace

class TestFwInfo : public QObject {
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void get_string_data();
    void get_string();
    void local_strlen_data();
    void local_strlen();
    void text_data();
    void text();
    void files();
};

void TestFwInfo::decode_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<Type>("type");
    QTest::addColumn<int>("raw_type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("name_null");
    QTest::addColumn<QString>("revision");
    QTest::addColumn<Pairs>("details");
    QTest::addColumn<QStringList>("messages");

    auto const empty = [](char const* name, QByteArray const& bytes, QStringList messages) {
        QTest::newRow(name) << bytes << false << Type::invalid << 0 << QString() << true
                            << QString() << Pairs() << messages;
    };
    empty("no bytes", QByteArray(), {message(-1, -1)});
    empty("no begin marker", at_offset(0x200, plain_block.mid(4)), {message(-1, 0x200 + 68)});
    empty("no end marker", at_offset(0x200, plain_block.chopped(4)), {message(0x200, -1)});
    empty("end marker before begin marker",
          at_offset(0x100, end_marker + QByteArray(60, '\0') + plain_block.chopped(4)),
          {message(0x140, 0x100, -136)});
    empty("28 pair bytes",
          at_offset(0x200, plain_block.chopped(4) + QByteArray(28, 'x') + end_marker),
          {message(0x200, 0x200 + 100, 28)});
    empty("begin marker at 1949", at_offset(1949, plain_block, 4096), {});
    empty("end marker at 1949", at_offset(1949 - 72, plain_block, 4096), {});
    empty("begin marker far out", at_offset(100000, plain_block, 100100), {});

    QTest::newRow("block without details at 0")
        << plain_block << true << Type::DAVO << 0x04 << "Lx-21 main firmware" << false << "2.4.1"
        << Pairs() << QStringList();
    QTest::newRow("end marker at 1948")
        << at_offset(1948 - 72, plain_block) << true << Type::DAVO << 0x04 << "Lx-21 main firmware"
        << false << "2.4.1" << Pairs() << QStringList();

    QByteArray const name31(31, 'n');
    QTest::newRow("31-byte name") << block(0x03, name31 + '\0', field("r")) << true << Type::KORV
                                  << 0x03 << QString(name31) << false << "r" << Pairs()
                                  << QStringList();
    QTest::newRow("32-byte name without NUL")
        << block(0x03, QByteArray(32, 'n'), field("r")) << true << Type::KORV << 0x03 << QString()
        << true << "r" << Pairs() << QStringList();
    QTest::newRow("empty name") << block(0x03, field(""), field("r")) << true << Type::KORV << 0x03
                                << "" << false << "r" << Pairs() << QStringList();
    QTest::newRow("bytes after the NUL are not read")
        << block(0x03, QByteArray("abc\0defghijklmnopqrstuvwxyz01234", 32), field("r")) << true
        << Type::KORV << 0x03 << "abc" << false << "r" << Pairs() << QStringList();
    QTest::newRow("UTF-8 name") << block(0x03,
                                         field("Gr\xc3\xb6\xc3\x9f"
                                               "e"),
                                         field("r"))
                                << true << Type::KORV << 0x03
                                << QString::fromUtf8("Gr\xc3\xb6\xc3\x9f"
                                                     "e")
                                << false << "r" << Pairs() << QStringList();
    QTest::newRow("type without row")
        << block(0x51, field("n"), field("r")) << true << Type::unknown << 0x51 << "n" << false
        << "r" << Pairs() << QStringList();
    QTest::newRow("0x23 is not replaced")
        << block(0x23, field("n"), field("r")) << true << Type::unknown << 0x23 << "n" << false
        << "r" << Pairs() << QStringList();
    QTest::newRow("erased type") << block(0xFF, field("n"), field("r")) << true << Type::undefined
                                 << 0xFF << "n" << false << "r" << Pairs() << QStringList();

    QTest::newRow("one pair") << block(0x1E, field("n"), field("r"), {{field("k"), field("v")}})
                              << true << Type::SOVA << 0x1E << "n" << false << "r"
                              << Pairs({{"k", "v"}}) << QStringList();
    QTest::newRow("three pairs")
        << at_offset(0x200, block(0x1E, field("n"), field("r"),
                                  {{field("a"), field("1")},
                                   {field("b"), field("2")},
                                   {QByteArray(31, 'c') + '\0', QByteArray(31, '3') + '\0'}}))
        << true << Type::SOVA << 0x1E << "n" << false << "r"
        << Pairs({{"a", "1"}, {"b", "2"}, {QString(31, 'c'), QString(31, '3')}}) << QStringList();
    QTest::newRow("second of four pairs has an empty value")
        << block(0x8C, field("n"), field("r"),
                 {{field("a"), field("1")},
                  {field("b"), field("")},
                  {field("c"), field("3")},
                  {field("d"), field("4")}})
        << true << Type::WEXL << 0x8C << "n" << false << "r" << Pairs({{"a", "1"}})
        << QStringList();
    QTest::newRow("first key empty")
        << block(0x8C, field("n"), field("r"), {{field(""), field("1")}, {field("b"), field("2")}})
        << true << Type::WEXL << 0x8C << "n" << false << "r" << Pairs() << QStringList();
    QTest::newRow("second key without NUL")
        << block(0x8C, field("n"), field("r"),
                 {{field("a"), field("1")}, {QByteArray(32, 'k'), field("2")}})
        << true << Type::WEXL << 0x8C << "n" << false << "r" << Pairs({{"a", "1"}})
        << QStringList();

    QTest::newRow("first of two blocks")
        << at_offset(0, block(0x03, field("first"), field("1")) +
                            block(0x04, field("second"), field("2")))
        << true << Type::KORV << 0x03 << "first" << false << "1" << Pairs() << QStringList();
    QTest::newRow("block followed by data of another size")
        << plain_block + QByteArray(1, '\x12') << true << Type::DAVO << 0x04
        << "Lx-21 main firmware" << false << "2.4.1" << Pairs() << QStringList();
}

void TestFwInfo::decode() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    QFETCH(Type, type);
    QFETCH(int, raw_type);
    QFETCH(QString, name);
    QFETCH(bool, name_null);
    QFETCH(QString, revision);
    QFETCH(Pairs, details);
    QFETCH(QStringList, messages);

    MessageLog log;
    auto const info = Device::make_FW_Info(bytes);
    QCOMPARE(info.valid, valid);
    QCOMPARE(info.product.type, type);
    QCOMPARE(info.product.raw_type, raw_type);
    QCOMPARE(info.name, name);
    QCOMPARE(info.name.isNull(), name_null);
    QCOMPARE(info.revision, revision);
    QCOMPARE(details_of(info), details);
    QCOMPARE(log.texts(), messages);
    for (auto const& entry : log.entries())
        QCOMPARE(entry.first, QtDebugMsg);
    if (!valid) {
        QCOMPARE(info.product.extra1, std::uint8_t(0xFF));
        QVERIFY(info.revision.isNull());
    }
}

void TestFwInfo::get_string_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("pos");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("null");

    QByteArray const data = "xx" + field("hello") + "yy";
    QTest::newRow("field in the middle") << data << 2 << "hello" << false;
    QTest::newRow("31 bytes and NUL")
        << QByteArray(31, 'a') + '\0' << 0 << QString(31, 'a') << false;
    QTest::newRow("32 bytes without NUL") << QByteArray(32, 'a') + '\0' << 0 << QString() << true;
    QTest::newRow("first byte NUL") << QByteArray(32, '\0') << 0 << "" << false;
    QTest::newRow("NUL only at byte 31")
        << QByteArray(31, 'a') + '\0' + "bc" << 0 << QString(31, 'a') << false;
    QTest::newRow("short tail ends at the end") << QByteArray("abcdef") << 2 << "cdef" << false;
    QTest::newRow("short tail with NUL") << QByteArray("ab\0cd", 5) << 0 << "ab" << false;
    QTest::newRow("31-byte tail") << QByteArray(31, 'z') << 0 << QString(31, 'z') << false;
    QTest::newRow("one-byte tail") << QByteArray("abc") << 2 << "c" << false;
    QTest::newRow("pos at the end") << QByteArray("abc") << 3 << "" << false;
    QTest::newRow("pos beyond the end") << QByteArray("abc") << 40 << "" << false;
    QTest::newRow("empty data") << QByteArray() << 0 << "" << false;
    QTest::newRow("negative pos") << QByteArray("abc") << -1 << "" << false;
    QTest::newRow("invalid UTF-8") << QByteArray("a\xff"
                                                 "b")
                                   << 0
                                   << QString::fromUtf8("a\xff"
                                                        "b")
                                   << false;
}

void TestFwInfo::get_string() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, pos);
    QFETCH(QString, text);
    QFETCH(bool, null);

    QString const result = Device::get_string(bytes, pos);
    QCOMPARE(result, text);
    QCOMPARE(result.isNull(), null);
}

void TestFwInfo::local_strlen_data() {
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<int>("length");

    QTest::newRow("first byte NUL") << QByteArray("\0abcdefghijklmnopqrstuvwxyz01234", 32) << 0;
    QTest::newRow("NUL at 1") << field("a") << 1;
    QTest::newRow("NUL at 31") << QByteArray(31, 'a') + '\0' << 31;
    QTest::newRow("no NUL") << QByteArray(32, 'a') << -1;
    QTest::newRow("first of two NULs") << QByteArray("abc\0de\0", 7) + QByteArray(25, 'x') << 3;
}

void TestFwInfo::local_strlen() {
    QFETCH(QByteArray, field);
    QFETCH(int, length);
    QCOMPARE(field.size(), 32);
    // Copied, so that the sanitizers would see any read past the 32 bytes.
    std::unique_ptr<char[]> const copy(new char[32]);
    std::memcpy(copy.get(), field.constData(), 32);
    QCOMPARE(Device::local_strlen(copy.get()), length);
}

void TestFwInfo::text_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("invalid") << QByteArray() << "FW info:\n\tInvalid";
    QTest::newRow("no details") << plain_block
                                << "FW info:\n"
                                   "  Type: ProductInfo: DAVO (4)\n"
                                   "  Name: Lx-21 main firmware\n"
                                   "  Rev.: 2.4.1\n"
                                   "  Details:";
    QTest::newRow("one pair, unknown type")
        << block(0x51, field("n"), field("r"), {{field("Build date"), field("2026-10-14")}},
                 QByteArray::fromHex("01ffff"))
        << "FW info:\n"
           "  Type: ProductInfo: unknown (254) [51 01 ff ff]\n"
           "  Name: n\n"
           "  Rev.: r\n"
           "  Details:\n"
           "    Build date                     : 2026-10-14                     ";
    QTest::newRow("31-byte key and value, null name")
        << block(
               0x03, QByteArray(32, 'n'), field(""),
               {{QByteArray(31, 'k') + '\0', QByteArray(31, 'v') + '\0'}, {field("a"), field("b")}})
        << "FW info:\n"
           "  Type: ProductInfo: KORV (3)\n"
           "  Name: \n"
           "  Rev.: \n"
           "  Details:\n"
           "    " +
               QString(31, 'k') + ": " + QString(31, 'v') +
               "\n"
               "    a                              : b                              ";
}

void TestFwInfo::text() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);

    MessageLog log;
    auto const info = Device::make_FW_Info(bytes);
    QCOMPARE(QString(info), text);

    log.clear();
    qDebug() << info << QString("next");
    QCOMPARE(log.texts(), QStringList(text + " \"next\""));
}

// The image that the tool carries, whole and as the 2048 bytes uploaded from a unit.
void TestFwInfo::files() {
    QString const image = QStringLiteral(KELVORA_SOURCE_DIR "/software/resources/firmware.bin");
    auto const info = Device::make_FW_Info(image);
    QVERIFY(info.valid);
    QCOMPARE(info.product.type, Type::DAVO);
    QCOMPARE(info.product.product_name_full(), QString("Kelvora Lx-21"));
    QVERIFY(!info.name.isEmpty());
    QVERIFY(!info.revision.isEmpty());
    QVERIFY(!info.details.empty());

    QFile file(image);
    QVERIFY(file.open(QIODevice::ReadOnly));
    auto const uploaded = Device::make_FW_Info(file.read(2048));
    QCOMPARE(QString(uploaded), QString(info));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    auto const missing = Device::make_FW_Info(dir.filePath("uploaded_FW_info.bin"));
    QVERIFY(!missing.valid);
    QCOMPARE(QString(missing), QString("FW info:\n\tInvalid"));
}

QTEST_GUILESS_MAIN(TestFwInfo)
#include "tst_fw_info.moc"
