// Memory a client shares with the host for the output of its requests, so
// that a long answer (a video frame) is written by the driver straight into
// the client's memory instead of crossing the socket.
//
// The client's memory file is mapped behind a page of the host's own, so a
// request's system buffer is one run of memory: its head, where the request's
// input and the fields the driver reads and checks live, is the host's
// alone, and the rest is the client's memory, which the driver only fills.
// The file must be a memory file sealed against shrinking, so that no client
// can take pages away under a mapping the driver writes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/kernel/ntstatus.h"

namespace host {

class ClientMemory {
  public:
    // Maps `size` bytes of the memory file `fd` (which the caller keeps and
    // closes). Null, with the status a client is told, when the descriptor
    // is not a memory file sealed against shrinking, is shorter than `size`,
    // or `size` is 0 or beyond a request's buffer (STATUS_INVALID_PARAMETER),
    // or the process already maps `limit` areas or cannot map more
    // (STATUS_INSUFFICIENT_RESOURCES).
    static std::shared_ptr<ClientMemory> map(int fd, std::uint32_t size, std::size_t limit,
                                             NTSTATUS* status);
    ~ClientMemory();
    ClientMemory(const ClientMemory&) = delete;
    ClientMemory& operator=(const ClientMemory&) = delete;

    std::uint32_t size() const { return size_; }
    // The system buffer of one request whose output has `headLength` bytes
    // (at most the protocol's longest head) before the area: null while
    // another request has it.
    std::uint8_t* take(std::uint32_t headLength);
    // The request that took the buffer is done with it.
    void give();

    // Areas mapped in this process now.
    static std::size_t live();

  private:
    ClientMemory() = default;
    std::uint8_t* base_ = nullptr;  // the host's room, then the client's area
    std::size_t room_ = 0;
    std::size_t mapped_ = 0;
    std::uint32_t size_ = 0;
    std::atomic<bool> busy_{false};
};

}  // namespace host
