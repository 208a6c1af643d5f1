#pragma once

#include <QString>

// Text that a unit supplies (its information block's strings, dfu-util's listing of its
// descriptors) is data: it reaches a log or a terminal only through these, so that control
// sequences in it cannot act on the terminal or forge log lines.
namespace Device {

// Every C0 and C1 control character (U+0000 to U+001F, U+007F, U+0080 to U+009F) written as
// \xNN with two upper-case hex digits, and the line and paragraph separators (U+2028,
// U+2029) and the bidirectional controls (U+202A to U+202E, U+2066 to U+2069) as \uNNNN;
// everything else unchanged. Applying it twice gives the same text as once.
QString loggable(QString const& text);

// The same for a child's multi-line output: its line feeds stay.
QString loggable_lines(QString const& output);

} // namespace Device
