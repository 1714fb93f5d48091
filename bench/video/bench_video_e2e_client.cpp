// The client side of bench_video_e2e: records 640 x 480 MJPG video from the
// first camera through the user-mode capture client and says "f <bytes>"
// for every frame it reads, until its standard input closes.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <span>
#include <vector>

#include "library/capture/video_capture.h"
#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "platform/user/device_io.h"
#include "platform/user/setupapi.h"

namespace {

// The camera's bandwidth setting (7: the largest isochronous packets, 1023
// bytes), set as any client sets a property, on a channel of its own.
bool setHighestBandwidth() {
    const GUID& cls = pav512::kInterfaceClassGuid;
    HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    DWORD size = 0;
    std::string path;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &cls, 0, &data)) {
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        std::vector<char> mem(size + 1, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(mem.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (size && SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (path.empty()) return false;
    path += pav512::kConnectSuffix;
    HANDLE channel = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (channel == INVALID_HANDLE_VALUE) return false;
    std::uint8_t b[pav512::kPropertyDataOffset + 1] = {};
    b[0] = pav512::kModuleStatusUnanswered;
    std::memcpy(b + offsetof(pav512::PropertyHeader, propertySet), &pav512::kPropertySetB22B, 16);
    const std::uint32_t id = 0, length = 1;
    std::memcpy(b + offsetof(pav512::PropertyHeader, propertyId), &id, 4);
    std::memcpy(b + offsetof(pav512::PropertyHeader, dataLengthOrEvent), &length, 4);
    b[pav512::kPropertyDataOffset] = 7;
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(channel, pav512::IOCTL_VPI_PROPERTY_SET, b, sizeof b, b,
                                    sizeof b, &returned, nullptr);
    CloseHandle(channel);
    return ok && returned == sizeof b && b[0] == pav512::kModuleStatusSuccess;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!setHighestBandwidth()) {
        std::printf("refused the bandwidth setting\n");
        return 1;
    }
    std::string error;
    auto capture = pavcap::VideoCapture::open(0, &error);
    if (!capture) {
        std::printf("refused %s\n", error.c_str());
        return 1;
    }
    pavcap::Format format;
    format.width = 640;
    format.height = 480;
    if (!capture->start(format)) {
        std::printf("refused %s\n", capture->error().c_str());
        return 1;
    }
    std::printf("started %zu\n", capture->imageSize());
    // The bench closes our input to end the run: stop() then ends the read
    // that waits.
    std::thread watcher([&] {
        char c;
        while (::read(0, &c, 1) > 0) {
        }
        capture->stop();
    });
    // Frames in the capture's own buffers, which the host writes into in
    // place, with reads kept waiting in the driver.
    for (;;) {
        pavcap::Frame frame;
        std::span<const std::uint8_t> data;
        const pavcap::ReadResult r = capture->next(&frame, &data);
        if (r == pavcap::ReadResult::TimedOut) continue;
        if (r != pavcap::ReadResult::Frame) break;
        std::printf("f %zu %llu\n", frame.bytes, static_cast<unsigned long long>(frame.dropCount));
    }
    watcher.join();
    std::printf("end\n");
    return 0;
}
