// The channel tests run over both transports: the host in this process, and
// the socket server (in this process too, on its own threads) reached through
// the socket client.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/inprocess_transport.h"
#include "host/socket_server.h"
#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "platform/user/channel_transport.h"
#include "platform/user/device_io.h"
#include "platform/user/runtime_dir.h"
#include "platform/user/setupapi.h"
#include "platform/user/socket_client.h"
#include "tests/support/kernel_test.h"

namespace pavtest {

enum class Transport { InProcess, Socket };

inline std::string transportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::InProcess ? "InProcess" : "Socket";
}

// Installs the transport of the parameter for the test's lifetime.
class TransportScope {
  public:
    explicit TransportScope(Transport t) {
        if (t == Transport::Socket) {
            std::string error;
            socketPath_ = uruntime::socketPathIn(uruntime::hostDirectory(false));
            host::SocketServer::Options o;
            o.socketPath = socketPath_;
            server_ = host::SocketServer::start(o, &error);
            EXPECT_NE(server_, nullptr) << error;
            uchannel::setTransport(uchannel::makeSocketTransport(socketPath_));
        } else {
            uchannel::setTransport(host::makeInProcessTransport());
        }
    }
    ~TransportScope() {
        uchannel::setTransport(nullptr);
        if (server_) server_->stop();
    }
    host::SocketServer* server() { return server_.get(); }
    const std::string& socketPath() const { return socketPath_; }

  private:
    std::string socketPath_;
    std::unique_ptr<host::SocketServer> server_;
};

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

}  // namespace pavtest
