// A client process for the host tests: opens the first camera channel the
// socket host lists and either leaves a request pending until it is killed
// ("hold") or sends version requests ("versions N") and reports how many
// succeeded.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "platform/user/channel_transport.h"
#include "platform/user/device_io.h"
#include "platform/user/setupapi.h"
#include "platform/user/socket_client.h"

namespace {

std::string firstInterface() {
    HDEVINFO set = SetupDiGetClassDevsA(&pav512::kInterfaceClassGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return {};
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    std::string path;
    DWORD size = 0;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &pav512::kInterfaceClassGuid, 0, &data)) {
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        std::vector<char> mem(size);
        auto* d = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(mem.data());
        d->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (size && SetupDiGetDeviceInterfaceDetailA(set, &data, d, size, nullptr, nullptr))
            path = d->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    uchannel::setTransport(uchannel::makeSocketTransport(argv[1]));
    std::string path = firstInterface();
    if (path.empty()) {
        std::printf("no camera\n");
        return 3;
    }
    path += pav512::kConnectSuffix;
    HANDLE h =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("open failed %u\n", GetLastError());
        return 4;
    }
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
            std::vector<std::uint8_t> b(sizeof(pav512::CommandHeader), 0);
            b[0] = pav512::kModuleStatusUnanswered;
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
