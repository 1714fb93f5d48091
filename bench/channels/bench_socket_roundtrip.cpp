// The round trip of one version request over the host's socket (client
// channel, socket server, dispatch into the driver and back) beside a bare
// ping-pong on a Unix stream socket moving the same bytes, in the same run.
// The last line is the ratio of the two.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/quick.h"
#include "driver/core/device_context.h"
#include "driver/core/driver.h"
#include "host/pnp_manager.h"
#include "host/socket_server.h"
#include "host/test_bus.h"
#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "platform/user/channel_protocol.h"
#include "platform/user/device_io.h"
#include "platform/user/setupapi.h"
#include "platform/user/socket_client.h"

namespace {

using Clock = std::chrono::steady_clock;
const int kWarmup = pavbench::scaled(1000, 10);
const int kIterations = pavbench::scaled(2000, 20);
const int kRounds = pavbench::scaled(15, 3);

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Nanoseconds per call of `fn` over one round.
template <typename Fn>
double timePerCall(Fn& fn) {
    auto start = Clock::now();
    for (int i = 0; i < kIterations; ++i) fn();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kIterations;
}

bool readExactly(int fd, std::uint8_t* p, std::size_t n) {
    while (n) {
        ssize_t got = ::recv(fd, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

int main() {
    char dirTemplate[] = "/tmp/pav512-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir) return 1;
    const std::string socketPath = std::string(dir) + "/run/pav512d.sock";

    host::TestBus bus;
    host::PnpManager pnp;
    pnp.loadDriver("pav512", PAV512_DriverEntry);
    // The test bus has no camera behind its device, so the camera's start-up
    // is left out; what is measured is the request path, not the camera.
    if (PDRIVER_OBJECT driver = pnp.driver())
        driverContextOf(driver)->modules[kModuleStreamInterface] = streamInterfaceWithoutCamera();
    bus.setListener(&pnp);
    bus.plug("USB\\VID_F1A5&PID_0B2D\\bench-1");
    pnp.settle();

    std::string error;
    host::SocketServer::Options o;
    o.socketPath = socketPath;
    auto server = host::SocketServer::start(o, &error);
    if (!server) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    uchannel::setTransport(uchannel::makeSocketTransport(socketPath));

    HDEVINFO set = SetupDiGetClassDevsA(&pav512::kInterfaceClassGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    DWORD size = 0;
    SetupDiEnumDeviceInterfaces(set, nullptr, &pav512::kInterfaceClassGuid, 0, &data);
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    std::vector<char> mem(size ? size : 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(mem.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!size || !SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) {
        std::fprintf(stderr, "no camera interface\n");
        return 1;
    }
    SetupDiDestroyDeviceInfoList(set);
    std::string path = std::string(detail->DevicePath) + pav512::kConnectSuffix;
    HANDLE channel =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (channel == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the camera's channel (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }

    std::vector<std::uint8_t> request(sizeof(pav512::CommandHeader));
    bool allAnswered = true;
    auto viaHost = [&] {
        request[0] = pav512::kModuleStatusUnanswered;
        DWORD returned = 0;
        if (!DeviceIoControl(channel, pav512::IOCTL_CTI_VERSION, request.data(), 20, request.data(),
                             20, &returned, nullptr) ||
            returned != 20 || request[0] != 0)
            allAnswered = false;
    };

    // The same bytes each way as one request and its completion on the wire.
    const std::size_t up =
        uproto::encodeRequest(1, pav512::IOCTL_CTI_VERSION, request.data(), 20, 20).size();
    const std::size_t down = uproto::encodeCompletion(1, 0, 20, request.data()).size();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 1;
    std::thread echo([&] {
        std::vector<std::uint8_t> in(up), out(down, 0x5A);
        while (readExactly(fds[1], in.data(), up)) uproto::writeAll(fds[1], out);
    });
    std::vector<std::uint8_t> ping(up, 0xA5), pong(down);
    auto bare = [&] {
        uproto::writeAll(fds[0], ping);
        readExactly(fds[0], pong.data(), down);
    };

    // Rounds of the two alternate, so that a change in the machine's load
    // weighs on both alike; the figures are medians over the rounds.
    for (int i = 0; i < kWarmup; ++i) {
        viaHost();
        bare();
    }
    std::vector<double> hostTimes, bareTimes, ratios;
    for (int r = 0; r < kRounds; ++r) {
        double h = timePerCall(viaHost);
        double b = timePerCall(bare);
        hostTimes.push_back(h);
        bareTimes.push_back(b);
        ratios.push_back(h / b);
    }
    CloseHandle(channel);
    ::shutdown(fds[0], SHUT_RDWR);
    echo.join();
    ::close(fds[0]);
    ::close(fds[1]);

    server->stop();
    uchannel::setTransport(nullptr);
    pnp.removeAll();
    bus.setListener(nullptr);
    std::filesystem::remove_all(dir);

    if (!allAnswered) {
        std::fprintf(stderr, "a version request was not answered\n");
        return 1;
    }
    std::printf("version request over the socket: %.1f us per round trip\n",
                medianOf(hostTimes) / 1000.0);
    std::printf("bare socket ping-pong (%zu/%zu bytes): %.1f us per round trip\n", up, down,
                medianOf(bareTimes) / 1000.0);
    std::printf("socket-roundtrip ratio: %.2f\n", medianOf(ratios));
    return 0;
}
