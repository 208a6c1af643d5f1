#include "dfu/dfu_util_progress.h"

#include <QRegularExpression>

#include <algorithm>

namespace DFU {

namespace {

// The bar's caption, the bar, the percentage and the byte count that ends each update.
QRegularExpression const& bar_pattern() {
    static QRegularExpression const pattern(
        R"(^(Erase|Download|Upload)[ \t]*\[[= ]*\][ \t]*(\d{1,3})%[ \t]+\d+ bytes)");
    return pattern;
}

} // namespace

std::vector<ProgressStep> ProgressReader::feed(QByteArray const& bytes) {
    std::vector<ProgressStep> steps;
    int start = 0;
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n')
            continue;
        pending += bytes.mid(start, i - start);
        take(pending, &steps);
        pending.clear();
        start = i + 1;
    }
    pending += bytes.mid(start);
    if (pending.size() > max_pending)
        pending = pending.right(max_pending);
    // dfu-util writes each update whole and flushes it: the last one need not wait for the
    // carriage return of the next.
    take(pending, &steps);
    return steps;
}

void ProgressReader::take(QByteArray const& segment, std::vector<ProgressStep>* steps) {
    if (segment.isEmpty())
        return;
    QRegularExpressionMatch const match = bar_pattern().match(QString::fromLatin1(segment));
    if (!match.hasMatch())
        return;
    ProgressStep step;
    QString const caption = match.captured(1);
    step.phase = caption == "Erase"      ? ProgressStep::erase
                 : caption == "Download" ? ProgressStep::download
                                         : ProgressStep::upload;
    step.percent = std::min(100, match.captured(2).toInt());
    if (reported && step == last)
        return;
    last = step;
    reported = true;
    steps->push_back(step);
}

int overall_percent(ProgressStep const& step) {
    switch (step.phase) {
    case ProgressStep::erase:
        return step.percent * erase_share_percent / 100;
    case ProgressStep::download:
        return erase_share_percent + step.percent * (100 - erase_share_percent) / 100;
    case ProgressStep::upload:
        return step.percent;
    }
    return 0;
}

} // namespace DFU
