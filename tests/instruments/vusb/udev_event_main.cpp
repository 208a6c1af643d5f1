// kelvora_vusb_udev_event add|remove PORT [BCD_DEVICE [ADDRESS]]: announces a virtual unit on
// port "1-PORT" arriving or leaving as udevd would (see udev_events.h), for scripts that plug
// units in and out by hand.
#include "udev_events.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0)) {
        std::fprintf(stderr, "usage: %s add|remove PORT [BCD_DEVICE [ADDRESS]]\n", argv[0]);
        return 2;
    }
    int const port = std::atoi(argv[2]);
    auto const bcd = uint16_t(argc > 3 ? std::strtoul(argv[3], nullptr, 0) : 0x2200);
    auto const address = uint8_t(argc > 4 ? std::atoi(argv[4]) : 1 + port);
    auto const action = argv[1][0] == 'a' ? vusb::UdevAction::add : vusb::UdevAction::remove;
    return vusb::announce(action, port, bcd, address) ? 0 : 1;
}
