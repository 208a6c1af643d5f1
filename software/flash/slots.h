#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// The names printed on a bench beside its USB ports, from a slots file:
//
//     # left row
//     1-1.2  A1
//     1-1.3  A2   # the port by the window
//
// A port path as dfu-util prints it and a name, one pair a line; `#` starts a comment that
// runs to the end of its line; blank lines are skipped. A name is one word of printable
// characters, at most `max_name_length` of them. Each port and each name appears once.
namespace Flash {

struct Slot {
    QString port;
    QString name;
};

struct SlotTable {
    QVector<Slot> entries; // in the file's order
    QString error;         // what is wrong, e.g. "not a port path: 1-x"; empty: sound
    int error_line = 0;    // the line at fault; 0: none (sound, or the file cannot be read)

    // The name of the slot on port; empty when the file names none.
    QString name_of(QString const& port) const;
};

constexpr int max_name_length = 16;

// "1-1.2": a bus number, a dash and up to seven port numbers joined by dots.
bool is_port_path(QString const& word);

// Never fails: a malformed text gives the first fault and no entries. Text from the file is
// quoted in the fault escaped (Device::loggable).
SlotTable parse_slots(QByteArray const& text);

// "kelvora-upgrade/slots.conf" in the user's configuration folder ($XDG_CONFIG_HOME or
// ~/.config).
QString default_slots_file();

// Reads and parses file. A missing file is an error unless it is the default one, which
// then means no names. The error names the file (and the line).
SlotTable read_slots(QString const& file);

} // namespace Flash
