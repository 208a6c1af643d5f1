// What the bench makes of its command line, which units it takes, and its JSON lines: pure
// functions, without starting the program.
#include "flash/bench_listing.h"
#include "flash/bench_options.h"
#include "flash/reporter.h"

#include <QtTest>

class TestBenchOptions : public QObject {
    Q_OBJECT
private slots:
    void options_data();
    void options();
    void selection_data();
    void selection();
    void json_line();
};

void TestBenchOptions::options_data() {
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("taken"); // "every unit", "named units" or the usage error
    QTest::newRow("upgrade --all") << "upgrade --all"
                                   << "every unit";
    QTest::newRow("upgrade units and --all") << "upgrade 1-1 --all"
                                             << "upgrade needs either units or --all";
    QTest::newRow("check --all") << "check --all --json"
                                 << "every unit";
    QTest::newRow("check without units") << "check"
                                         << "every unit";
    QTest::newRow("check units") << "check 1-2 serial=AB"
                                 << "named units";
    QTest::newRow("check units and --all") << "check 1-2 --all"
                                           << "check takes either units or --all";
    QTest::newRow("list --all") << "list --all"
                                << "list takes no units";
}

void TestBenchOptions::options() {
    QFETCH(QString, arguments);
    QFETCH(QString, taken);
    Flash::BenchOptions const options = Flash::parse_bench_options(arguments.split(' '));
    QCOMPARE(options.error.isEmpty() ? options.every_unit() ? "every unit" : "named units"
                                     : options.error,
             taken);
}

void TestBenchOptions::selection_data() {
    QTest::addColumn<QString>("names");
    QTest::addColumn<QString>("taken"); // ports, "not found:" names, or "ambiguous:" the name
    QTest::newRow("port and serial in another case, one unit twice") << "1-3 serial=abcd 1-1"
                                                                     << "1-3 1-1";
    QTest::newRow("a serial that two units show") << "1-3 serial=1111"
                                                  << "ambiguous: serial=1111";
    QTest::newRow("not on the bus, a serial is no port") << "1-9 1111 1-2"
                                                         << "1-2 not found: 1-9 1111";
    QTest::newRow("a serial that is not hex digits names no unit")
        << "serial=UNKNOWN 1-4"
        << "1-4 not found: serial=UNKNOWN";
    QTest::newRow("a serial forged onto a port selects the port") << "serial=dead"
                                                                  << "1-5";
}

// A serial is taken only when exactly one unit shows it; the bench never guesses.
void TestBenchOptions::selection() {
    QFETCH(QString, names);
    QFETCH(QString, taken);
    Flash::Listing listing;
    listing.units = {{"1-1", "1111", {"1111"}, {}, {}},
                     {"1-2", "1111", {"1111"}, {}, {}},
                     {"1-3", "ABCD", {"ABCD"}, {}, {}},
                     {"1-4", "UNKNOWN", {"UNKNOWN"}, {}, {}},
                     {"1-5", "2222", {"2222", "DEAD"}, "two serials", {}}};
    Flash::Selection const selection = Flash::select_units(listing, names.split(' '));
    QStringList seen;
    for (Flash::ListedUnit const& unit : selection.units)
        seen << unit.port;
    if (!selection.not_found.isEmpty())
        seen << "not found: " + selection.not_found.join(' ');
    QCOMPARE(selection.ambiguous.isEmpty() ? seen.join(' ') : "ambiguous: " + selection.ambiguous,
             taken);
}

// Keys in a fixed order, texts in JSON's own escaping, whatever a unit reports.
void TestBenchOptions::json_line() {
    Flash::Event event;
    event.unit = "1-4";
    event.serial = QString("4\"4\\\u0001");
    event.kind = Flash::Event::failed;
    event.reason = "check interrupted";
    QByteArray const head = "{\"unit\":\"1-4\",\"serial\":\"4\\\"4\\\\\\u0001\",\"event\":";
    QCOMPARE(Flash::Reporter::json_line(event),
             head + "\"failed\",\"reason\":\"check interrupted\"}\n");
    event.kind = Flash::Event::found;
    event.reason.clear();
    event.product = "Lx-21";
    QCOMPARE(Flash::Reporter::json_line(event),
             head +
                 "\"found\",\"product\":\"Lx-21\",\"revision\":\"\",\"carried_for_it\":false}\n");
}

QTEST_GUILESS_MAIN(TestBenchOptions)
#include "tst_bench_options.moc"
