// A small driver for the channel tests: one device with an interface of the
// camera's class, answering the open and close codes of every family the way
// the real modules will (sessions, locks, streams, event registrations), so
// the channels and the session ledger can be tested before those modules
// exist. It records every request it sees.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/wdm.h"

namespace pavtest {

// Held until released or cancelled.
constexpr ULONG kHoldCode = 0x22001C;
// Blocks in the dispatch routine, on the caller's thread, until released (as
// a diagnostic bulk transfer polls in the caller's thread).
constexpr ULONG kBlockCode = 0x22041C;

class FakeDriver {
  public:
    struct Seen {
        ULONG code;
        std::uint32_t at4;   // session / stream handle
        std::uint32_t at8;   // thread / state
        std::uint32_t at24;  // event handle of the notification codes
    };

    // Loads the driver and adds one device named by `instance`; its interface
    // is enabled.
    static std::unique_ptr<FakeDriver> create(
        const std::string& instance = "USB\\VID_F1A5&PID_0B2D\\5&1&1");
    ~FakeDriver();

    std::string interfacePath() const;  // user-mode form
    void disableInterface();

    std::vector<Seen> seen() const;
    std::size_t count(ULONG code) const;
    // Held requests and how many were cancelled.
    std::size_t held() const;
    int cancelled() const;
    // Completes every held request with success and module status 0.
    void releaseHeld();
    // Requests of kBlockCode blocking now; release lets every one return.
    std::size_t blocking() const;
    void releaseBlocking();
    // Sets every registered event.
    void signalEvents();
    std::size_t registeredEvents() const;

    struct State;

  private:
    FakeDriver() = default;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    UNICODE_STRING link_{};
    bool enabled_ = false;
};

}  // namespace pavtest
