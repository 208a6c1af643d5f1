#include "device/unit_text.h"

namespace Device {

namespace {

bool is_control(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The line and paragraph separators end a line in a text view; the bidirectional embeddings,
// overrides and isolates reorder what follows them on screen.
bool is_layout_control(char16_t c) {
    return c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

QString escaped(QString const& text, bool keep_line_feeds) {
    QString out;
    out.reserve(text.size());
    for (QChar const c : text) {
        char16_t const u = c.unicode();
        if (is_layout_control(u)) {
            out += QStringLiteral("\\u") + QString::number(u, 16).toUpper();
            continue;
        }
        if (!is_control(u) || (keep_line_feeds && u == '\n')) {
            out += c;
            continue;
        }
        out += QStringLiteral("\\x");
        out += QString::number(u, 16).toUpper().rightJustified(2, '0');
    }
    return out;
}

} // namespace

QString loggable(QString const& text) {
    return escaped(text, false);
}

QString loggable_lines(QString const& output) {
    return escaped(output, true);
}

} // namespace Device
