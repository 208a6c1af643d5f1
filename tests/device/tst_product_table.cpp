#include "device/product_table.h"
#include "message_log.h"

#include <QtTest>

#include <set>
#include <sstream>

using Device::Type;

Q_DECLARE_METATYPE(Device::Type)

class TestProductTable : public QObject {
    Q_OBJECT

private slots:
    void rows_data();
    void rows();
    void rows_are_unique();
    void to_Type_text_data();
    void to_Type_text();
    void bytes_without_row_data();
    void bytes_without_row();
    void validity_data();
    void validity();
    void product_info_data();
    void product_info();
    void equality_data();
    void equality();
    void stream_operators();
};

void TestProductTable::rows_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<Type>("type");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("code_name");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("name_full");

    QTest::newRow("invalid") << 0 << Type::invalid << "invalid"
                             << "Invalid"
                             << "N/A"
                             << "N/A";
    QTest::newRow("undefined") << 1 << Type::undefined << "undefined"
                               << "Undefined"
                               << "?"
                               << "?";
    QTest::newRow("KORV") << 2 << Type::KORV << "KORV"
                          << "Korvane"
                          << "Lx-20"
                          << "Lx-20 Skylink";
    QTest::newRow("DAVO") << 3 << Type::DAVO << "DAVO"
                          << "Davon"
                          << "Lx-21"
                          << "Kelvora Lx-21";
    QTest::newRow("FENK") << 4 << Type::FENK << "FENK"
                          << "Fenka"
                          << "M4"
                          << "M4 Skylink";
    QTest::newRow("M4I") << 5 << Type::M4I << "M4I"
                         << "M4i"
                         << "M4 Industrial"
                         << "M4 Industrial";
    QTest::newRow("NIRA") << 6 << Type::NIRA << "NIRA"
                          << "Nirad"
                          << "Q5X"
                          << "Kelvora Q5 & Q5X";
    QTest::newRow("SOVA") << 7 << Type::SOVA << "SOVA"
                          << "Sova"
                          << "Q50"
                          << "Kelvora Q50";
    QTest::newRow("WEXL") << 8 << Type::WEXL << "WEXL"
                          << "Wexlund"
                          << "T8 or T8X"
                          << "Kelvora T8X & T8 series";
    QTest::newRow("unknown") << 9 << Type::unknown << "unknown"
                             << "Unknown"
                             << "unknown"
                             << "unknown";
}

// Each row, looked up both ways: from its type byte and from its code.
void TestProductTable::rows() {
    QFETCH(int, row);
    QFETCH(Type, type);
    QFETCH(QString, code);
    QFETCH(QString, code_name);
    QFETCH(QString, name);
    QFETCH(QString, name_full);

    QCOMPARE(Device::products.size(), std::size_t(10));
    auto const& record = Device::products[static_cast<std::size_t>(row)];
    QCOMPARE(record.type, type);
    QCOMPARE(record.code, code);
    QCOMPARE(record.code_name, code_name);
    QCOMPARE(record.name, name);
    QCOMPARE(record.name_full, name_full);

    auto const by_type = Device::products.find(type);
    auto const by_byte = Device::products.find(static_cast<unsigned char>(type));
    auto const by_code = Device::products.find(code);
    QCOMPARE(by_type - Device::products.begin(), row);
    QCOMPARE(by_byte - Device::products.begin(), row);
    QCOMPARE(by_code - Device::products.begin(), row);

    QCOMPARE(Device::to_Type(static_cast<unsigned char>(type)), type);
    QCOMPARE(Device::to_Type(code), type);
    QCOMPARE(Device::to_QString(type), code);
    QCOMPARE(QString::fromStdString(Device::to_string(type)), code);

    auto const info = Device::make_ProductInfo({static_cast<std::uint8_t>(type), 0xFF, 0xFF, 0xFF});
    QCOMPARE(info.type, type);
    QCOMPARE(info.raw_type, static_cast<int>(type));
    QCOMPARE(info.product_name(), name);
    QCOMPARE(info.product_name_full(), name_full);
}

void TestProductTable::rows_are_unique() {
    std::set<Type> types;
    std::set<QString> codes;
    for (auto const& row : Device::products) {
        types.insert(row.type);
        codes.insert(row.code);
    }
    QCOMPARE(types.size(), Device::products.size());
    QCOMPARE(codes.size(), Device::products.size());
}

void TestProductTable::to_Type_text_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<Type>("type");

    QTest::newRow("empty string") << QString("") << Type::invalid;
    QTest::newRow("null string") << QString() << Type::invalid;
    QTest::newRow("lower-case code") << "korv" << Type::unknown;
    QTest::newRow("mixed-case code") << "Davo" << Type::unknown;
    QTest::newRow("code with blank") << "KORV " << Type::unknown;
    QTest::newRow("code name is no code") << "Korvane" << Type::unknown;
    QTest::newRow("generic unknown") << "unknown" << Type::unknown;
    QTest::newRow("generic invalid") << "invalid" << Type::invalid;
    QTest::newRow("generic undefined") << "undefined" << Type::undefined;
    QTest::newRow("three-letter code") << "M4I" << Type::M4I;
    QTest::newRow("impossible type text") << "impossible type" << Type::unknown;
}

void TestProductTable::to_Type_text() {
    QFETCH(QString, text);
    QFETCH(Type, type);
    QCOMPARE(Device::to_Type(text), type);
}

void TestProductTable::bytes_without_row_data() {
    QTest::addColumn<int>("byte");
    QTest::newRow("0x01") << 0x01;
    QTest::newRow("0x23, read as FENK only in OTP records") << 0x23;
    QTest::newRow("0x50") << 0x50;
    QTest::newRow("0x51") << 0x51;
    QTest::newRow("0xFD") << 0xFD;
}

void TestProductTable::bytes_without_row() {
    QFETCH(int, byte);
    auto const b = static_cast<unsigned char>(byte);
    QVERIFY(Device::products.find(b) == Device::products.end());
    QCOMPARE(Device::to_Type(b), Type::unknown);
    QCOMPARE(Device::to_QString(static_cast<Type>(b)), QString("impossible type"));
    QCOMPARE(Device::to_string(static_cast<Type>(b)), std::string("impossible type"));

    Device::ProductInfo info;
    info.type = static_cast<Type>(b);
    QCOMPARE(info.product_name(), QString());
    QCOMPARE(info.product_name_full(), QString());
}

void TestProductTable::validity_data() {
    QTest::addColumn<int>("byte");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("known");

    QTest::newRow("invalid") << 0x00 << false << false;
    QTest::newRow("undefined") << 0xFF << false << false;
    QTest::newRow("unknown") << 0xFE << true << false;
    QTest::newRow("KORV") << 0x03 << true << true;
    QTest::newRow("WEXL") << 0x8C << true << true;
    QTest::newRow("byte without row") << 0x50 << true << true;
}

void TestProductTable::validity() {
    QFETCH(int, byte);
    QFETCH(bool, valid);
    QFETCH(bool, known);
    QCOMPARE(Device::is_valid(static_cast<Type>(byte)), valid);
    QCOMPARE(Device::is_known(static_cast<Type>(byte)), known);
}

void TestProductTable::product_info_data() {
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<Type>("type");
    QTest::addColumn<int>("raw_type");
    QTest::addColumn<QString>("text");

    QTest::newRow("DAVO") << QByteArray("\x04\xff\xff\xff", 4) << Type::DAVO << 0x04
                          << "ProductInfo: DAVO (4)";
    QTest::newRow("no row") << QByteArray("\x51\xff\xff\xff", 4) << Type::unknown << 0x51
                            << "ProductInfo: unknown (254) [51 ff ff ff]";
    QTest::newRow("extra1 used") << QByteArray("\x03\x01\xff\xff", 4) << Type::KORV << 0x03
                                 << "ProductInfo: KORV (3) [03 01 ff ff]";
    QTest::newRow("extra3 used") << QByteArray("\x8c\xff\xff\x00", 4) << Type::WEXL << 0x8C
                                 << "ProductInfo: WEXL (140) [8c ff ff 00]";
    QTest::newRow("stored unknown") << QByteArray("\xfe\xff\xff\xff", 4) << Type::unknown << 0xFE
                                    << "ProductInfo: unknown (254) [fe ff ff ff]";
    QTest::newRow("stored invalid")
        << QByteArray("\x00\xff\xff\xff", 4) << Type::invalid << 0x00 << "ProductInfo: invalid (0)";
    QTest::newRow("erased") << QByteArray("\xff\xff\xff\xff", 4) << Type::undefined << 0xFF
                            << "ProductInfo: undefined (255)";
    QTest::newRow("three digits") << QByteArray("\x84\xab\xcd\xef", 4) << Type::NIRA << 0x84
                                  << "ProductInfo: NIRA (132) [84 ab cd ef]";
}

void TestProductTable::product_info() {
    QFETCH(QByteArray, raw);
    QFETCH(Type, type);
    QFETCH(int, raw_type);
    QFETCH(QString, text);

    auto const byte = [&raw](int i) { return static_cast<std::uint8_t>(raw[i]); };
    auto const info = Device::make_ProductInfo({byte(0), byte(1), byte(2), byte(3)});
    QCOMPARE(info.type, type);
    QCOMPARE(info.raw_type, raw_type);
    QCOMPARE(info.extra1, byte(1));
    QCOMPARE(info.extra2, byte(2));
    QCOMPARE(info.extra3, byte(3));
    QCOMPARE(QString(info), text);

    // The debug stream writes the text unquoted and quotes what follows again.
    MessageLog log;
    qDebug() << info << QString("next");
    qDebug().nospace() << info << QString("next");
    QCOMPARE(log.texts(), QStringList({text + " \"next\"", text + "\"next\""}));
}

void TestProductTable::equality_data() {
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<bool>("equal");

    QTest::newRow("same bytes") << QByteArray("\x03\xff\xff\xff", 4)
                                << QByteArray("\x03\xff\xff\xff", 4) << true;
    QTest::newRow("extra bytes differ")
        << QByteArray("\x03\x01\x02\x03", 4) << QByteArray("\x03\xff\xff\xff", 4) << true;
    QTest::newRow("types differ") << QByteArray("\x03\xff\xff\xff", 4)
                                  << QByteArray("\x04\xff\xff\xff", 4) << false;
    QTest::newRow("two bytes without row")
        << QByteArray("\x51\xff\xff\xff", 4) << QByteArray("\x52\xff\xff\xff", 4) << true;
    QTest::newRow("erased and invalid")
        << QByteArray("\xff\xff\xff\xff", 4) << QByteArray("\x00\xff\xff\xff", 4) << false;
}

void TestProductTable::equality() {
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(bool, equal);
    auto const make = [](QByteArray const& raw) {
        auto const byte = [&raw](int i) { return static_cast<std::uint8_t>(raw[i]); };
        return Device::make_ProductInfo({byte(0), byte(1), byte(2), byte(3)});
    };
    QCOMPARE(make(a) == make(b), equal);
    QCOMPARE(make(a) != make(b), !equal);
}

void TestProductTable::stream_operators() {
    std::ostringstream os;
    os << std::hex << std::showbase << Type::WEXL << ' ' << Type(0x50) << ' ' << 255;
    QCOMPARE(os.str(), std::string("WEXL impossible type 0xff"));

    MessageLog log;
    qDebug() << Type::KORV << QString("next");
    qDebug() << Device::Type(0x50);
    QCOMPARE(log.texts(), QStringList({"KORV \"next\"", "impossible type"}));

    Device::ProductInfo const none;
    QCOMPARE(QString(none), QString("ProductInfo: invalid (0)"));
    QCOMPARE(none.raw_type, 0);
}

QTEST_GUILESS_MAIN(TestProductTable)
#include "tst_product_table.moc"
