// Drives the command transport the way a client's channel does: buffered
// control requests sent to the driver's device object, answered through the
// gate and the dispatch switch.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "pav512/buffers.h"
#include "pav512/ioctl.h"
#include "platform/kernel/wdm.h"
#include "tests/cti/cti_wire.h"

namespace ctitest {

struct Reply {
    PIRP irp = nullptr;
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes data;
    std::uint8_t moduleStatus() const { return data.empty() ? 0xFF : data[0]; }
};

class Client {
  public:
    explicit Client(PDEVICE_OBJECT device);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    std::shared_ptr<Reply> send(ULONG code, Bytes buffer);
    // Sends and waits (real time, bounded).
    std::shared_ptr<Reply> call(ULONG code, Bytes buffer);
    static bool wait(const std::shared_ptr<Reply>& reply);
    void cancel(const std::shared_ptr<Reply>& reply);

    // The session commands, answering the module status (and the session of an open).
    std::uint8_t open(bool exclusive, ULONG* session);
    std::uint8_t close(ULONG session);
    std::uint8_t lock(ULONG session, ULONG thread, bool tieToThread);
    std::uint8_t unlock(ULONG session, ULONG thread);
    std::uint8_t reset(ULONG session);
    std::uint8_t abortTask(ULONG session, ULONG task);

  private:
    FILE_OBJECT file_{};
    std::mutex lock_;
    std::vector<PIRP> sent_;
};

}  // namespace ctitest
