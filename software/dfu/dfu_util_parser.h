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
class DfuUtilParser {
public:
    enum Status : int {
        no_dfu_device = 0,        // no device line, or a device line without a serial
        one_dfu_device = 1,       // one serial, seen on exactly four device lines
        invalid_dfu_device = 2,   // one serial, seen on another number of device lines
        multiple_dfu_devices = 3, // more than one serial
    };

    // Lines that start with this are device lines; all others are ignored.
    static QString const prefix_RE;
    // Captures the serial's hexadecimal digits anywhere in a device line.
    static QString const extract_serial_RE;

    // Captures the port path, "2-2" in the line above.
    static QString const extract_path_RE;

    explicit DfuUtilParser(QString const& output);

    // One listed unit per port path, in listing order. Two units may show the same serial;
    // their paths tell them apart.
    struct ListedUnit {
        QString path; // empty when dfu-util printed none
        QString serial;
        int lines = 0; // device lines seen for this path
    };
    QVector<ListedUnit> units;

    Status status = no_dfu_device;
    QStringList serials;  // in listing order, each different from the one before it
    int device_count = 0; // entries of serials; stays 0 when parsing stopped early

    // "no_dfu_device", "one_dfu_device", ...; empty for a value outside the enumeration.
    QString status_as_string() const;
};
