// dfu-util's progress bars as they arrive through a pipe: captured output of the real
// dfu-util 0.11 against a virtual unit, cut into pieces of every size, and hand-made lines.
#include "dfu/device_operations.h"
#include "dfu/dfu_util_progress.h"

#include <QFile>
#include <QtTest>

namespace {

QByteArray fixture(QString const& name) {
    QFile file(QStringLiteral(KELVORA_SOURCE_DIR "/tests/dfu/data/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return file.readAll();
}

QString text_of(std::vector<DFU::ProgressStep> const& steps) {
    static char const* const names[] = {"E", "D", "U"};
    QStringList parts;
    for (DFU::ProgressStep const& step : steps)
        parts << QString("%1%2").arg(names[step.phase]).arg(step.percent);
    return parts.join(' ');
}

std::vector<DFU::ProgressStep> read_in_pieces(QByteArray const& bytes, int piece) {
    DFU::ProgressReader reader;
    std::vector<DFU::ProgressStep> steps;
    for (int at = 0; at < bytes.size(); at += piece)
        for (DFU::ProgressStep const& step : reader.feed(bytes.mid(at, piece)))
            steps.push_back(step);
    return steps;
}

} // namespace

class TestDfuUtilProgress : public QObject {
    Q_OBJECT
private slots:
    void captured_output_data();
    void captured_output();
    void lines_data();
    void lines();
    void write_end_data();
    void write_end();
};

void TestDfuUtilProgress::captured_output_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("piece");
    QTest::addColumn<QString>("phases"); // the phases in order
    for (int piece : {1, 3, 17, 100, 4096, 1 << 20}) {
        QTest::addRow("download, pieces of %d", piece)
            << "download_progress_0.11.txt" << piece << "erase download";
        QTest::addRow("upload, pieces of %d", piece)
            << "upload_progress_0.11.txt" << piece << "upload";
    }
}

void TestDfuUtilProgress::captured_output() {
    QFETCH(QString, file);
    QFETCH(int, piece);
    QFETCH(QString, phases);
    QByteArray const bytes = fixture(file);
    std::vector<DFU::ProgressStep> const steps = read_in_pieces(bytes, piece);
    // However the bytes arrive, the same updates come out: every distinct bar dfu-util drew.
    QCOMPARE(text_of(steps), text_of(read_in_pieces(bytes, bytes.size())));
    int const bars = bytes.count('%');
    QVERIFY(int(steps.size()) >= bars * 9 / 10 && int(steps.size()) <= bars);

    QStringList seen;
    int overall = 0;
    for (DFU::ProgressStep const& step : steps) {
        QString const phase = step.phase == DFU::ProgressStep::erase      ? "erase"
                              : step.phase == DFU::ProgressStep::download ? "download"
                                                                          : "upload";
        if (seen.isEmpty() || seen.last() != phase) {
            QCOMPARE(step.percent, 0);
            seen << phase;
        }
        int const now = DFU::overall_percent(step);
        QVERIFY(now >= overall);
        overall = now;
    }
    QCOMPARE(seen.join(' '), phases);
    QCOMPARE(steps.back().percent, 100);
    QCOMPARE(overall, 100);
}

void TestDfuUtilProgress::lines_data() {
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QString>("steps");
    QTest::newRow("nothing") << QByteArrayList{} << "";
    QTest::newRow("other output only")
        << QByteArrayList{"Opening DFU capable USB device...\nDevice ID 0483:df11\n"} << "";
    QTest::newRow("one bar, reported before the next redraw")
        << QByteArrayList{"\rErase   \t[=====    ]  20%       126976 bytes"} << "E20";
    QTest::newRow("cut inside the byte count")
        << QByteArrayList{"\rUpload\t[==   ]   8%    512", "00 bytes"} << "U8";
    QTest::newRow("cut inside the percentage")
        << QByteArrayList{"\rDownload\t[==  ]  1", "6%   100352 bytes\r"} << "D16";
    QTest::newRow("the same bar twice is one update")
        << QByteArrayList{"\rUpload\t[=  ]   4%    26624 bytes\rUpload\t[=  ]   4%    26700 bytes"}
        << "U4";
    QTest::newRow("erase then write")
        << QByteArrayList{"\rErase   \t[==]  100%  6 bytes\nErase    done.\n\rDownload\t[  ]   0%  "
                          " "
                          "         0 bytes\rDownload\t[==]  100%  6 bytes\nDownload done.\n"}
        << "E100 D0 D100";
    QTest::newRow("over a hundred is a hundred")
        << QByteArrayList{"\rUpload\t[==]  250%  6 bytes\n"} << "U100";
    QTest::newRow("no byte count is no bar") << QByteArrayList{"\rUpload\t[==]  50%\n"} << "";
    QTest::newRow("not at the start of the redraw")
        << QByteArrayList{"\r  Upload\t[==]  50%  6 bytes\n"} << "";
    QTest::newRow("unknown caption") << QByteArrayList{"\rVerify\t[==]  50%  6 bytes\n"} << "";
    QTest::newRow("long junk before a bar")
        << QByteArrayList{QByteArray(3000, 'x'), "\rUpload\t[=]  7%  9 bytes\n"} << "U7";
    QTest::newRow("NUL bytes in between")
        << QByteArrayList{QByteArray("\r\0\0\n", 4), "\rUpload\t[=]  7%  9 bytes\n"} << "U7";
}

void TestDfuUtilProgress::lines() {
    QFETCH(QByteArrayList, pieces);
    QFETCH(QString, steps);
    DFU::ProgressReader reader;
    std::vector<DFU::ProgressStep> all;
    for (QByteArray const& piece : pieces)
        for (DFU::ProgressStep const& step : reader.feed(piece))
            all.push_back(step);
    QCOMPARE(text_of(all), steps);
}

void TestDfuUtilProgress::write_end_data() {
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("all_sent");
    QTest::addColumn<bool>("followed");
    QByteArray const answered = fixture("download_progress_0.11.txt");
    QByteArray const reset = answered.left(answered.indexOf("Transitioning to dfuMANIFEST"));
    QTest::newRow("the unit answered the leave") << answered << 0 << true << true;
    QTest::newRow("reset on leave without the last status") << reset << 74 << true << true;
    QTest::newRow("the last block failed")
        << QByteArray("\rDownload\t[=== ]  96%   602112 bytes failed!\n") << 74 << false << false;
    QTest::newRow("the bar at 100 % alone")
        << QByteArray("\rDownload\t[====]  100%   625900 bytes\n") << 74 << true << true;
    QTest::newRow("erased only") << QByteArray(
                                        "\rErase   \t[====]  100%   625900 bytes\nErase    done.\n")
                                 << 74 << false << false;
    QTest::newRow("killed before any output") << QByteArray() << -1 << false << false;
    QTest::newRow("ended with 0 without a bar") << QByteArray() << 0 << false << true;
}

// Only a write that dfu-util sent whole is followed to the unit's check, whatever its code.
void TestDfuUtilProgress::write_end() {
    QFETCH(QByteArray, output);
    QFETCH(int, code);
    QFETCH(bool, all_sent);
    QFETCH(bool, followed);
    DFU::WriteEnd const end = DFU::write_end({code, QString::fromUtf8(output)});
    QCOMPARE(end.code, code);
    QCOMPARE(end.all_sent, all_sent);
    QCOMPARE(end.followed(), followed);
}

QTEST_GUILESS_MAIN(TestDfuUtilProgress)
#include "tst_dfu_util_progress.moc"
