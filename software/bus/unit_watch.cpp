#include "bus/unit_watch.h"

#include "system/tsan_edges.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>
#include <QSocketNotifier>

#include <libudev.h>

#include <algorithm>

namespace Bus {

namespace {

constexpr uint vendor_id = 0x0483;
constexpr uint product_id = 0xdf11;

// "483/df11/2200" names a DfuSe unit; the kernel writes the numbers without leading zeros.
bool is_dfuse_unit(QByteArray const& product) {
    QList<QByteArray> const parts = product.split('/');
    if (parts.size() != 3)
        return false;
    bool vendor_ok = false, product_ok = false;
    uint const vendor = parts[0].toUInt(&vendor_ok, 16);
    uint const id = parts[1].toUInt(&product_ok, 16);
    return vendor_ok && product_ok && vendor == vendor_id && id == product_id;
}

QByteArray property_of(udev_device* device, char const* name) {
    return QByteArray(udev_device_get_property_value(device, name));
}

} // namespace

std::optional<UnitEvent> unit_event(QByteArray const& action, QByteArray const& devpath,
                                    QByteArray const& product) {
    UnitEvent event;
    if (action == "add")
        event.kind = UnitEvent::arrived;
    else if (action == "remove")
        event.kind = UnitEvent::left;
    else
        return std::nullopt;
    if (!is_dfuse_unit(product))
        return std::nullopt;
    // "/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4.2" is the unit on port 1-4.2; a port
    // path is the bus number, a dash and port numbers joined by dots.
    QByteArray const last = devpath.mid(devpath.lastIndexOf('/') + 1);
    static auto const port_char = [](char c) {
        return (c >= '0' && c <= '9') || c == '-' || c == '.';
    };
    if (last.isEmpty() || last.size() > 64 || !last.contains('-') ||
        !std::all_of(last.begin(), last.end(), port_char))
        return std::nullopt;
    event.port = QString::fromLatin1(last);
    return event;
}

bool udev_running(QString const& control) {
    return QFileInfo::exists(control);
}

UnitWatch::UnitWatch(QObject* parent) : QObject(parent) {
    if (!udev_running()) {
        qInfo() << "USB bus: udev does not run here; units are found by listing them";
        return;
    }
    context = udev_new();
    // "udev": the events after udev's rules ran, access rights set.
    monitor = context ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    if (!monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        qWarning() << "USB bus: cannot follow udev's events; units are found by listing them";
        return;
    }
    notifier = new QSocketNotifier(udev_monitor_get_fd(monitor), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnitWatch::read_events);
    qInfo() << "USB bus: following udev's events";
}

UnitWatch::~UnitWatch() {
    delete notifier;
    if (monitor)
        udev_monitor_unref(monitor);
    if (context)
        udev_unref(context);
}

void UnitWatch::read_events() {
    // The socket does not block: take every message that waits.
    while (udev_device* device = udev_monitor_receive_device(monitor)) {
        std::optional<UnitEvent> const event =
            unit_event(udev_device_get_action(device), udev_device_get_devpath(device),
                       property_of(device, "PRODUCT"));
        udev_device_unref(device);
        if (!event)
            continue;
        qDebug().noquote() << "USB bus: unit"
                           << (event->kind == UnitEvent::arrived ? "arrived on" : "left")
                           << event->port;
        if (event->kind == UnitEvent::arrived)
            emit unit_arrived(event->port);
        else
            emit unit_left(event->port);
    }
}

void Arrivals::note(QString const& port) {
    tsan_edges::MutexLocker locked(mutex);
    ++counts[port];
    noted.wakeAll();
}

int Arrivals::count(QString const& port) const {
    tsan_edges::MutexLocker locked(mutex);
    return counts.value(port);
}

bool Arrivals::wait_beyond(QString const& port, int seen, int ms) const {
    QDeadlineTimer const deadline(qMax(ms, 0));
    tsan_edges::MutexLocker locked(mutex);
    while (counts.value(port) <= seen)
        if (!locked.wait(noted, deadline))
            return counts.value(port) > seen;
    return true;
}

} // namespace Bus
