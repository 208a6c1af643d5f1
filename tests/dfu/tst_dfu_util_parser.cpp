#include "dfu/command.h"
#include "dfu/device_scan.h"
#include "dfu/dfu_util_parser.h"
#include "message_log.h"

#include <QFile>
#include <QFileInfo>
#include <QtTest>

Q_DECLARE_METATYPE(DfuUtilParser::Status)

namespace {

QString fixture(QString const& name) {
    QFile file(QStringLiteral(KELVORA_SOURCE_DIR "/tests/dfu/data/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return QString::fromUtf8(file.readAll());
}

// A device line as dfu-util prints it, for one alternate setting of a unit.
QString line(QString const& serial, int alt = 0,
             QString const& head = "Found DFU: [0483:df11] ver=2200") {
    return QStringLiteral("%1, devnum=5, cfg=1, intf=0, path=\"1-3\", alt=%2, "
                          "name=\"@Internal Flash  /0x08000000/04*016Kg\", serial=\"%3\"\n")
        .arg(head)
        .arg(alt)
        .arg(serial);
}

QString lines(QString const& serial, int count) {
    QString text;
    for (int alt = count - 1; alt >= 0; --alt)
        text += line(serial, alt);
    return text;
}

// The four device lines of a unit on another port.
QString unit_at(QString const& path, QString const& serial) {
    return lines(serial, 4).replace("path=\"1-3\"", "path=\"" + path + "\"");
}

// What the parser made of a port: path, serials, device lines and what it distrusts.
QString described(DfuUtilParser::ListedUnit const& unit) {
    return QStringLiteral("%1 %2 %3%4%5")
        .arg(unit.path, unit.serials.join('|'))
        .arg(unit.lines)
        .arg(unit.unreadable ? " unreadable" : "", unit.ambiguous() ? " ambiguous" : "");
}

// How the parser logs a line: in double quotes, control characters as \xNN.
QString quoted(QString const& text) {
    return '"' + text + '"';
}

QStringList serials_of(DFU::ScanResult const& result) {
    QStringList list;
    for (auto const& item : result.second)
        list << item.serial;
    return list;
}

} // namespace

class TestDfuUtilParser : public QObject {
    Q_OBJECT

private slots:
    void open_refusal_data();
    void open_refusal();
    void init();
    void cleanup();
    void patterns();
    void parse_data();
    void parse();
    void units_by_port_data();
    void units_by_port();
    void status_texts_data();
    void status_texts();
    void make_scan_with_fake_listing_data();
    void make_scan_with_fake_listing();
    void make_scan_with_nothing_attached();

private:
    DFU::Command saved_list_;
};

void TestDfuUtilParser::init() {
    saved_list_ = DFU::commands[DFU::list];
}

void TestDfuUtilParser::cleanup() {
    DFU::commands[DFU::list] = saved_list_;
}

void TestDfuUtilParser::patterns() {
    QCOMPARE(DfuUtilParser::prefix_RE, QString("^Found DFU: \\[0483:df11\\] ver=2200"));
    QCOMPARE(DfuUtilParser::prefix_RE.size(), 34);
    QCOMPARE(DfuUtilParser::extract_serial_RE, QString("serial=\\\"([0-9a-fA-F]+)\\\""));
    QCOMPARE(DfuUtilParser::extract_serial_RE.size(), 25);
}

void TestDfuUtilParser::parse_data() {
    QTest::addColumn<QString>("listing");
    QTest::addColumn<DfuUtilParser::Status>("status");
    QTest::addColumn<QStringList>("serials");
    QTest::addColumn<int>("device_count");
    QTest::addColumn<int>("scan_status");
    QTest::addColumn<QStringList>("messages");

    QString const a = QStringLiteral("387838933234");
    QString const b = QStringLiteral("205F32A85841");
    QString const banner = fixture("banner_only_0.11.txt");

    QTest::newRow("empty listing")
        << QString() << DfuUtilParser::no_dfu_device << QStringList() << 0 << 1 << QStringList();
    QTest::newRow("banner only") << banner << DfuUtilParser::no_dfu_device << QStringList() << 0
                                 << 1 << QStringList();
    QTest::newRow("STM32F4 in its ROM bootloader")
        << fixture("stm32f4_one_unit.txt") << DfuUtilParser::one_dfu_device << QStringList(a) << 1
        << 0 << QStringList();
    QTest::newRow("two STM32F4 units")
        << fixture("stm32f4_two_units.txt") << DfuUtilParser::multiple_dfu_devices
        << QStringList({a, b}) << 2 << 1 << QStringList();
    QTest::newRow("unit without readable serial")
        << fixture("stm32f4_no_serial.txt") << DfuUtilParser::no_dfu_device << QStringList() << 0
        << 1 << QStringList(quoted(fixture("stm32f4_no_serial.txt").section('\n', 7, 7)));
    QTest::newRow("carriage-return line ends")
        << fixture("stm32f4_one_unit.txt").replace("\n", "\r\n") << DfuUtilParser::one_dfu_device
        << QStringList(a) << 1 << 0 << QStringList();
    QTest::newRow("no final line feed")
        << fixture("stm32f4_one_unit.txt").chopped(1) << DfuUtilParser::one_dfu_device
        << QStringList(a) << 1 << 0 << QStringList();
    QTest::newRow("three lines") << lines(a, 3) << DfuUtilParser::invalid_dfu_device
                                 << QStringList(a) << 1 << 1 << QStringList();
    QTest::newRow("five lines") << lines(a, 5) << DfuUtilParser::invalid_dfu_device
                                << QStringList(a) << 1 << 1 << QStringList();
    QTest::newRow("one line") << line(a) << DfuUtilParser::invalid_dfu_device << QStringList(a) << 1
                              << 1 << QStringList();
    QTest::newRow("alternating units")
        << line(a, 3) + line(b, 3) + line(a, 2) << DfuUtilParser::multiple_dfu_devices
        << QStringList({a, b, a}) << 3 << 1 << QStringList();
    QTest::newRow("serials differing in case")
        << lines("abc123", 2) + lines("ABC123", 2) << DfuUtilParser::multiple_dfu_devices
        << QStringList({"abc123", "ABC123"}) << 2 << 1 << QStringList();
    QTest::newRow("other device release")
        << line(a, 0, "Found DFU: [0483:df11] ver=2100") << DfuUtilParser::no_dfu_device
        << QStringList() << 0 << 1 << QStringList();
    QTest::newRow("other vendor") << line(a, 0, "Found DFU: [1d50:df11] ver=2200")
                                  << DfuUtilParser::no_dfu_device << QStringList() << 0 << 1
                                  << QStringList();
    QTest::newRow("other product")
        << line(a, 0, "Found DFU: [0483:df12] ver=2200") << DfuUtilParser::no_dfu_device
        << QStringList() << 0 << 1 << QStringList();
    QTest::newRow("run-time interface")
        << line(a, 0, "Found Runtime: [0483:df11] ver=2200") << DfuUtilParser::no_dfu_device
        << QStringList() << 0 << 1 << QStringList();
    QTest::newRow("leading blanks")
        << ("  " + lines(a, 4).replace("\nFound", "\n  Found")) << DfuUtilParser::no_dfu_device
        << QStringList() << 0 << 1 << QStringList();
    QTest::newRow("ignored lines between device lines")
        << line(a, 3) + "Deducing device DFU version from functional descriptor length\n" +
               line(a, 2) + line(a, 0, "Found DFU: [0483:df11] ver=2100") + line(a, 1) + line(a, 0)
        << DfuUtilParser::one_dfu_device << QStringList(a) << 1 << 0 << QStringList();

    QString const no_serial = line("", 1).trimmed();
    QTest::newRow("empty serial after two good lines")
        << line(a, 3) + line(a, 2) + no_serial + "\n" + line(a, 0) << DfuUtilParser::no_dfu_device
        << QStringList(a) << 0 << 1 << QStringList(quoted(no_serial));
    QString const no_field = QStringLiteral("Found DFU: [0483:df11] ver=2200, devnum=5, alt=0");
    QTest::newRow("no serial field")
        << no_field + "\n" + lines(a, 4) << DfuUtilParser::multiple_dfu_devices << QStringList(a)
        << 0 << 1 << QStringList(quoted(no_field));
    QString const not_hex = line("12G4").trimmed();
    QTest::newRow("serial with a non-hex digit")
        << line(b, 1) + not_hex << DfuUtilParser::no_dfu_device << QStringList(b) << 0 << 1
        << QStringList(quoted(not_hex));
    QString const unknown = unit_at("1-1", "UNKNOWN");
    QTest::newRow("unit without readable serial before another")
        << unknown + unit_at("1-2", a) << DfuUtilParser::multiple_dfu_devices << QStringList(a) << 0
        << 1 << QStringList(quoted(unknown.section('\n', 0, 0)));
    // A unit names its alternate settings: a terminal sequence there reaches no terminal.
    QString const escape_in_name = line("12G4").trimmed().replace("@Internal", "\x1b]0;x\x07");
    QTest::newRow("terminal sequence in a line that is logged")
        << escape_in_name << DfuUtilParser::no_dfu_device << QStringList() << 0 << 1
        << QStringList(quoted(QString(escape_in_name).replace("\x1b]0;x\x07", R"(\x1B]0;x\x07)")));
}

void TestDfuUtilParser::parse() {
    QFETCH(QString, listing);
    QFETCH(DfuUtilParser::Status, status);
    QFETCH(QStringList, serials);
    QFETCH(int, device_count);
    QFETCH(int, scan_status);
    QFETCH(QStringList, messages);

    MessageLog log;
    DfuUtilParser const parser(listing);
    QCOMPARE(parser.status, status);
    QCOMPARE(parser.serials, serials);
    QCOMPARE(parser.device_count, device_count);
    QCOMPARE(log.texts(), messages);
    for (auto const& entry : log.entries())
        QCOMPARE(entry.first, QtDebugMsg);

    auto const result = DFU::scan_for_devices(listing);
    QCOMPARE(result.first, scan_status);
    QCOMPARE(serials_of(result), serials);
}

void TestDfuUtilParser::units_by_port_data() {
    QTest::addColumn<QString>("listing");
    QTest::addColumn<QStringList>("units");
    QTest::addColumn<DfuUtilParser::Status>("status");

    QString const a = QStringLiteral("387838933234");
    QString const b = QStringLiteral("205F32A85841");
    QString const forged_line = unit_at("1-1", "DEAD").section('\n', 0, 0);
    QTest::newRow("one serial on two ports")
        << unit_at("1-3", a) + unit_at("1-4.2", a)
        << QStringList{"1-3 " + a + " 4", "1-4.2 " + a + " 4"} << DfuUtilParser::invalid_dfu_device;
    for (QString const serial : {"UNKNOWN", "STM32FxSTM32", ""})
        QTest::newRow(qPrintable("serial \"" + serial + "\" between two units"))
            << unit_at("1-1", a) + unit_at("1-2", serial) + unit_at("1-3", b)
            << QStringList{"1-1 " + a + " 4", "1-2 " + serial + " 4", "1-3 " + b + " 4"}
            << DfuUtilParser::multiple_dfu_devices;
    QTest::newRow("serial \"UNKNOWN\" alone")
        << unit_at("1-2", "UNKNOWN") << QStringList{"1-2 UNKNOWN 4"}
        << DfuUtilParser::no_dfu_device;
    QTest::newRow("quote in the serial")
        << unit_at("1-1", "AB\"CD") + unit_at("1-2", b)
        << QStringList{"1-1 AB\"CD 4 unreadable", "1-2 " + b + " 4"}
        << DfuUtilParser::multiple_dfu_devices;
    QTest::newRow("escape in the serial")
        << unit_at("1-1", "AB\x1b[2J") << QStringList{"1-1 AB\x1b[2J 4 unreadable"}
        << DfuUtilParser::no_dfu_device;
    QTest::newRow("line feed in the serial")
        << unit_at("1-1", "AB\nCD") << QStringList{"1-1 AB 4 unreadable"}
        << DfuUtilParser::no_dfu_device;
    // The unit on 1-2 ends its serial with a quote and a device line of its own making.
    QTest::newRow("device line forged in a serial")
        << unit_at("1-1", a) + unit_at("1-2", b + "\"\n" + forged_line.chopped(1))
        << QStringList{"1-1 " + a + "|DEAD 8 ambiguous", "1-2 " + b + " 4 ambiguous"}
        << DfuUtilParser::multiple_dfu_devices;
    QTest::newRow("serial forged in a name")
        << unit_at("1-1", a).replace("@Internal", "x\", serial=\"DEAD")
        << QStringList{"1-1 " + a + " 4 unreadable"} << DfuUtilParser::no_dfu_device;
}

// Every unit the bus holds is listed by its port, whatever its serial.
void TestDfuUtilParser::units_by_port() {
    QFETCH(QString, listing);
    QFETCH(QStringList, units);
    QFETCH(DfuUtilParser::Status, status);

    MessageLog log;
    DfuUtilParser const parser(listing);
    QStringList seen;
    for (auto const& unit : parser.units)
        seen << described(unit);
    QCOMPARE(seen, units);
    QCOMPARE(parser.status, status);
}

void TestDfuUtilParser::status_texts_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "no_dfu_device";
    QTest::newRow("1") << 1 << "one_dfu_device";
    QTest::newRow("2") << 2 << "invalid_dfu_device";
    QTest::newRow("3") << 3 << "multiple_dfu_devices";
    QTest::newRow("4") << 4 << "";
    QTest::newRow("-1") << -1 << "";
}

void TestDfuUtilParser::status_texts() {
    QFETCH(int, value);
    QFETCH(QString, text);
    DfuUtilParser parser(QString{});
    parser.status = static_cast<DfuUtilParser::Status>(value);
    QCOMPARE(parser.status_as_string(), text);
    QCOMPARE(parser.status_as_string(), text); // asking again changes nothing
}

void TestDfuUtilParser::make_scan_with_fake_listing_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("scan_status");
    QTest::addColumn<QStringList>("serials");

    QString const listing = fixture("stm32f4_one_unit.txt");
    QTest::newRow("listing with exit code 0")
        << QStringList({"exit", "0", listing}) << 0 << QStringList("387838933234");
    QTest::newRow("good lines, exit code 74")
        << QStringList({"exit", "74", listing}) << 1 << QStringList();
    QTest::newRow("listing of two units")
        << QStringList({"exit", "0", fixture("stm32f4_two_units.txt")}) << 1
        << QStringList({"387838933234", "205F32A85841"});
    QTest::newRow("crashed listing") << QStringList({"crash"}) << 1 << QStringList();
}

void TestDfuUtilParser::make_scan_with_fake_listing() {
    QFETCH(QStringList, arguments);
    QFETCH(int, scan_status);
    QFETCH(QStringList, serials);

    DFU::commands[DFU::list] = {QStringLiteral(KELVORA_TEST_HELPERS_DIR "/fake_child"), arguments};
    auto const result = DFU::make_scan();
    QCOMPARE(result.first, scan_status);
    QCOMPARE(serials_of(result), serials);
}

// The real dfu-util of this machine, with no unit attached: banner only, exit code 0.
void TestDfuUtilParser::make_scan_with_nothing_attached() {
    QString const dfu_util = QStringLiteral("/usr/bin/dfu-util");
    if (!QFileInfo(dfu_util).isExecutable())
        QSKIP("dfu-util is not installed");
    DFU::commands[DFU::list].program = dfu_util;

    auto const listing = DFU::run_command(DFU::list);
    QCOMPARE(listing.first, 0);
    QVERIFY2(listing.second.startsWith("dfu-util "), qPrintable(listing.second));
    if (listing.second.contains("Found DFU"))
        QSKIP("a DFU unit is attached to this machine");

    auto const result = DFU::make_scan();
    QCOMPARE(result.first, 1);
    QVERIFY(result.second.empty());
    QCOMPARE(DfuUtilParser(listing.second).status, DfuUtilParser::no_dfu_device);
}

void TestDfuUtilParser::open_refusal_data() {
    QTest::addColumn<QString>("error_output");
    QTest::addColumn<QString>("reason");
    QString const head = "dfu-util: Cannot open DFU device 0483:df11 found on devnum 3 ";
    QString const suffix_warning = "dfu-util: Non-valid multiplier ' ', assuming bytes\n";
    QTest::newRow("nothing") << ""
                             << "";
    QTest::newRow("other warnings only") << suffix_warning << "";
    QTest::newRow("no permission") << head + "(LIBUSB_ERROR_ACCESS)\n"
                                   << "LIBUSB_ERROR_ACCESS";
    QTest::newRow("busy") << suffix_warning + head + "(LIBUSB_ERROR_BUSY)\n"
                          << "LIBUSB_ERROR_BUSY";
    QTest::newRow("the first of two")
        << head + "(LIBUSB_ERROR_TIMEOUT)\n" + head + "(LIBUSB_ERROR_ACCESS)\n"
        << "LIBUSB_ERROR_TIMEOUT";
    QTest::newRow("another vendor's unit")
        << "dfu-util: Cannot open DFU device 1d50:6017 found on devnum 3 (LIBUSB_ERROR_ACCESS)\n"
        << "";
    QTest::newRow("no closing bracket") << head + "(LIBUSB_ERROR_ACCESS\n"
                                        << "";
    QTest::newRow("carriage return line ends") << head + "(LIBUSB_ERROR_ACCESS)\r\n"
                                               << "LIBUSB_ERROR_ACCESS";
}

void TestDfuUtilParser::open_refusal() {
    QFETCH(QString, error_output);
    QFETCH(QString, reason);
    QCOMPARE(DFU::open_refusal(error_output), reason);
    // The bench lists every refusal with its devnum, this one first.
    QCOMPARE(DFU::open_refusals(error_output).value(0).devnum,
             QString(reason.isEmpty() ? "" : "3"));
}

QTEST_GUILESS_MAIN(TestDfuUtilParser)
#include "tst_dfu_util_parser.moc"
