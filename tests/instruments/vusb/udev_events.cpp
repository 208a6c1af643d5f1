#include "udev_events.h"

#include "unit_folder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vusb {

namespace {

// libudev's header before the properties; its numbers in network byte order.
struct Header {
    char prefix[8] = "libudev";
    uint32_t magic = htonl(0xfeedcafe);
    uint32_t header_size = htonl(sizeof(Header));
    uint32_t properties_off = 0;
    uint32_t properties_len = 0;
    uint32_t subsystem_hash = 0;
    uint32_t devtype_hash = 0;
    uint32_t tag_bloom_hi = 0;
    uint32_t tag_bloom_lo = 0;
};

// MurmurHash2 with seed 0: the hash that a listener's socket filter compares with.
uint32_t murmur2(std::string const& text) {
    uint32_t const m = 0x5bd1e995;
    size_t length = text.size();
    uint32_t h = uint32_t(length);
    unsigned char const* data = reinterpret_cast<unsigned char const*>(text.data());
    while (length >= 4) {
        uint32_t k = 0;
        std::memcpy(&k, data, 4);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
        data += 4;
        length -= 4;
    }
    switch (length) {
    case 3:
        h ^= uint32_t(data[2]) << 16;
        [[fallthrough]];
    case 2:
        h ^= uint32_t(data[1]) << 8;
        [[fallthrough]];
    case 1:
        h ^= data[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

std::string hex(unsigned value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", width, value);
    return text;
}

} // namespace

std::string udev_message(UdevAction action, int port, uint16_t bcd_device, uint8_t address,
                         uint64_t seqnum) {
    std::string const name = "1-" + std::to_string(port);
    std::string const devnum = (address < 10    ? "00"
                                : address < 100 ? "0"
                                                : "") +
                               std::to_string(address);
    std::string properties;
    auto const add = [&properties](std::string const& line) {
        properties += line;
        properties += '\0';
    };
    add(std::string("ACTION=") + (action == UdevAction::add ? "add" : "remove"));
    add("DEVPATH=/devices/platform/vusb/usb1/" + name);
    add("SUBSYSTEM=usb");
    add("DEVNAME=/dev/bus/usb/001/" + devnum);
    add("DEVTYPE=usb_device");
    add("PRODUCT=483/df11/" + hex(bcd_device, 1));
    add("TYPE=0/0/0");
    add("BUSNUM=001");
    add("DEVNUM=" + devnum);
    add("SEQNUM=" + std::to_string(seqnum));
    add("MAJOR=189");
    add("MINOR=" + std::to_string(address > 0 ? address - 1 : 0));
    add("ID_VENDOR_ID=0483");
    add("ID_MODEL_ID=df11");

    Header header;
    header.properties_off = uint32_t(sizeof(Header));
    header.properties_len = uint32_t(properties.size());
    header.subsystem_hash = htonl(murmur2("usb"));
    header.devtype_hash = htonl(murmur2("usb_device"));
    std::string message(reinterpret_cast<char const*>(&header), sizeof header);
    return message + properties;
}

bool announce(UdevAction action, int port, uint16_t bcd_device, uint8_t address) {
    if (!std::getenv("KELVORA_VUSB_UDEV"))
        return false;
    int const sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (sock < 0)
        return false;
    // Numbered by the time, as the events of separate processes follow each other.
    std::string const message =
        udev_message(action, port, bcd_device, address, uint64_t(now_ms()) * 1000 % 1000000000000);
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = 2; // udev's group
    ssize_t const sent = sendto(sock, message.data(), message.size(), 0,
                                reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(sock);
    // Refused: nobody listens, which is no fault.
    return sent == ssize_t(message.size()) || (sent < 0 && errno == ECONNREFUSED);
}

void announce_return(std::string const& folder, int64_t back_at, int port, uint16_t bcd_device,
                     uint8_t address) {
    if (!std::getenv("KELVORA_VUSB_UDEV") || back_at == never)
        return;
    pid_t const child = fork();
    if (child != 0)
        return;
    // The child keeps nothing of dfu-util's: whoever reads its output sees the end at its exit.
    for (int fd = 0; fd < 1024; ++fd)
        close(fd);
    while (now_ms() < back_at)
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min<int64_t>(back_at - now_ms(), 50)));
    if (read_back_at(folder) == back_at)
        announce(UdevAction::add, port, bcd_device, address);
    _exit(0);
}

} // namespace vusb
