#include "unit_folder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

namespace vusb {

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::vector<std::string> unit_folders() {
    std::vector<std::string> folders;
    char const* root = std::getenv("KELVORA_VUSB_DIR");
    if (!root || !*root)
        return folders;
    DIR* dir = opendir(root);
    if (!dir)
        return folders;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string const folder = std::string(root) + "/" + entry->d_name;
        struct stat info {};
        // A unit is a folder with a config file; anything else in the root is ignored.
        if (stat((folder + "/config").c_str(), &info) == 0 && S_ISREG(info.st_mode))
            folders.push_back(folder);
    }
    closedir(dir);
    std::sort(folders.begin(), folders.end());
    return folders;
}

namespace {

std::string trimmed(std::string const& text) {
    size_t const begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    size_t const end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

bool parse_long(std::string const& text, long* value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long const number = std::strtol(text.c_str(), &end, 0);
    if (errno || *end)
        return false;
    *value = number;
    return true;
}

bool parse_op(std::string const& text, Op* op) {
    if (text == "upload")
        *op = Op::upload;
    else if (text == "download")
        *op = Op::download;
    else if (text == "open")
        *op = Op::open;
    else
        return false;
    return true;
}

// "<upload|download|open>:<count>"
bool parse_fault(std::string const& text, Fault* fault) {
    size_t const colon = text.find(':');
    Fault parsed;
    if (!parse_op(text.substr(0, colon), &parsed.op))
        return false;
    if (colon != std::string::npos && !parse_long(text.substr(colon + 1), &parsed.after))
        return false;
    if (parsed.after < 0)
        return false;
    *fault = parsed;
    return true;
}

// "<address>:<bit>"
bool parse_bit(std::string const& text, BitAddress* bit) {
    size_t const colon = text.find(':');
    long address = 0;
    long number = 0;
    if (colon == std::string::npos || !parse_long(text.substr(0, colon), &address) ||
        !parse_long(text.substr(colon + 1), &number) || number < 0 || number > 7 || address < 0 ||
        address > 0xFFFFFFFFL)
        return false;
    bit->set = true;
    bit->address = uint32_t(address);
    bit->bit = int(number);
    return true;
}

// The serial may be any bytes (a real unit's string descriptor is whatever its firmware
// says): "\xNN" stands for the byte NN, so that line feeds, "#", blanks and the backslash
// itself fit in a config line. At most 126 bytes, as in a string descriptor.
bool decode_serial(std::string const& text, std::string* serial) {
    auto const hex = [&text](size_t at) {
        return std::isxdigit(static_cast<unsigned char>(text[at]));
    };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x' || !hex(i + 2) || !hex(i + 3))
            return false;
        out += char(std::stoi(text.substr(i + 2, 2), nullptr, 16));
        i += 3;
    }
    if (out.size() > 126)
        return false;
    *serial = out;
    return true;
}

bool apply(Knobs* knobs, std::string const& key, std::string const& value) {
    long number = 0;
    if (key == "serial") {
        return decode_serial(value, &knobs->serial);
    } else if (key == "bcd_device") {
        if (!parse_long(value, &number) || number < 0 || number > 0xFFFF)
            return false;
        knobs->bcd_device = uint16_t(number);
    } else if (key == "alt_settings") {
        if (!parse_long(value, &number) || number < 1 || number > 4)
            return false;
        knobs->alt_settings = int(number);
    } else if (key == "access") {
        if (value == "granted")
            knobs->access = Access::granted;
        else if (value == "denied")
            knobs->access = Access::denied;
        else if (value == "busy")
            knobs->access = Access::busy;
        else
            return false;
    } else if (key == "unplug") {
        return parse_fault(value, &knobs->unplug) && knobs->unplug.op != Op::open;
    } else if (key == "short_upload") {
        if (!parse_long(value, &number) || number < 0)
            return false;
        knobs->short_upload = number;
    } else if (key == "hang") {
        return parse_fault(value, &knobs->hang);
    } else if (key == "hang_ms") {
        if (!parse_long(value, &number))
            return false;
        knobs->hang_ms = number;
    } else if (key == "flip_bit") {
        return parse_bit(value, &knobs->flip_bit);
    } else if (key == "stuck_bit") {
        return parse_bit(value, &knobs->stuck_bit);
    } else if (key == "after_leave") {
        if (value != "back" && value != "gone")
            return false;
        knobs->back_after_leave = value == "back";
    } else if (key == "back_after_ms") {
        if (!parse_long(value, &number) || number < 0)
            return false;
        knobs->back_after_ms = number;
    } else if (key == "leave_status") {
        if (value != "answered" && value != "none")
            return false;
        knobs->leave_status_answered = value == "answered";
    } else if (key == "timing") {
        if (value != "real" && value != "none")
            return false;
        knobs->real_timing = value == "real";
    } else if (key == "timing_scale") {
        char* end = nullptr;
        double const scale = std::strtod(value.c_str(), &end);
        if (value.empty() || *end || !(scale >= 0))
            return false;
        knobs->timing_scale = scale;
    } else {
        return false;
    }
    return true;
}

} // namespace

Knobs read_knobs(std::string const& folder) {
    Knobs knobs;
    // Benchmarks switch the timing model on for every unit at once.
    if (char const* timing = std::getenv("KELVORA_VUSB_TIMING"))
        apply(&knobs, "timing", timing);
    std::vector<uint8_t> content;
    if (!read_file(folder + "/config", &content))
        return knobs;
    std::string const text(content.begin(), content.end());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        size_t const equals = line.find('=');
        std::string const key = trimmed(line.substr(0, equals));
        std::string const value =
            equals == std::string::npos ? std::string() : trimmed(line.substr(equals + 1));
        if (!apply(&knobs, key, value))
            std::fprintf(stderr, "vusb: %s/config: ignored \"%s\"\n", folder.c_str(), line.c_str());
    }
    return knobs;
}

bool read_file(std::string const& path, std::vector<uint8_t>* content) {
    content->clear();
    int const fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint8_t buffer[65536];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            close(fd);
            return false;
        }
        content->insert(content->end(), buffer, buffer + got);
    }
    close(fd);
    return true;
}

bool write_file_atomically(std::string const& path, void const* data, size_t size) {
    std::string const temporary = path + ".tmp" + std::to_string(getpid());
    int const fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    auto const* bytes = static_cast<uint8_t const*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t const wrote = write(fd, bytes + done, size - done);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            close(fd);
            unlink(temporary.c_str());
            return false;
        }
        done += size_t(wrote);
    }
    if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool write_file_range(std::string const& path, uint8_t const* data, size_t size,
                      DirtyRange const& range) {
    int const fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || size_t(status.st_size) != size) {
        if (fd >= 0)
            close(fd);
        return write_file_atomically(path, data, size);
    }
    size_t at = range.from;
    size_t const end = std::min(range.to, size);
    while (at < end) {
        ssize_t const wrote = pwrite(fd, data + at, end - at, off_t(at));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            close(fd);
            return false;
        }
        at += size_t(wrote);
    }
    return close(fd) == 0;
}

int64_t read_back_at(std::string const& folder) {
    std::vector<uint8_t> content;
    if (!read_file(folder + "/back_at", &content))
        return 0;
    std::string const text = trimmed(std::string(content.begin(), content.end()));
    if (text == "never")
        return never;
    long value = 0;
    return parse_long(text, &value) ? value : 0;
}

void write_back_at(std::string const& folder, int64_t when_ms) {
    std::string const text = when_ms == never ? "never\n" : std::to_string(when_ms) + "\n";
    write_file_atomically(folder + "/back_at", text.data(), text.size());
}

} // namespace vusb
