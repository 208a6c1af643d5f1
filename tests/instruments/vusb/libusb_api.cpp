// The libusb-1.0 functions that dfu-util calls, answered by the virtual units. Preloaded,
// these definitions come before those of the real libusb, whichever copy the program's run
// path finds; the real library is loaded but never called.

#include "unit.h"

#include <libusb.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

#define VUSB_EXPORT extern "C" __attribute__((visibility("default")))

struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    vusb::Unit* unit = nullptr;
    int generation = 0; // the unit's enumeration this device belongs to
    uint8_t address = 0;
    int references = 1;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    int lock = -1; // flock held while the interface is claimed
};

namespace {

// One unit object per folder for the life of the process.
std::map<std::string, std::unique_ptr<vusb::Unit>>& units() {
    static std::map<std::string, std::unique_ptr<vusb::Unit>> all;
    return all;
}

struct ConfigCopy {
    libusb_config_descriptor config{};
    libusb_interface interface {};
    std::vector<libusb_interface_descriptor> alt_settings;
    std::vector<unsigned char> functional;
};

std::map<libusb_config_descriptor const*, std::unique_ptr<ConfigCopy>>& config_copies() {
    static std::map<libusb_config_descriptor const*, std::unique_ptr<ConfigCopy>> all;
    return all;
}

bool reachable(libusb_device_handle* handle) {
    return handle && handle->device->unit->reachable(handle->device->generation);
}

// The command line of this process, arguments separated by blanks.
std::string own_command_line() {
    std::vector<uint8_t> bytes;
    if (!vusb::read_file("/proc/self/cmdline", &bytes))
        return "?";
    std::string line(bytes.begin(), bytes.end());
    while (!line.empty() && line.back() == '\0')
        line.pop_back();
    for (char& c : line)
        if (c == '\0' || c == '\n')
            c = ' ';
    return line;
}

// One write on an O_APPEND descriptor, so that processes working side by side never mix lines.
void append_line(std::string const& path, std::string const& line) {
    int const fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    [[maybe_unused]] ssize_t const written = write(fd, line.data(), line.size());
    close(fd);
}

// Each open of a unit leaves one line in the unit's "log": who opened it and what came of it.
void log_open(vusb::Unit const& unit, int result) {
    append_line(unit.folder() + "/log", "open pid=" + std::to_string(getpid()) +
                                            " result=" + std::to_string(result) +
                                            " command=" + own_command_line() + "\n");
}

void unlock(libusb_device_handle* handle) {
    if (handle->lock >= 0) {
        flock(handle->lock, LOCK_UN);
        close(handle->lock);
        handle->lock = -1;
    }
}

} // namespace

VUSB_EXPORT int libusb_init(libusb_context** context) {
    if (context)
        *context = new libusb_context;
    return LIBUSB_SUCCESS;
}

VUSB_EXPORT void libusb_exit(libusb_context* context) {
    delete context;
}

VUSB_EXPORT int libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return LIBUSB_SUCCESS;
}

VUSB_EXPORT const struct libusb_version* libusb_get_version(void) {
    static libusb_version const version = {1, 0, 26, 11791, "", "virtual STM32 bootloader bus"};
    return &version;
}

VUSB_EXPORT const char* libusb_error_name(int code) {
    switch (code) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    default:
        return "**UNKNOWN**";
    }
}

VUSB_EXPORT ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
    // Every look at the bus leaves one line in the bus's "scans", whether it finds units or not.
    if (char const* bus = std::getenv("KELVORA_VUSB_DIR"))
        append_line(std::string(bus) + "/scans", "scan pid=" + std::to_string(getpid()) +
                                                     " command=" + own_command_line() + "\n");
    std::vector<libusb_device*> found;
    std::vector<std::string> const folders = vusb::unit_folders();
    for (size_t i = 0; i < folders.size(); ++i) {
        std::unique_ptr<vusb::Unit>& unit = units()[folders[i]];
        if (!unit)
            unit = std::make_unique<vusb::Unit>(folders[i], int(i + 1));
        if (!unit->present())
            continue;
        found.push_back(new libusb_device{unit.get(), unit->generation(), unit->address()});
    }
    auto** out = static_cast<libusb_device**>(std::calloc(found.size() + 1, sizeof(void*)));
    if (!out)
        return LIBUSB_ERROR_NO_MEM;
    std::copy(found.begin(), found.end(), out);
    *list = out;
    return ssize_t(found.size());
}

VUSB_EXPORT libusb_device* libusb_ref_device(libusb_device* device) {
    ++device->references;
    return device;
}

VUSB_EXPORT void libusb_unref_device(libusb_device* device) {
    if (device && --device->references == 0)
        delete device;
}

VUSB_EXPORT void libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list)
        return;
    if (unref_devices)
        for (libusb_device** device = list; *device; ++device)
            libusb_unref_device(*device);
    std::free(list);
}

VUSB_EXPORT int libusb_get_device_descriptor(libusb_device* device,
                                             struct libusb_device_descriptor* descriptor) {
    std::vector<uint8_t> const bytes = device->unit->device_descriptor();
    descriptor->bLength = bytes[0];
    descriptor->bDescriptorType = bytes[1];
    descriptor->bcdUSB = uint16_t(bytes[2] | bytes[3] << 8);
    descriptor->bDeviceClass = bytes[4];
    descriptor->bDeviceSubClass = bytes[5];
    descriptor->bDeviceProtocol = bytes[6];
    descriptor->bMaxPacketSize0 = bytes[7];
    descriptor->idVendor = uint16_t(bytes[8] | bytes[9] << 8);
    descriptor->idProduct = uint16_t(bytes[10] | bytes[11] << 8);
    descriptor->bcdDevice = uint16_t(bytes[12] | bytes[13] << 8);
    descriptor->iManufacturer = bytes[14];
    descriptor->iProduct = bytes[15];
    descriptor->iSerialNumber = bytes[16];
    descriptor->bNumConfigurations = bytes[17];
    return LIBUSB_SUCCESS;
}

VUSB_EXPORT int libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                             struct libusb_config_descriptor** config) {
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    // Parsed from the same bytes that a GET_DESCRIPTOR request returns.
    std::vector<uint8_t> const bytes = device->unit->configuration_descriptor();
    auto copy = std::make_unique<ConfigCopy>();
    libusb_config_descriptor& c = copy->config;
    c.bLength = bytes[0];
    c.bDescriptorType = bytes[1];
    c.wTotalLength = uint16_t(bytes[2] | bytes[3] << 8);
    c.bNumInterfaces = bytes[4];
    c.bConfigurationValue = bytes[5];
    c.iConfiguration = bytes[6];
    c.bmAttributes = bytes[7];
    c.MaxPower = bytes[8];
    for (size_t at = bytes[0]; at + 1 < bytes.size() && bytes[at] > 0; at += bytes[at]) {
        if (bytes[at + 1] == LIBUSB_DT_INTERFACE) {
            libusb_interface_descriptor alt{};
            alt.bLength = bytes[at];
            alt.bDescriptorType = bytes[at + 1];
            alt.bInterfaceNumber = bytes[at + 2];
            alt.bAlternateSetting = bytes[at + 3];
            alt.bNumEndpoints = bytes[at + 4];
            alt.bInterfaceClass = bytes[at + 5];
            alt.bInterfaceSubClass = bytes[at + 6];
            alt.bInterfaceProtocol = bytes[at + 7];
            alt.iInterface = bytes[at + 8];
            copy->alt_settings.push_back(alt);
        } else if (!copy->alt_settings.empty()) {
            // Like libusb: unknown descriptors become the extra bytes of the interface
            // descriptor before them.
            copy->functional.insert(copy->functional.end(), bytes.begin() + long(at),
                                    bytes.begin() + long(at + bytes[at]));
        }
    }
    if (!copy->alt_settings.empty() && !copy->functional.empty()) {
        copy->alt_settings.back().extra = copy->functional.data();
        copy->alt_settings.back().extra_length = int(copy->functional.size());
    }
    copy->interface.altsetting = copy->alt_settings.data();
    copy->interface.num_altsetting = int(copy->alt_settings.size());
    c.interface = &copy->interface;
    *config = &copy->config;
    config_copies()[&copy->config] = std::move(copy);
    return LIBUSB_SUCCESS;
}

VUSB_EXPORT void libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    config_copies().erase(config);
}

VUSB_EXPORT uint8_t libusb_get_bus_number(libusb_device*) {
    return 1;
}

VUSB_EXPORT uint8_t libusb_get_device_address(libusb_device* device) {
    return device->address;
}

VUSB_EXPORT int libusb_get_port_numbers(libusb_device* device, uint8_t* port_numbers,
                                        int port_numbers_len) {
    if (port_numbers_len < 1)
        return LIBUSB_ERROR_OVERFLOW;
    port_numbers[0] = uint8_t(device->unit->port());
    return 1;
}

VUSB_EXPORT int libusb_open(libusb_device* device, libusb_device_handle** handle) {
    if (!device->unit->reachable(device->generation)) {
        log_open(*device->unit, LIBUSB_ERROR_NO_DEVICE);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    int const error = device->unit->open();
    log_open(*device->unit, error);
    if (error)
        return error;
    *handle = new libusb_device_handle{libusb_ref_device(device)};
    return LIBUSB_SUCCESS;
}

VUSB_EXPORT void libusb_close(libusb_device_handle* handle) {
    if (!handle)
        return;
    unlock(handle);
    libusb_unref_device(handle->device);
    delete handle;
}

VUSB_EXPORT int libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
    if (!reachable(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (handle->lock >= 0)
        return LIBUSB_SUCCESS;
    std::string const path = handle->device->unit->folder() + "/lock";
    int const lock = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0)
        return LIBUSB_ERROR_ACCESS;
    // Another process holds the interface: the kernel says busy.
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        close(lock);
        return LIBUSB_ERROR_BUSY;
    }
    handle->lock = lock;
    return LIBUSB_SUCCESS;
}

VUSB_EXPORT int libusb_release_interface(libusb_device_handle* handle, int interface_number) {
    if (interface_number != 0 || handle->lock < 0)
        return LIBUSB_ERROR_NOT_FOUND;
    unlock(handle);
    return reachable(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

VUSB_EXPORT int libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface_number,
                                                 int alternate_setting) {
    if (!reachable(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number != 0 || handle->lock < 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return handle->device->unit->set_alt_setting(alternate_setting);
}

VUSB_EXPORT int libusb_reset_device(libusb_device_handle* handle) {
    if (!reachable(handle))
        return LIBUSB_ERROR_NOT_FOUND;
    handle->device->unit->reset();
    return LIBUSB_SUCCESS;
}

VUSB_EXPORT int libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char* data, uint16_t wLength, unsigned int) {
    if (!reachable(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    return handle->device->unit->control(request_type, bRequest, wValue, wIndex, data, wLength);
}
