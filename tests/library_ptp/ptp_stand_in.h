// A stand-in for the driver's PTP transport whose answers the test chooses:
// one device with an interface of the camera's class that answers the PTP
// family's codes and records every request it sees.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/wdm.h"

namespace ptplibtest {

class PtpStandIn {
  public:
    struct Seen {
        ULONG code;
        std::vector<std::uint8_t> bytes;  // the request as it arrived
    };
    struct Answers {
        std::uint8_t openStatus = 0;       // of both connect requests
        std::uint16_t version = 0x0203;    // the version request's answer
        std::uint8_t lockStatus = 0;       // of the lock request
        std::uint8_t transferStatus = 0;   // of transfers and commands
        std::uint16_t responseCode = 0x2001;  // what a response phase returns
        std::vector<std::uint8_t> data;    // what data and response phases return
        std::uint32_t claimedLength = 0;   // non-zero: the reply's length word says this
    };

    static std::unique_ptr<PtpStandIn> create(const std::string& instance);
    ~PtpStandIn();

    std::string interfacePath() const;
    void answer(const Answers& a);
    std::vector<Seen> seen() const;
    std::size_t count(ULONG code) const;

    struct State;

  private:
    PtpStandIn() = default;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    UNICODE_STRING link_{};
};

}  // namespace ptplibtest
