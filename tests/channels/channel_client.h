// What a client does with control channels, kept free of the test framework
// and of the host so that the client programs the tests start can use it too:
// list the camera interfaces, open a channel, send a request the way the
// library does.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "platform/user/channel_transport.h"
#include "platform/user/device_io.h"
#include "platform/user/handles.h"
#include "platform/user/setupapi.h"
#include "platform/user/socket_client.h"

namespace pavtest {

// The interface paths SetupDi lists for the camera class, with the two-call
// size protocol the library uses.
inline std::vector<std::string> listInterfaces() {
    std::vector<std::string> out;
    for (DWORD index = 0;; ++index) {
        HDEVINFO set = SetupDiGetClassDevsA(&pav512::kInterfaceClassGuid, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) break;
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        std::string path;
        if (SetupDiEnumDeviceInterfaces(set, nullptr, &pav512::kInterfaceClassGuid, index, &data)) {
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
            if (GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 0) {
                std::vector<char> mem(size);
                auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(mem.data());
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
                if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
                    path = detail->DevicePath;
            }
        }
        SetupDiDestroyDeviceInfoList(set);
        if (path.empty()) break;
        out.push_back(path);
    }
    return out;
}

inline HANDLE openChannel(const std::string& interfacePath) {
    std::string name = interfacePath + pav512::kConnectSuffix;
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// A request buffer of `length` bytes with byte 0 preset as the library does.
inline std::vector<std::uint8_t> requestBuffer(std::size_t length) {
    std::vector<std::uint8_t> b(length, 0);
    b[0] = pav512::kModuleStatusUnanswered;
    return b;
}

inline std::uint32_t u32At(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
inline std::uint16_t u16At(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint16_t v;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}
inline void putU32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

// A notification request naming `event` for one event of `set`, as the
// library builds it to register or clear the event.
inline std::vector<std::uint8_t> eventRequest(const GUID& set, std::uint32_t eventId,
                                              HANDLE event) {
    auto b = requestBuffer(sizeof(pav512::PropertyHeader));
    pav512::PropertyHeader h{};
    h.moduleStatus = pav512::kModuleStatusUnanswered;
    h.propertySet = set;
    h.propertyId = eventId;
    h.dataLengthOrEvent = uhandle::wireValue(event);
    std::memcpy(b.data(), &h, sizeof h);
    return b;
}

// Sends a request synchronously on an overlapped channel, as the library does
// (overlapped, then wait for the result).
inline BOOL call(HANDLE channel, DWORD code, std::vector<std::uint8_t>& buffer, DWORD* returned) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = DeviceIoControl(channel, code, buffer.data(), static_cast<DWORD>(buffer.size()),
                              buffer.data(), static_cast<DWORD>(buffer.size()), returned, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(channel, &ov, returned, TRUE);
    DWORD err = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(err);
    return ok;
}

// Whether a fresh channel of this process to `interfacePath` answers the
// command family's version request in full.
inline bool versionAnswers(const std::string& interfacePath) {
    HANDLE h = openChannel(interfacePath);
    if (h == INVALID_HANDLE_VALUE) return false;
    auto b = requestBuffer(sizeof(pav512::CommandHeader));
    DWORD returned = 0;
    bool ok = call(h, pav512::IOCTL_CTI_VERSION, b, &returned) && returned == 20 && b[0] == 0;
    CloseHandle(h);
    return ok;
}

// For a client program: reaches the socket host at `socketPath` and opens a
// channel to the first camera it lists. When that fails it says why on
// standard output and answers the program's exit code (3: no camera, 4: the
// open failed); 0 with `*channel` open.
inline int openFirstCamera(const char* socketPath, HANDLE* channel) {
    uchannel::setTransport(uchannel::makeSocketTransport(socketPath));
    std::vector<std::string> paths = listInterfaces();
    if (paths.empty()) {
        std::printf("no camera\n");
        return 3;
    }
    *channel = openChannel(paths[0]);
    if (*channel == INVALID_HANDLE_VALUE) {
        std::printf("open failed %u\n", GetLastError());
        return 4;
    }
    return 0;
}

}  // namespace pavtest
