// A client process for the command transport tests: opens the first camera
// channel the socket host lists, opens an exclusive command session, locks
// the transport and leaves a transaction pending (it waits for bulk data the
// camera never prepared), then waits to be killed.
#include <unistd.h>

#include <cstdio>
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

void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

std::vector<std::uint8_t> header(std::uint32_t session, std::uint32_t thread, std::uint32_t value) {
    std::vector<std::uint8_t> b(20, 0);
    b[0] = pav512::kModuleStatusUnanswered;
    put32(b, 4, session);
    put32(b, 8, thread);
    put32(b, 16, value);
    return b;
}

bool call(HANDLE h, DWORD code, std::vector<std::uint8_t>& b) {
    DWORD returned = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = DeviceIoControl(h, code, b.data(), static_cast<DWORD>(b.size()), b.data(),
                              static_cast<DWORD>(b.size()), &returned, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(h, &ov, &returned, TRUE);
    CloseHandle(ov.hEvent);
    return ok && b[0] == pav512::kModuleStatusSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
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
    const std::uint32_t thread = static_cast<std::uint32_t>(::getpid());
    auto open = header(0, thread, 1);
    if (!call(h, pav512::IOCTL_CTI_OPEN, open)) {
        std::printf("session refused %u\n", open[0]);
        return 5;
    }
    std::uint32_t session;
    std::memcpy(&session, open.data() + 16, 4);
    auto lock = header(session, thread, 1);
    if (!call(h, pav512::IOCTL_CTI_LOCK, lock)) {
        std::printf("lock refused %u\n", lock[0]);
        return 6;
    }
    // One bulk-in block of 64 bytes, the terminator and the spare room.
    static std::vector<std::uint8_t> transaction = header(session, thread, 0);
    transaction.resize(20 + 24 + 64 + 4 + 24, 0);
    put32(transaction, 12, 1);  // task
    put32(transaction, 20, 24 + 64);
    put32(transaction, 20 + 12, 64);
    transaction[20 + 16] = 0xFF;
    static OVERLAPPED ov{};
    BOOL ok = DeviceIoControl(h, pav512::IOCTL_CTI_TRANSACTION, transaction.data(),
                              static_cast<DWORD>(transaction.size()), transaction.data(),
                              static_cast<DWORD>(transaction.size()), nullptr, &ov);
    std::printf("%s %u\n", !ok && GetLastError() == ERROR_IO_PENDING ? "pending" : "not pending",
                session);
    std::fflush(stdout);
    for (;;) pause();
}
