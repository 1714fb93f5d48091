// What a control channel holds open in the driver: command sessions and the
// command lock, PTP sessions and the PTP lock, video streams, event
// registrations. The host watches each request and its reply, so that when a
// channel closes without closing them (a client that crashed, or one that
// simply forgot) it can send the closing requests itself, as that channel.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/kernel/ntstatus.h"

namespace host {

struct ClosingRequest {
    std::uint32_t code;
    std::vector<std::uint8_t> buffer;
};

class SessionLedger {
  public:
    // Records the effect of one completed request: `request` is what the
    // client sent, `reply` the bytes the driver answered (`information` long).
    void observe(std::uint32_t code, const std::uint8_t* request, std::uint32_t requestLength,
                 NTSTATUS status, std::uint32_t information, const std::uint8_t* reply);

    // The requests that release everything still open, in the order to send
    // them: locks, streams (stop, then close), PTP sessions, command sessions,
    // event registrations.
    std::vector<ClosingRequest> closingRequests() const;

    bool empty() const;

  private:
    mutable std::mutex lock_;
    std::multiset<std::uint32_t> commandSessions_;
    std::set<std::pair<std::uint32_t, std::uint32_t>> commandLocks_;  // session, thread
    std::multiset<std::uint32_t> ptpSessions_;
    std::set<std::uint32_t> ptpLocks_;
    std::multiset<std::uint32_t> streams_;
    std::set<std::uint32_t> eventHandles_;
};

}  // namespace host
