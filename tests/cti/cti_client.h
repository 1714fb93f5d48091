// Drives the command transport the way a client's channel does: buffered
// control requests sent to the driver's device object, answered through the
// gate and the dispatch switch; transactions are built block by block.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "pav512/buffers.h"
#include "pav512/ioctl.h"
#include "platform/kernel/wdm.h"

namespace ctitest {

using Bytes = std::vector<std::uint8_t>;

struct Reply {
    PIRP irp = nullptr;
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes data;
    std::uint8_t moduleStatus() const { return data.empty() ? 0xFF : data[0]; }
};

// One block of a transaction.
struct Block {
    bool control = true;
    bool toCamera = false;  // bulk: the bulk-out pipe
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    Bytes data;             // sent, or the room for what comes back
    std::size_t slack = 0;  // bytes past the data inside the block (filled with 0xAB)
};

Block controlOut(std::uint8_t request, std::uint16_t value, Bytes data);
Block controlIn(std::uint8_t request, std::uint16_t value, std::size_t length);
Block bulkIn(std::size_t length, std::size_t slack = 0);
Block bulkOut(Bytes data);

// Header, blocks, the terminating zero and the 24 bytes the library adds.
Bytes transaction(ULONG session, ULONG thread, ULONG task, const std::vector<Block>& blocks);
// Offset of block i in a transaction built from `blocks`.
std::size_t blockOffset(const std::vector<Block>& blocks, std::size_t i);

std::uint32_t u32(const Bytes& b, std::size_t at);
Bytes header(ULONG session, ULONG thread = 0, ULONG task = 0, ULONG value = 0);

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
