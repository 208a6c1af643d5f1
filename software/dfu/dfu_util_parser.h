#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// Classifies the text that "dfu-util -d 0483 -l" prints. A unit in the STM32 DfuSe
// bootloader lists one line per alternate setting, four in all, each with its serial:
//
//   Found DFU: [0483:df11] ver=2200, devnum=20, cfg=1, intf=0, path="2-2", alt=3,
//       name="@Device Feature/0xFFFF0000/01*004 e", serial="387838933234"
//
// (one line in the real listing). All work is done by the constructor.
//
// The name and the serial are the unit's own strings, and dfu-util prints them as they are:
// a unit can put quotes, line feeds and whole device lines into them. So a line counts only
// whole and in exactly dfu-util's form, and its port (which the unit does not choose, and
// which dfu-util prints before the unit's strings) is what tells the units apart.
class DfuUtilParser {
public:
    enum Status : int {
        no_dfu_device = 0,        // no device line, or no unit with a serial of hex digits
        one_dfu_device = 1,       // one serial, seen on exactly four device lines
        invalid_dfu_device = 2,   // one serial, seen on another number of device lines
        multiple_dfu_devices = 3, // more than one serial, or more than one port
    };

    // Lines that start with this are device lines; all others are ignored.
    static QString const prefix_RE;
    // A serial that names a unit: hexadecimal digits, as the serial field of a device line.
    static QString const extract_serial_RE;
    // A whole device line in dfu-util's form; captures the port path, the alternate setting's
    // name and the serial. The name is greedy: the serial is what follows the line's last
    // `", serial="`.
    static QString const device_line_RE;

    explicit DfuUtilParser(QString const& output);

    // One listed unit per port path, in listing order. Two units may show the same serial;
    // their paths tell them apart.
    struct ListedUnit {
        QString path;        // empty: device lines whose port could not be read
        QString serial;      // as listed, the first one seen on this port
        QStringList serials; // every serial seen on this port, each once
        int lines = 0;       // device lines seen for this path
        // A line of this port was not whole, or its name or serial held a quote or a control
        // character: what the unit says cannot be told from what it forged.
        bool unreadable = false;
        // Another port's lines stand between this port's lines. dfu-util lists a unit's
        // lines together, so one of the two units has printed the other one's lines.
        bool scattered = false;

        // Serials or lines of another unit on this port: nothing it shows can be trusted.
        bool ambiguous() const { return serials.size() > 1 || scattered; }
    };
    QVector<ListedUnit> units;

    Status status = no_dfu_device;
    QStringList serials;  // serials of hex digits, in listing order, each different from the
                          // one before it
    int device_count = 0; // entries of serials; stays 0 when a device line had no serial of
                          // hex digits

    // "no_dfu_device", "one_dfu_device", ...; empty for a value outside the enumeration.
    QString status_as_string() const;

    // A serial that the bench may show and match: no quote, no control character.
    static bool readable_serial(QString const& serial);
    // A serial of hexadecimal digits.
    static bool hex_serial(QString const& serial);
};
