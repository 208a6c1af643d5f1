#pragma once

// One virtual STM32F4 in its ROM DfuSe bootloader: USB descriptors, the DFU 1.1 state
// machine with the DfuSe 1.1a commands (set address pointer, sector and mass erase, read
// unprotect, "leave" by a zero-length download), and the memories behind the four
// alternate settings. Its lasting state lives in the unit's folder (unit_folder.h).

#include "unit_folder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vusb {

namespace dfu {
enum Request : uint8_t {
    DETACH = 0,
    DNLOAD = 1,
    UPLOAD = 2,
    GETSTATUS = 3,
    CLRSTATUS = 4,
    GETSTATE = 5,
    ABORT = 6
};
enum State : uint8_t {
    appIDLE = 0,
    appDETACH = 1,
    dfuIDLE = 2,
    dfuDNLOAD_SYNC = 3,
    dfuDNBUSY = 4,
    dfuDNLOAD_IDLE = 5,
    dfuMANIFEST_SYNC = 6,
    dfuMANIFEST = 7,
    dfuMANIFEST_WAIT_RESET = 8,
    dfuUPLOAD_IDLE = 9,
    dfuERROR = 10
};
enum Status : uint8_t {
    OK = 0,
    errTARGET = 1,
    errWRITE = 3,
    errERASE = 4,
    errVERIFY = 7,
    errADDRESS = 8,
    errSTALLEDPKT = 15
};
} // namespace dfu

constexpr uint16_t vendor_id = 0x0483;
constexpr uint16_t product_id = 0xDF11;
constexpr uint16_t transfer_size = 2048;
constexpr uint32_t flash_base = 0x08000000;
constexpr uint32_t flash_size = 1024 * 1024;
constexpr uint32_t otp_base = 0x1FFF7800;
constexpr uint32_t otp_size = 512 + 16;
constexpr uint32_t option_bytes_base = 0x1FFFC000;
constexpr uint32_t device_feature_base = 0xFFFF0000;

// String descriptor indexes.
enum StringIndex : uint8_t {
    manufacturer_string = 1,
    product_string = 2,
    serial_string = 3,
    first_interface_string = 4
};

struct Region {
    uint32_t base = 0;
    uint32_t size = 0;
    bool erasable = false;
    bool writable = false;
    std::vector<uint8_t>* memory = nullptr;
    bool contains(uint32_t address, uint32_t length = 1) const {
        return address >= base && length <= size && address - base <= size - length;
    }
};

class Unit {
public:
    Unit(std::string folder, int port);

    std::string const& folder() const { return folder_; }
    Knobs const& knobs() const { return knobs_; }
    int port() const { return port_; }
    uint8_t address() const { return address_; }
    int generation() const { return generation_; }

    // On the bus now (its "back_at" has passed)?
    bool present() const;
    // Does a handle or device taken in generation `generation` still reach the unit?
    bool reachable(int generation) const;

    static char const* interface_name(int alt);
    static std::vector<uint8_t> functional_descriptor();
    std::vector<uint8_t> device_descriptor() const;
    std::vector<uint8_t> configuration_descriptor() const;

    // libusb_open's view: 0 or a libusb error code.
    int open();
    int set_alt_setting(int alt);
    // A control transfer; returns the bytes transferred or a libusb error code.
    int control(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                uint8_t* data, uint16_t length);
    // USB reset signalling from the host: the bootloader starts again, still in DFU mode.
    void reset();

private:
    int standard_request(uint8_t request, uint16_t value, uint8_t* data, uint16_t length);
    int download(uint16_t block, uint8_t const* data, uint16_t length);
    int upload(uint16_t block, uint8_t* data, uint16_t length);
    int get_status(uint8_t* data, uint16_t length);
    int stall();
    // Carries out the download that GETSTATUS found pending; returns the status and the
    // time it takes in milliseconds.
    dfu::Status execute(long* duration_ms);
    dfu::Status program(uint32_t address, std::vector<uint8_t> const& bytes, long* duration_ms);
    void erase_sector(uint32_t address, long* duration_ms);
    void erase_all(long* duration_ms);
    // The unit drops off the bus: after "leave", a read unprotect, or pulled out.
    void drop_off(int64_t back_at);
    // Fault knobs for the transfer kind: returns 0 to go on, else the error to return.
    int faults(Op op);
    void delay(double ms) const;

    void load_memories();
    void save_memories();
    void load_state();
    void save_state();
    Region region() const;

    std::string folder_;
    int port_ = 1;
    Knobs knobs_;
    int generation_ = 0;
    bool on_bus_ = true;
    uint8_t address_ = 2;
    int alt_ = 0;

    dfu::State state_ = dfu::dfuIDLE;
    dfu::Status status_ = dfu::OK;
    uint32_t pointer_ = flash_base;
    std::string saved_state_;

    // The download waiting for GETSTATUS.
    uint16_t pending_block_ = 0;
    std::vector<uint8_t> pending_;
    dfu::State state_after_busy_ = dfu::dfuDNLOAD_IDLE;
    dfu::Status status_after_busy_ = dfu::OK;
    int64_t busy_until_ = 0;
    bool leaving_after_busy_ = false;

    bool memories_loaded_ = false;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> otp_;
    std::vector<uint8_t> option_bytes_;
    std::vector<uint8_t> device_feature_;
    DirtyRange flash_dirty_;
    DirtyRange otp_dirty_;

    long uploads_ = 0;
    long downloads_ = 0;
    long opens_ = 0;
};

} // namespace vusb
