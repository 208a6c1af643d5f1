#include "flash/slots.h"

#include "device/unit_text.h"

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

namespace Flash {

// bus-port, then up to six hub ports: USB has at most seven tiers.
bool is_port_path(QString const& word) {
    static QRegularExpression const path("^[0-9]{1,3}-[0-9]{1,3}(\\.[0-9]{1,3}){0,6}$");
    return path.match(word).hasMatch();
}

namespace {

// What is wrong with name; empty when nothing is.
QString name_fault(QString const& name) {
    if (name.size() > max_name_length)
        return QString("the name is longer than %1 characters").arg(max_name_length);
    for (QChar const c : name)
        if (!c.isPrint() || c == QChar::ReplacementCharacter)
            return "the name holds a character that cannot be printed";
    return {};
}

SlotTable refused(int line, QString const& why) {
    SlotTable table;
    table.error_line = line;
    table.error = why;
    return table;
}

} // namespace

QString SlotTable::name_of(QString const& port) const {
    for (Slot const& slot : entries)
        if (slot.port == port)
            return slot.name;
    return {};
}

SlotTable parse_slots(QByteArray const& text) {
    SlotTable table;
    QList<QByteArray> const lines = text.split('\n');
    QMap<QString, int> port_line, name_line;
    for (int i = 0; i < lines.size(); ++i) {
        int const number = i + 1;
        QByteArray line = lines[i];
        int const comment = line.indexOf('#');
        if (comment >= 0)
            line.truncate(comment);
        QString const decoded = QString::fromUtf8(line);
        QStringList const words =
            decoded.split(QRegularExpression("[ \\t\\r]+"), Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        if (words.size() != 2)
            return refused(number, words.size() < 2 ? "a port path and a name expected"
                                                    : "more than a port path and a name");
        QString const& port = words[0];
        QString const& name = words[1];
        if (!is_port_path(port))
            return refused(number, "not a port path: " + Device::loggable(port));
        QString const fault = name_fault(name);
        if (!fault.isEmpty())
            return refused(number, fault);
        if (port_line.contains(port))
            return refused(
                number,
                QString("port %1 is named on line %2 already").arg(port).arg(port_line[port]));
        if (name_line.contains(name))
            return refused(
                number,
                QString("the name %1 is given on line %2 already").arg(name).arg(name_line[name]));
        port_line[port] = number;
        name_line[name] = number;
        table.entries.append({port, name});
    }
    return table;
}

QString default_slots_file() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/kelvora-upgrade/slots.conf";
}

SlotTable read_slots(QString const& file) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        if (!in.exists() && file == default_slots_file())
            return {};
        SlotTable table;
        table.error = "cannot read " + file + ": " + in.errorString();
        return table;
    }
    SlotTable table = parse_slots(in.readAll());
    if (table.error_line > 0)
        table.error = QString("%1 line %2: %3").arg(file).arg(table.error_line).arg(table.error);
    return table;
}

} // namespace Flash
