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
// Fills the output past the input with fillByte(offset) and answers the
// whole output (a code of no family: only this driver knows it).
constexpr ULONG kFillCode = 0x22FFF0;
constexpr std::uint8_t fillByte(std::size_t offset) {
    return static_cast<std::uint8_t>(offset * 7 + 3);
}
// An open of a file name starting so blocks in the driver until released, as an
// open waiting for a module's lock does.
constexpr const char* kBlockingOpenName = "\\BlockOpen";

class FakeDriver {
  public:
    struct Seen {
        ULONG code;
        std::uint32_t at4;   // session / stream handle
        std::uint32_t at8;   // thread / state
        std::uint32_t at24;  // event handle of the notification codes
        std::vector<std::uint8_t> bytes;  // the request buffer as it arrived
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
    // Requests of kBlockCode (and opens of kBlockingOpenName) blocking now;
    // release lets every one return.
    std::size_t blocking() const;
    void releaseBlocking();
    // Sets every registered event.
    void signalEvents();
    std::size_t registeredEvents() const;
    // What the video property codes answer: the identification request's
    // ids, and the module status of property get, set and default (a get
    // that succeeds fills its data area with 0xA0, 0xA1, ...).
    void setDeviceIds(std::uint32_t vendor, std::uint32_t product);
    void setPropertyStatus(std::uint8_t status);

    struct State;

  private:
    FakeDriver() = default;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    UNICODE_STRING link_{};
    bool enabled_ = false;
};

}  // namespace pavtest
