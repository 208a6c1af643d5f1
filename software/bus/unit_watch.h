#pragma once

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

#include <memory>
#include <optional>

class QSocketNotifier;
struct udev;
struct udev_monitor;

// The USB bus as udev reports it: a DfuSe unit (0483:df11) arriving or leaving, with its port
// path as dfu-util prints it in path="...". Events come after udev's rules ran, so a unit
// that arrives already carries the access rights that the rules give it.
namespace Bus {

struct UnitEvent {
    enum Kind { arrived, left };
    Kind kind = arrived;
    QString port; // "1-1.2": the last part of the device path
};

// The event of one udev message about a usb_device, from its ACTION, DEVPATH and PRODUCT
// ("483/df11/2200": vendor, product and release in hexadecimal) properties; none when it is
// not a DfuSe unit arriving or leaving, or a property is missing or malformed.
std::optional<UnitEvent> unit_event(QByteArray const& action, QByteArray const& devpath,
                                    QByteArray const& product);

// Whether udev runs here: its daemon's control socket exists. Without it (containers,
// chroots) nothing sends the events that the watch follows.
bool udev_running(QString const& control = QStringLiteral("/run/udev/control"));

// Follows udev's events on the thread it was made on, which must run an event loop. When udev
// does not run, or its monitor cannot be opened, watching() is false and nothing is emitted.
class UnitWatch : public QObject {
    Q_OBJECT

public:
    explicit UnitWatch(QObject* parent = nullptr);
    ~UnitWatch() override;

    bool watching() const { return notifier != nullptr; }

signals:
    void unit_arrived(QString port);
    void unit_left(QString port);

private:
    void read_events();

    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    QSocketNotifier* notifier = nullptr;
};

// Arrivals per port, for threads that wait without an event loop of their own: the watch's
// thread notes them, a waiting thread wakes. Thread-safe.
class Arrivals {
public:
    void note(QString const& port);
    // How many arrivals were noted on port so far.
    int count(QString const& port) const;
    // Waits until more than `seen` arrivals were noted on port, at most ms milliseconds;
    // true when they were.
    bool wait_beyond(QString const& port, int seen, int ms) const;

private:
    mutable QMutex mutex;
    mutable QWaitCondition noted;
    QHash<QString, int> counts;
};

} // namespace Bus
