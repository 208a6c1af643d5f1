#include "flash/reporter.h"

#include "device/unit_text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMutexLocker>

#include <unistd.h>

namespace Flash {

char const* kind_text(Event::Kind kind) {
    switch (kind) {
    case Event::found:
        return "found";
    case Event::skipped:
        return "skipped";
    case Event::writing:
        return "writing";
    case Event::verifying:
        return "verifying";
    case Event::done:
        return "done";
    case Event::left:
        return "left";
    case Event::failed:
        break;
    }
    return "failed";
}

namespace {

// A JSON string with every C0 and C1 control character (and DEL) as \u00NN: a unit's text
// that reaches a terminal inside the line cannot act on it there.
QByteArray json_string(QString const& text) {
    QString out = QStringLiteral("\"");
    for (QChar const c : text) {
        char16_t const u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += QStringLiteral("\\u") + QString::number(u, 16).toUpper().rightJustified(4, '0');
        else if (u == '"' || u == '\\')
            out += QStringLiteral("\\") + c;
        else
            out += c;
    }
    return (out + '"').toUtf8();
}

// "key":value, a text in the escaping above, anything else in JSON's own.
QByteArray member(char const* key, QJsonValue const& value) {
    QByteArray const array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QByteArray("\"") + key + "\":" +
           (value.isString() ? json_string(value.toString()) : array.mid(1, array.size() - 2));
}

} // namespace

Reporter::Reporter(Mode mode, FILE* out) : mode_(mode), out_(out) {}

Reporter::Mode Reporter::mode_for(bool want_json, FILE* out) {
    if (want_json)
        return json;
    return isatty(fileno(out)) ? terminal : plain;
}

QByteArray Reporter::json_line(Event const& event) {
    QList<QByteArray> members{member("unit", event.unit)};
    if (!event.slot.isEmpty())
        members << member("slot", event.slot);
    members << member("serial", event.serial) << member("event", kind_text(event.kind));
    if (event.percent >= 0)
        members << member("percent", event.percent);
    if (!event.reason.isEmpty())
        members << member("reason", event.reason);
    if (event.kind == Event::found)
        members << member("product", event.product) << member("revision", event.revision)
                << member("carried_for_it", event.carried_for_it);
    return "{" + members.join(',') + "}\n";
}

QString Reporter::plain_text(Event const& event) {
    return Device::loggable(raw_text(event));
}

QString Reporter::raw_text(Event const& event) {
    QString text = event.unit + "  " + event.serial + "  " + kind_text(event.kind);
    if (event.percent >= 0)
        text += QString(" %1%").arg(event.percent);
    if (event.kind == Event::found)
        text += "  product " + (event.product.isEmpty() ? "-" : event.product) + ", revision " +
                (event.revision.isEmpty() ? "-" : event.revision) +
                (event.carried_for_it ? ", carried firmware is for it"
                                      : ", carried firmware is not for it");
    if (!event.reason.isEmpty())
        text += ": " + event.reason;
    return text;
}

void Reporter::report(Event const& event) {
    QMutexLocker const lock(&mutex_);
    if (mode_ == json) {
        std::fputs(json_line(event).constData(), out_);
    } else if (mode_ == terminal) {
        if (!row_.contains(event.unit))
            order_.append(event.unit);
        row_[event.unit] = plain_text(event);
        redraw();
    } else {
        bool const progress = event.percent >= 0;
        QString const key = event.unit + kind_text(event.kind);
        int const step = event.percent / 25;
        if (progress && shown_.contains(key) && shown_[key] == step)
            return;
        shown_[key] = step;
        std::fputs((plain_text(event) + "\n").toUtf8().constData(), out_);
    }
    std::fflush(out_);
}

void Reporter::redraw() {
    if (drawn_ > 0)
        std::fprintf(out_, "\033[%dA", drawn_);
    for (QString const& unit : order_)
        std::fprintf(out_, "\r\033[K%s\n", row_[unit].toUtf8().constData());
    drawn_ = order_.size();
}

void Reporter::summary(int done, int failed, int skipped) {
    QMutexLocker const lock(&mutex_);
    if (mode_ == json)
        std::fprintf(out_, "{\"event\":\"summary\",\"done\":%d,\"failed\":%d,\"skipped\":%d}\n",
                     done, failed, skipped);
    else
        std::fprintf(out_, "%d done, %d failed, %d skipped\n", done, failed, skipped);
    std::fflush(out_);
}

} // namespace Flash
