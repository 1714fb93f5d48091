// A client process of libpav512u for the tests: opens a shared session on
// any camera, takes the session lock, reads the object table of memory 0
// (request 0x85, then a read data phase of the length given) and prints
//   open S camera N lock S read S returned R
// and then the bytes read in hexadecimal on one line.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pav512u/cti.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    auto length = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0));
    CtiHandle* h = nullptr;
    uint8_t camera = 0;
    CTISTATUS opened = CtiHandleOpen(CTI_MODE_SHARED, 0, &camera, &h);
    CTISTATUS locked = opened == CTISTATUS_SUCCESS ? CtiHandleLock(h, 5000) : opened;
    std::vector<uint8_t> buffer(length);
    uint32_t returned = 0;
    CtiCommandBlock c = {};
    c.request = 0x85;
    CTISTATUS read = locked == CTISTATUS_SUCCESS
                         ? CtiCommandWithDataRead(h, &c, buffer.data(), length, &returned, nullptr)
                         : locked;
    std::printf("open %u camera %u lock %u read %u returned %u\n", opened, camera, locked, read,
                returned);
    for (uint32_t i = 0; i < returned && i < length; ++i) std::printf("%02x", buffer[i]);
    std::printf("\n");
    std::fflush(stdout);
    if (h) {
        CtiHandleUnLock(h);
        CtiHandleClose(h);
    }
    return 0;
}
