// Sends buffered device-control requests to one device object the way the
// I/O manager does for a client's channel, and keeps each answer. Every
// request must have completed before the client goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

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

}  // namespace pavtest
