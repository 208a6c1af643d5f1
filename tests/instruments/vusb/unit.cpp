#include "unit.h"

#include "udev_events.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace vusb {

namespace {

// DfuSe commands, the first byte of a download to block 0.
constexpr uint8_t command_get = 0x00;
constexpr uint8_t command_set_address = 0x21;
constexpr uint8_t command_erase = 0x41;
constexpr uint8_t command_read_unprotect = 0x92;

// Typical STM32F4 flash timing at 32-bit parallelism, and full-speed control transfers.
constexpr double erase_16k_ms = 250;
constexpr double erase_64k_ms = 550;
constexpr double erase_128k_ms = 1000;
constexpr double mass_erase_ms = 8000;
constexpr double program_word_ms = 0.016;
constexpr double usb_transfer_ms = 0.5;
constexpr double usb_byte_ms = 0.002;

constexpr uint32_t otp_data_size = 512;
constexpr uint32_t otp_block_size = 32;

// Level 0 read protection, no write protection: the state of a part as it leaves the factory.
constexpr uint8_t factory_option_bytes[16] = {0xEC, 0xAA, 0x13, 0x55, 0xFF, 0xFF, 0xFF, 0xFF,
                                              0xFF, 0x0F, 0x00, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint8_t device_feature_bytes[4] = {0x00, 0x00, 0x00, 0x00};

char const* const interface_names[4] = {
    "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg",
    "@Option Bytes  /0x1FFFC000/01*016 e",
    "@OTP Memory /0x1FFF7800/01*512 e,01*016 e",
    "@Device Feature/0xFFFF0000/01*004 e",
};

void put16(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back(uint8_t(value & 0xFF));
    out->push_back(uint8_t(value >> 8));
}

std::vector<uint8_t> string_descriptor(std::string const& text) {
    std::vector<uint8_t> out = {uint8_t(2 + 2 * text.size()), LIBUSB_DT_STRING};
    for (char c : text)
        put16(&out, uint16_t(uint8_t(c)));
    return out;
}

int copy_out(std::vector<uint8_t> const& bytes, uint8_t* data, uint16_t length) {
    size_t const n = std::min<size_t>(bytes.size(), length);
    std::copy_n(bytes.begin(), n, data);
    return int(n);
}

// Sector of the internal flash that holds `offset`: four of 16 KiB, one of 64 KiB, then
// 128 KiB each.
void sector_of(uint32_t offset, uint32_t* start, uint32_t* size, double* erase_ms) {
    if (offset < 0x10000) {
        *size = 0x4000;
        *erase_ms = erase_16k_ms;
    } else if (offset < 0x20000) {
        *size = 0x10000;
        *erase_ms = erase_64k_ms;
    } else {
        *size = 0x20000;
        *erase_ms = erase_128k_ms;
    }
    *start = offset - offset % *size;
}

pid_t const parent_at_start = getppid();

// Sleeps `ms` (forever when negative), but ends the process when its parent has gone, so
// that a hanging transfer never leaves an orphan behind a test that died.
void hang_for(long ms) {
    auto const until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (ms < 0 || std::chrono::steady_clock::now() < until) {
        if (getppid() != parent_at_start)
            _exit(70);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

Unit::Unit(std::string folder, int port)
    : folder_(std::move(folder)), port_(port), knobs_(read_knobs(folder_)),
      address_(uint8_t(1 + port)),
      option_bytes_(std::begin(factory_option_bytes), std::end(factory_option_bytes)),
      device_feature_(std::begin(device_feature_bytes), std::end(device_feature_bytes)) {
    load_state();
}

bool Unit::present() const {
    return read_back_at(folder_) <= now_ms();
}

bool Unit::reachable(int generation) const {
    return generation == generation_ && present();
}

char const* Unit::interface_name(int alt) {
    return alt >= 0 && alt < 4 ? interface_names[alt] : "";
}

std::vector<uint8_t> Unit::functional_descriptor() {
    // Will detach, can upload, can download; DfuSe 1.1a.
    std::vector<uint8_t> out = {9, 0x21, 0x0B};
    put16(&out, 255);
    put16(&out, transfer_size);
    put16(&out, 0x011A);
    return out;
}

std::vector<uint8_t> Unit::device_descriptor() const {
    std::vector<uint8_t> out = {18, LIBUSB_DT_DEVICE};
    put16(&out, 0x0200);
    out.insert(out.end(), {0, 0, 0, 64});
    put16(&out, vendor_id);
    put16(&out, product_id);
    put16(&out, knobs_.bcd_device);
    out.insert(out.end(), {manufacturer_string, product_string, serial_string, 1});
    return out;
}

std::vector<uint8_t> Unit::configuration_descriptor() const {
    int const alts = knobs_.alt_settings;
    std::vector<uint8_t> out = {9, LIBUSB_DT_CONFIG};
    put16(&out, uint16_t(9 + 9 * alts + 9));
    out.insert(out.end(), {1, 1, 0, 0xC0, 50});
    for (int alt = 0; alt < alts; ++alt)
        out.insert(out.end(), {9, LIBUSB_DT_INTERFACE, 0, uint8_t(alt), 0, 0xFE, 1, 2,
                               uint8_t(first_interface_string + alt)});
    // The bootloader puts the functional descriptor after the last alternate setting.
    std::vector<uint8_t> const functional = functional_descriptor();
    out.insert(out.end(), functional.begin(), functional.end());
    return out;
}

int Unit::open() {
    if (int error = faults(Op::open))
        return error;
    switch (knobs_.access) {
    case Access::denied:
        return LIBUSB_ERROR_ACCESS;
    case Access::busy:
        return LIBUSB_ERROR_BUSY;
    case Access::granted:
        break;
    }
    return 0;
}

int Unit::set_alt_setting(int alt) {
    if (alt < 0 || alt >= knobs_.alt_settings)
        return LIBUSB_ERROR_NOT_FOUND;
    alt_ = alt;
    return 0;
}

void Unit::reset() {
    state_ = dfu::dfuIDLE;
    status_ = dfu::OK;
    pending_.clear();
    alt_ = 0;
    save_state();
}

int Unit::control(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                  uint8_t* data, uint16_t length) {
    uint8_t const type = request_type & 0x60;
    uint8_t const recipient = request_type & 0x1F;
    bool const in = request_type & LIBUSB_ENDPOINT_IN;
    if (type == LIBUSB_REQUEST_TYPE_STANDARD)
        return in ? standard_request(request, value, data, length) : LIBUSB_ERROR_PIPE;
    if (type != LIBUSB_REQUEST_TYPE_CLASS || recipient != LIBUSB_RECIPIENT_INTERFACE || index != 0)
        return LIBUSB_ERROR_PIPE;
    delay(usb_transfer_ms + usb_byte_ms * length);

    // While busy the bootloader answers nothing but GETSTATUS.
    if (state_ == dfu::dfuDNBUSY && request != dfu::GETSTATUS)
        return stall();
    switch (request) {
    case dfu::DNLOAD:
        return in ? stall() : download(value, data, length);
    case dfu::UPLOAD:
        return in ? upload(value, data, length) : stall();
    case dfu::GETSTATUS:
        return in ? get_status(data, length) : stall();
    case dfu::GETSTATE:
        if (!in || length < 1)
            return stall();
        data[0] = state_;
        return 1;
    case dfu::CLRSTATUS:
        if (in || state_ != dfu::dfuERROR)
            return stall();
        state_ = dfu::dfuIDLE;
        status_ = dfu::OK;
        save_state();
        return 0;
    case dfu::ABORT:
        if (in || state_ == dfu::dfuERROR)
            return stall();
        state_ = dfu::dfuIDLE;
        pending_.clear();
        save_state();
        return 0;
    case dfu::DETACH:
        // Already in the bootloader: nothing to detach from; a USB reset follows.
        return in ? stall() : 0;
    default:
        return stall();
    }
}

int Unit::standard_request(uint8_t request, uint16_t value, uint8_t* data, uint16_t length) {
    if (request == LIBUSB_REQUEST_GET_STATUS)
        return copy_out({0, 0}, data, length);
    if (request != LIBUSB_REQUEST_GET_DESCRIPTOR)
        return LIBUSB_ERROR_PIPE;
    uint8_t const index = value & 0xFF;
    switch (value >> 8) {
    case LIBUSB_DT_DEVICE:
        return copy_out(device_descriptor(), data, length);
    case LIBUSB_DT_CONFIG:
        return index == 0 ? copy_out(configuration_descriptor(), data, length) : LIBUSB_ERROR_PIPE;
    case 0x21:
        return copy_out(functional_descriptor(), data, length);
    case LIBUSB_DT_STRING:
        switch (index) {
        case 0:
            return copy_out({4, LIBUSB_DT_STRING, 0x09, 0x04}, data, length);
        case manufacturer_string:
            return copy_out(string_descriptor("STMicroelectronics"), data, length);
        case product_string:
            return copy_out(string_descriptor("STM32  BOOTLOADER"), data, length);
        case serial_string:
            return copy_out(string_descriptor(knobs_.serial), data, length);
        default:
            if (index - first_interface_string < knobs_.alt_settings)
                return copy_out(string_descriptor(interface_name(index - first_interface_string)),
                                data, length);
            return LIBUSB_ERROR_PIPE;
        }
    default:
        return LIBUSB_ERROR_PIPE;
    }
}

int Unit::stall() {
    state_ = dfu::dfuERROR;
    status_ = dfu::errSTALLEDPKT;
    save_state();
    return LIBUSB_ERROR_PIPE;
}

int Unit::download(uint16_t block, uint8_t const* data, uint16_t length) {
    if (state_ != dfu::dfuIDLE && state_ != dfu::dfuDNLOAD_IDLE)
        return stall();
    if (length == 0) {
        // "leave": manifestation starts the application, that is, the unit leaves DFU mode
        state_ = dfu::dfuMANIFEST_SYNC;
        return 0;
    }
    if (block == 0) {
        bool const known =
            (length == 5 && (data[0] == command_set_address || data[0] == command_erase)) ||
            (length == 1 && (data[0] == command_erase || data[0] == command_read_unprotect));
        if (!known)
            return stall();
    } else if (block == 1 || length > transfer_size) {
        return stall();
    } else if (int error = faults(Op::download)) {
        return error;
    }
    pending_block_ = block;
    pending_.assign(data, data + length);
    state_ = dfu::dfuDNLOAD_SYNC;
    return length;
}

int Unit::upload(uint16_t block, uint8_t* data, uint16_t length) {
    if (state_ != dfu::dfuIDLE && state_ != dfu::dfuUPLOAD_IDLE)
        return stall();
    if (block == 0) {
        int const n =
            copy_out({command_get, command_set_address, command_erase, command_read_unprotect},
                     data, length);
        state_ = n < length ? dfu::dfuIDLE : dfu::dfuUPLOAD_IDLE;
        return n;
    }
    if (block == 1 || length > transfer_size)
        return stall();
    Region const memory = region();
    uint64_t const address = pointer_ + uint64_t(block - 2) * transfer_size;
    if (address > UINT32_MAX || !memory.contains(uint32_t(address)))
        return stall();
    if (int error = faults(Op::upload))
        return error;
    if (knobs_.short_upload >= 0 && uploads_ > knobs_.short_upload) {
        // An empty block ends the upload for the host, as a short one does.
        state_ = dfu::dfuIDLE;
        save_state();
        return 0;
    }
    load_memories();
    uint32_t const offset = uint32_t(address) - memory.base;
    uint32_t const n = std::min<uint32_t>(length, memory.size - offset);
    std::copy_n(memory.memory->begin() + offset, n, data);
    BitAddress const& flip = knobs_.flip_bit;
    if (flip.set && flip.address >= address && flip.address - address < n)
        data[flip.address - address] ^= uint8_t(1u << flip.bit);
    state_ = n < length ? dfu::dfuIDLE : dfu::dfuUPLOAD_IDLE;
    save_state();
    return int(n);
}

int Unit::get_status(uint8_t* data, uint16_t length) {
    if (length < 6)
        return stall();
    long poll_ms = 0;
    uint8_t reported = state_;
    bool drop_after_answer = false;
    switch (state_) {
    case dfu::dfuDNLOAD_SYNC: {
        long duration_ms = 0;
        leaving_after_busy_ = false;
        status_after_busy_ = execute(&duration_ms);
        state_after_busy_ = status_after_busy_ == dfu::OK ? dfu::dfuDNLOAD_IDLE : dfu::dfuERROR;
        busy_until_ = now_ms() + duration_ms;
        state_ = dfu::dfuDNBUSY;
        reported = dfu::dfuDNBUSY;
        poll_ms = duration_ms;
        // Read unprotect: the part erases its flash and resets without a further answer.
        drop_after_answer = leaving_after_busy_;
        break;
    }
    case dfu::dfuDNBUSY: {
        int64_t const remaining = busy_until_ - now_ms();
        if (remaining > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(remaining));
        state_ = state_after_busy_;
        status_ = status_after_busy_;
        reported = state_;
        break;
    }
    case dfu::dfuMANIFEST_SYNC:
        if (!knobs_.leave_status_answered) {
            drop_off(knobs_.back_after_leave ? now_ms() + knobs_.back_after_ms : never);
            return LIBUSB_ERROR_IO;
        }
        reported = dfu::dfuMANIFEST;
        drop_after_answer = true;
        break;
    default:
        break;
    }
    data[0] = status_;
    data[1] = uint8_t(poll_ms & 0xFF);
    data[2] = uint8_t((poll_ms >> 8) & 0xFF);
    data[3] = uint8_t((poll_ms >> 16) & 0xFF);
    data[4] = reported;
    data[5] = 0;
    if (drop_after_answer)
        drop_off(knobs_.back_after_leave ? now_ms() + knobs_.back_after_ms : never);
    else
        save_state();
    return 6;
}

dfu::Status Unit::execute(long* duration_ms) {
    *duration_ms = 0;
    load_memories();
    Region const memory = region();
    if (pending_block_ == 0) {
        uint8_t const command = pending_[0];
        if (pending_.size() == 5) {
            uint32_t const address = uint32_t(pending_[1]) | uint32_t(pending_[2]) << 8 |
                                     uint32_t(pending_[3]) << 16 | uint32_t(pending_[4]) << 24;
            if (!memory.contains(address))
                return dfu::errTARGET;
            if (command == command_set_address) {
                pointer_ = address;
                return dfu::OK;
            }
            if (!memory.erasable)
                return dfu::errTARGET;
            erase_sector(address, duration_ms);
            return dfu::OK;
        }
        if (command == command_read_unprotect) {
            erase_all(duration_ms);
            leaving_after_busy_ = true;
            return dfu::OK;
        }
        if (!memory.erasable)
            return dfu::errTARGET;
        erase_all(duration_ms);
        return dfu::OK;
    }
    uint64_t const address = pointer_ + uint64_t(pending_block_ - 2) * transfer_size;
    if (address > UINT32_MAX || !memory.contains(uint32_t(address), uint32_t(pending_.size())))
        return dfu::errADDRESS;
    if (!memory.writable)
        return dfu::errWRITE;
    return program(uint32_t(address), pending_, duration_ms);
}

dfu::Status Unit::program(uint32_t address, std::vector<uint8_t> const& bytes, long* duration_ms) {
    Region const memory = region();
    uint32_t const offset = address - memory.base;
    std::vector<uint8_t>& cells = *memory.memory;
    if (memory.memory == &otp_) {
        // A block whose lock byte is programmed to 0x00 takes no more writes.
        for (uint32_t i = offset; i < offset + bytes.size() && i < otp_data_size; ++i)
            if (otp_[otp_data_size + i / otp_block_size] == 0x00)
                return dfu::errWRITE;
    }
    // Programming can only clear bits; what was not erased stays as it is.
    for (size_t i = 0; i < bytes.size(); ++i)
        cells[offset + i] &= bytes[i];
    DirtyRange& dirty = memory.memory == &otp_ ? otp_dirty_ : flash_dirty_;
    dirty.add(offset, bytes.size());
    BitAddress const& stuck = knobs_.stuck_bit;
    if (stuck.set && memory.contains(stuck.address)) {
        cells[stuck.address - memory.base] &= uint8_t(~(1u << stuck.bit));
        dirty.add(stuck.address - memory.base, 1);
    }
    save_memories();
    double const modelled = program_word_ms * double((bytes.size() + 3) / 4);
    *duration_ms = knobs_.real_timing ? std::lround(modelled * knobs_.timing_scale) : 0;
    // The bootloader reads back what it wrote.
    if (!std::equal(bytes.begin(), bytes.end(), cells.begin() + offset))
        return dfu::errVERIFY;
    return dfu::OK;
}

void Unit::erase_sector(uint32_t address, long* duration_ms) {
    uint32_t start = 0;
    uint32_t size = 0;
    double erase_ms = 0;
    sector_of(address - flash_base, &start, &size, &erase_ms);
    std::fill_n(flash_.begin() + start, size, 0xFF);
    flash_dirty_.add(start, size);
    BitAddress const& stuck = knobs_.stuck_bit;
    if (stuck.set && stuck.address >= flash_base && stuck.address - flash_base < flash_size) {
        flash_[stuck.address - flash_base] &= uint8_t(~(1u << stuck.bit));
        flash_dirty_.add(stuck.address - flash_base, 1);
    }
    save_memories();
    *duration_ms = knobs_.real_timing ? std::lround(erase_ms * knobs_.timing_scale) : 0;
}

void Unit::erase_all(long* duration_ms) {
    for (uint32_t offset = 0; offset < flash_size;) {
        uint32_t start = 0;
        uint32_t size = 0;
        double erase_ms = 0;
        sector_of(offset, &start, &size, &erase_ms);
        long ignored = 0;
        erase_sector(flash_base + offset, &ignored);
        offset = start + size;
    }
    *duration_ms = knobs_.real_timing ? std::lround(mass_erase_ms * knobs_.timing_scale) : 0;
}

void Unit::drop_off(int64_t back_at) {
    save_memories();
    announce(UdevAction::remove, port_, knobs_.bcd_device, address_);
    ++generation_;
    // It enumerates again with the next free device address, in a fresh bootloader.
    address_ = uint8_t(address_ % 127 + 1);
    state_ = dfu::dfuIDLE;
    status_ = dfu::OK;
    pointer_ = flash_base;
    alt_ = 0;
    pending_.clear();
    save_state();
    write_back_at(folder_, back_at);
    announce_return(folder_, back_at, port_, knobs_.bcd_device, address_);
}

int Unit::faults(Op op) {
    long& count = op == Op::upload ? uploads_ : op == Op::download ? downloads_ : opens_;
    if (knobs_.unplug.op == op && count >= knobs_.unplug.after) {
        drop_off(never);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    bool const hang = knobs_.hang.op == op && count == knobs_.hang.after;
    ++count;
    if (hang) {
        hang_for(knobs_.hang_ms);
        // libusb gives up on a transfer after its time-out
        return op == Op::open ? LIBUSB_ERROR_IO : LIBUSB_ERROR_TIMEOUT;
    }
    return 0;
}

void Unit::delay(double ms) const {
    if (knobs_.real_timing && ms > 0)
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::llround(ms * knobs_.timing_scale * 1000)));
}

Region Unit::region() const {
    auto* self = const_cast<Unit*>(this);
    Region memory;
    switch (alt_) {
    case 0:
        memory = {flash_base, flash_size, true, true, &self->flash_};
        break;
    case 1:
        memory = {option_bytes_base, uint32_t(option_bytes_.size()), false, false,
                  &self->option_bytes_};
        break;
    case 2:
        memory = {otp_base, otp_size, false, true, &self->otp_};
        break;
    default:
        memory = {device_feature_base, uint32_t(device_feature_.size()), false, false,
                  &self->device_feature_};
        break;
    }
    return memory;
}

void Unit::load_memories() {
    if (memories_loaded_)
        return;
    memories_loaded_ = true;
    read_file(folder_ + "/flash.bin", &flash_);
    flash_.resize(flash_size, 0xFF);
    read_file(folder_ + "/otp.bin", &otp_);
    otp_.resize(otp_size, 0xFF);
    BitAddress const& stuck = knobs_.stuck_bit;
    uint8_t const keep = uint8_t(~(1u << stuck.bit));
    if (stuck.set && stuck.address >= flash_base && stuck.address - flash_base < flash_size)
        flash_[stuck.address - flash_base] &= keep;
    if (stuck.set && stuck.address >= otp_base && stuck.address - otp_base < otp_size)
        otp_[stuck.address - otp_base] &= keep;
}

void Unit::save_memories() {
    if (flash_dirty_.any() &&
        write_file_range(folder_ + "/flash.bin", flash_.data(), flash_.size(), flash_dirty_))
        flash_dirty_ = {};
    if (otp_dirty_.any() &&
        write_file_range(folder_ + "/otp.bin", otp_.data(), otp_.size(), otp_dirty_))
        otp_dirty_ = {};
}

void Unit::load_state() {
    std::vector<uint8_t> content;
    if (!read_file(folder_ + "/state", &content))
        return;
    std::string const text(content.begin(), content.end());
    saved_state_ = text;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string const line = text.substr(start, end - start);
        start = end + 1;
        size_t const equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string const key = line.substr(0, equals);
        unsigned long const value = std::strtoul(line.c_str() + equals + 1, nullptr, 0);
        if (key == "dfu_state" && value <= dfu::dfuERROR)
            state_ = dfu::State(value);
        else if (key == "dfu_status" && value <= dfu::errSTALLEDPKT)
            status_ = dfu::Status(value);
        else if (key == "pointer")
            pointer_ = uint32_t(value);
        else if (key == "address" && value >= 1 && value <= 127)
            address_ = uint8_t(value);
    }
    // A transfer cut off between request and status leaves the part where it was before.
    if (state_ != dfu::dfuIDLE && state_ != dfu::dfuUPLOAD_IDLE && state_ != dfu::dfuDNLOAD_IDLE &&
        state_ != dfu::dfuERROR)
        state_ = dfu::dfuIDLE;
}

void Unit::save_state() {
    // Only the states a part can rest in are kept; the transient ones are passed through
    // within one request sequence.
    if (state_ != dfu::dfuIDLE && state_ != dfu::dfuUPLOAD_IDLE && state_ != dfu::dfuDNLOAD_IDLE &&
        state_ != dfu::dfuERROR)
        return;
    char pointer[16];
    std::snprintf(pointer, sizeof pointer, "0x%08X", pointer_);
    std::string const text = "dfu_state=" + std::to_string(state_) +
                             "\ndfu_status=" + std::to_string(status_) + "\npointer=" + pointer +
                             "\naddress=" + std::to_string(address_) + "\n";
    if (text == saved_state_)
        return;
    if (write_file_atomically(folder_ + "/state", text.data(), text.size()))
        saved_state_ = text;
}

} // namespace vusb
