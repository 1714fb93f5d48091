// A client process for the host tests: opens the first camera channel the
// socket host lists and either leaves a request pending until it is killed
// ("hold") or sends version requests ("versions N") and reports how many
// succeeded.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/channels/channel_client.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (int failed = pavtest::openFirstCamera(argv[1], &h)) return failed;
    if (std::strcmp(argv[2], "hold") == 0 && argc >= 4) {
        static std::vector<std::uint8_t> buffer(24, 0xFF);
        static OVERLAPPED ov{};
        DWORD code = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0));
        BOOL ok = DeviceIoControl(h, code, buffer.data(), 24, buffer.data(), 24, nullptr, &ov);
        std::printf("%s\n", !ok && GetLastError() == ERROR_IO_PENDING ? "pending" : "not pending");
        std::fflush(stdout);
        for (;;) pause();
    }
    if (std::strcmp(argv[2], "versions") == 0 && argc >= 4) {
        int n = std::atoi(argv[3]), good = 0;
        for (int i = 0; i < n; ++i) {
            std::vector<std::uint8_t> b = pavtest::requestBuffer(sizeof(pav512::CommandHeader));
            DWORD returned = 0;
            std::uint16_t version = 0;
            if (DeviceIoControl(h, pav512::IOCTL_CTI_VERSION, b.data(), 20, b.data(), 20, &returned,
                                nullptr)) {
                std::memcpy(&version, b.data() + pav512::kCommandVersionOffset, 2);
                if (returned == 20 && b[0] == 0 && version == pav512::kInterfaceVersion) ++good;
            }
        }
        std::printf("ok %d\n", good);
        CloseHandle(h);
        return good == n ? 0 : 1;
    }
    CloseHandle(h);
    return 2;
}
