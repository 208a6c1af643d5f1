#include "device/otp_info.h"
#include "message_log.h"

#include <QTemporaryDir>
#include <QtTest>

using Device::Type;

Q_DECLARE_METATYPE(Device::Type)

namespace {

QByteArray erased_area(int size = 512) {
    return QByteArray(size, '\xff');
}

// A 16-byte record: marker, type code, three extra bytes, eight data bytes.
QByteArray record(int type_code, QByteArray extra = QByteArray(3, '\xff'),
                  QByteArray data = QByteArray::fromHex("0102030405060708")) {
    return QByteArray::fromHex("11472301") + char(type_code) + extra + data;
}

QByteArray with_record_at(QByteArray area, int offset, QByteArray const& rec) {
    area.replace(offset, rec.size(), rec);
    return area;
}

QString const not_used = QStringLiteral("Device not used, has invalid info in its OTP info.");
QString const unknown = QStringLiteral("Unknown device type according to OTP info, ");

} // namespace

class TestOtpInfo : public QObject {
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void every_slot_data();
    void every_slot();
    void text_data();
    void text();
    void files();
};

void TestOtpInfo::decode_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Type>("type");
    QTest::addColumn<int>("raw_type");
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("blank");
    QTest::addColumn<QStringList>("messages");

    QByteArray const none_extra = QByteArray(3, '\xff');
    QByteArray const zero_data = QByteArray(8, '\0');
    QByteArray const rec_data = QByteArray::fromHex("0102030405060708");
    QByteArray const area = erased_area();

    QTest::newRow("empty input") << QByteArray() << Type::invalid << 0 << none_extra << zero_data
                                 << false << true << QStringList();
    QTest::newRow("erased area") << area << Type::invalid << 0 << none_extra << zero_data << false
                                 << true << QStringList();
    QTest::newRow("one erased byte") << erased_area(1) << Type::invalid << 0 << none_extra
                                     << zero_data << false << true << QStringList();
    QTest::newRow("zeroed area, no marker")
        << QByteArray(512, '\0') << Type::invalid << 0 << none_extra << zero_data << false << false
        << QStringList();
    QTest::newRow("one byte written, no marker")
        << with_record_at(area, 100, "\x11") << Type::invalid << 0 << none_extra << zero_data
        << false << false << QStringList();

    QTest::newRow("KORV at 0") << with_record_at(area, 0, record(0x03)) << Type::KORV << 0x03
                               << none_extra << rec_data << true << false << QStringList();
    QTest::newRow("extra bytes kept")
        << with_record_at(area, 0, record(0x04, QByteArray::fromHex("010203"))) << Type::DAVO
        << 0x04 << QByteArray::fromHex("010203") << rec_data << true << false << QStringList();
    QTest::newRow("superseded by slot 16")
        << with_record_at(with_record_at(area, 0, record(0x03)), 16, record(0x8C)) << Type::WEXL
        << 0x8C << none_extra << rec_data << true << false << QStringList();
    QTest::newRow("newest invalid record supersedes a good one")
        << with_record_at(with_record_at(area, 0, record(0x03)), 32, record(0x00)) << Type::invalid
        << 0x00 << none_extra << rec_data << false << false << QStringList(not_used);
    QTest::newRow("last slot 496") << with_record_at(area, 496, record(0x1E)) << Type::SOVA << 0x1E
                                   << none_extra << rec_data << true << false << QStringList();
    QTest::newRow("marker at 500")
        << with_record_at(area, 500, QByteArray::fromHex("1147230103")) << Type::invalid << 0
        << none_extra << zero_data << false << false << QStringList();
    QTest::newRow("misaligned marker at 20")
        << with_record_at(area, 20, record(0x03)) << Type::invalid << 0 << none_extra << zero_data
        << false << false << QStringList();
    QTest::newRow("data of the newest record hold the marker")
        << with_record_at(
               with_record_at(area, 0, record(0x03)), 16,
               record(0x04, QByteArray(3, '\xff'), QByteArray::fromHex("1147230100000000")))
        << Type::invalid << 0 << none_extra << zero_data << false << false << QStringList();
    QTest::newRow("slot 512 of a longer input")
        << with_record_at(erased_area(1024), 512, record(0x03)) << Type::invalid << 0 << none_extra
        << zero_data << false << false << QStringList();
    QTest::newRow("slot 496 of a longer input")
        << with_record_at(erased_area(1024), 496, record(0x03)) << Type::KORV << 0x03 << none_extra
        << rec_data << true << false << QStringList();

    QTest::newRow("0x23 read as FENK")
        << with_record_at(area, 0, record(0x23)) << Type::FENK << 0x2B << none_extra << rec_data
        << true << false << QStringList();
    QTest::newRow("0x2B stored") << with_record_at(area, 0, record(0x2B)) << Type::FENK << 0x2B
                                 << none_extra << rec_data << true << false << QStringList();

    QTest::newRow("type 0x00") << with_record_at(area, 0, record(0x00)) << Type::invalid << 0x00
                               << none_extra << rec_data << false << false << QStringList(not_used);
    QTest::newRow("type 0xFF") << with_record_at(area, 0, record(0xFF)) << Type::undefined << 0xFF
                               << none_extra << rec_data << false << false << QStringList(not_used);
    QTest::newRow("type without row")
        << with_record_at(area, 0, record(0x51)) << Type::invalid << 0x51 << none_extra << rec_data
        << false << false << QStringList(unknown + "ProductInfo: unknown (254) [51 ff ff ff]");
    QTest::newRow("type 0xFE") << with_record_at(area, 0,
                                                 record(0xFE, QByteArray::fromHex("00ff01")))
                               << Type::invalid << 0xFE << QByteArray::fromHex("00ff01") << rec_data
                               << false << false
                               << QStringList(unknown + "ProductInfo: unknown (254) [fe 00 ff 01]");

    // Inputs shorter than the area: the bytes missing behind the last marker read as erased.
    QTest::newRow("exactly one record") << record(0x84) << Type::NIRA << 0x84 << none_extra
                                        << rec_data << true << false << QStringList();
    QTest::newRow("marker only") << QByteArray::fromHex("11472301") << Type::undefined << 0xFF
                                 << none_extra << QByteArray(8, '\xff') << false << false
                                 << QStringList(not_used);
    QTest::newRow("record cut after the type")
        << QByteArray::fromHex("1147230103") << Type::KORV << 0x03 << none_extra
        << QByteArray(8, '\xff') << true << false << QStringList();
    QTest::newRow("record cut in the data")
        << record(0x03, QByteArray::fromHex("010203")).left(11) << Type::KORV << 0x03
        << QByteArray::fromHex("010203") << QByteArray::fromHex("010203ffffffffff") << true << false
        << QStringList();
    QTest::newRow("second record cut short")
        << (record(0x03) + record(0x8C).left(6)) << Type::WEXL << 0x8C
        << QByteArray::fromHex("ffffff") << QByteArray(8, '\xff') << true << false << QStringList();
}

void TestOtpInfo::decode() {
    QFETCH(QByteArray, bytes);
    QFETCH(Type, type);
    QFETCH(int, raw_type);
    QFETCH(QByteArray, extra);
    QFETCH(QByteArray, data);
    QFETCH(bool, valid);
    QFETCH(bool, blank);
    QFETCH(QStringList, messages);

    MessageLog log;
    Device::OTP_Info const info = Device::make_OTP_Info(bytes);
    QCOMPARE(info.product.type, type);
    QCOMPARE(info.product.raw_type, raw_type);
    QCOMPARE(info.product.extra1, std::uint8_t(extra[0]));
    QCOMPARE(info.product.extra2, std::uint8_t(extra[1]));
    QCOMPARE(info.product.extra3, std::uint8_t(extra[2]));
    QCOMPARE(QByteArray(reinterpret_cast<char const*>(info.data.data()), 8), data);
    QCOMPARE(info.valid, valid);
    QCOMPARE(info.blank, blank);
    QCOMPARE(log.texts(), messages);
    for (auto const& entry : log.entries())
        QCOMPARE(entry.first, QtInfoMsg);
}

void TestOtpInfo::every_slot_data() {
    QTest::addColumn<int>("offset");
    for (int offset = 0; offset < 512; offset += 16)
        QTest::newRow(qPrintable(QString("slot at %1").arg(offset))) << offset;
}

// A record in any slot is found, and supersedes a different record in every earlier slot.
void TestOtpInfo::every_slot() {
    QFETCH(int, offset);
    QByteArray area = erased_area();
    for (int earlier = 0; earlier < offset; earlier += 16)
        area = with_record_at(area, earlier, record(0x03));
    area = with_record_at(area, offset, record(0x0B, QByteArray::fromHex("ff01ff")));

    auto const info = Device::make_OTP_Info(area);
    QVERIFY(info.valid);
    QVERIFY(!info.blank);
    QCOMPARE(info.product.type, Type::M4I);
    QCOMPARE(info.product.extra2, std::uint8_t(0x01));
    QCOMPARE(info.product_name(), QString("M4 Industrial"));
}

void TestOtpInfo::text_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QByteArray const area = erased_area();
    QTest::newRow("KORV") << with_record_at(area, 0, record(0x03))
                          << "OTP info:\nMarker valid\nProduct: ProductInfo: KORV (3)\n";
    QTest::newRow("blank") << area
                           << "OTP info:\nMarker invalid\nProduct: ProductInfo: invalid (0)\n";
    QTest::newRow("0x23 without extra bytes")
        << with_record_at(area, 0, record(0x23))
        << "OTP info:\nMarker valid\nProduct: ProductInfo: FENK (43)\n";
    QTest::newRow("0x23 with an extra byte")
        << with_record_at(area, 0, record(0x23, QByteArray::fromHex("ffff07")))
        << "OTP info:\nMarker valid\nProduct: ProductInfo: FENK (43) [2b ff ff 07]\n";
    QTest::newRow("type without row, rejected")
        << with_record_at(area, 0, record(0x51))
        << "OTP info:\nMarker invalid\nProduct: ProductInfo: invalid (0)\n";
    QTest::newRow("erased type")
        << with_record_at(area, 0, record(0xFF))
        << "OTP info:\nMarker invalid\nProduct: ProductInfo: undefined (255)\n";
}

void TestOtpInfo::text() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);

    MessageLog log;
    auto const info = Device::make_OTP_Info(bytes);
    QCOMPARE(QString(info), text);

    log.clear();
    qDebug() << info << QString("next");
    QCOMPARE(log.texts(), QStringList(text + " \"next\""));
}

void TestOtpInfo::files() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    auto const missing = Device::make_OTP_Info(dir.filePath("uploaded_OTP.bin"));
    QVERIFY(!missing.blank);
    QVERIFY(!missing.valid);
    QCOMPARE(missing.product.type, Type::invalid);

    auto const write = [&dir](QString const& name, QByteArray const& bytes) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return QString();
        return file.fileName();
    };

    QString const empty = write("empty.bin", QByteArray());
    QVERIFY(!empty.isEmpty());
    QVERIFY(Device::make_OTP_Info(empty).blank);

    QString const used =
        write("used.bin",
              with_record_at(with_record_at(erased_area(), 0, record(0x03)), 16, record(0x8C)));
    QVERIFY(!used.isEmpty());
    auto const info = Device::make_OTP_Info(used);
    QVERIFY(info.valid);
    QCOMPARE(info.product.type, Type::WEXL);
    QCOMPARE(info.product_name(), QString("T8 or T8X"));
}

QTEST_GUILESS_MAIN(TestOtpInfo)
#include "tst_otp_info.moc"
