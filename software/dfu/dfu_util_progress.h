#pragma once

#include <QByteArray>

#include <vector>

namespace DFU {

// One update of a dfu-util progress bar, for example
//   "\rErase   \t[=====                    ]  20%       126976 bytes"
// A DfuSe download erases first ("Erase"), then writes ("Download"); an upload reads
// ("Upload"). dfu-util redraws the bar after a carriage return and ends it with a line feed.
struct ProgressStep {
    enum Phase { erase, download, upload };
    Phase phase = erase;
    int percent = 0; // 0 to 100

    bool operator==(ProgressStep const& other) const {
        return phase == other.phase && percent == other.percent;
    }
};

// Reads dfu-util's standard output piece by piece, as it arrives, and picks out the progress
// bar updates. Everything else is skipped; nothing in the bytes can make it fail.
class ProgressReader {
public:
    // The updates that `bytes` completes, each one that differs from the last reported.
    std::vector<ProgressStep> feed(QByteArray const& bytes);

    // Longest unfinished piece that is kept between two calls; a longer one is no bar.
    static constexpr int max_pending = 512;

private:
    void take(QByteArray const& segment, std::vector<ProgressStep>* steps);

    QByteArray pending; // bytes after the last carriage return or line feed
    ProgressStep last;
    bool reported = false;
};

// Where a step stands within the whole command, 0 to 100. On an STM32F4 a download spends
// a little over half of its time erasing (about 1 s per 128 KiB sector against about 13 ms
// per 2 KiB block written and sent), so erasing fills the first part of the bar and writing
// the rest.
int overall_percent(ProgressStep const& step);

constexpr int erase_share_percent = 55;

} // namespace DFU
