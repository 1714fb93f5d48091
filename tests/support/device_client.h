// Sends buffered device-control requests to one device object the way the
// I/O manager does for a client's channel, and keeps each answer. Every
// request must have completed before the client goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "pav512/buffers.h"
#include "platform/kernel/wdm.h"

namespace pavtest {

struct Reply {
    PIRP irp = nullptr;  // valid while the client lives
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<std::uint8_t> data;
    // Byte 0 of the answer, where the modules put their status.
    std::uint8_t moduleStatus() const { return data.empty() ? 0xFF : data[0]; }
};

class DeviceClient {
  public:
    explicit DeviceClient(PDEVICE_OBJECT device);
    ~DeviceClient();
    DeviceClient(const DeviceClient&) = delete;
    DeviceClient& operator=(const DeviceClient&) = delete;

    // `buffer` goes in and the same length may come back; `internal` sends an
    // internal device-control request.
    std::shared_ptr<Reply> sendRequest(ULONG code, std::vector<std::uint8_t> buffer,
                                       bool internal = false);
    // Waits (real time, bounded) for the reply.
    static bool wait(const std::shared_ptr<Reply>& reply);
    void cancel(const std::shared_ptr<Reply>& reply);

  private:
    FILE_OBJECT file_{};
    std::mutex lock_;
    std::vector<PIRP> sent_;
};

// A stream request of `size` bytes for the stream `handle` (0: none yet):
// its status byte unanswered, the handle at offset 4, the rest zero.
inline std::vector<std::uint8_t> streamRequest(std::uint32_t handle, std::size_t size = 44) {
    std::vector<std::uint8_t> b(size, 0);
    b[0] = 0xFF;
    std::memcpy(b.data() + 4, &handle, 4);
    return b;
}

// A stream open at `width` x `height` MJPG, 24 bits a pixel.
inline std::vector<std::uint8_t> streamOpenRequest(std::uint32_t width, std::uint32_t height) {
    pav512::StreamFormatRequest f{};
    f.width = width;
    f.height = height;
    f.bitCount = 24;
    f.compression = 0x47504A4D;
    auto b = streamRequest(0);
    std::memcpy(b.data(), &f, sizeof f);
    b[0] = 0xFF;
    return b;
}

}  // namespace pavtest
