// Drives the PTP transport the way the library's PTP client does: the session
// requests, and transfers of the three phases, sent as buffered control
// requests to the driver's device object. Whole transactions (command phase,
// data phases in slices of a chosen size, response phase) on top.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "pav512/buffers.h"
#include "pav512/ioctl.h"
#include "tests/support/device_client.h"

namespace sim {
class SimCamera;
}

namespace ptptest {

using Bytes = std::vector<std::uint8_t>;
using pavtest::Reply;

std::uint32_t u32(const Bytes& b, std::size_t at);
std::uint16_t u16(const Bytes& b, std::size_t at);

// The lengths of the reads of `item` (request 0x05) the camera was asked
// for, in order.
std::vector<std::uint32_t> itemReads(const sim::SimCamera& camera, std::uint8_t item);

// Places a picture of `bytes` bytes (a synthetic frame from `seed`) in the
// camera's first memory; returns its object number and its bytes.
std::uint32_t placePicture(sim::SimCamera& camera, std::size_t bytes, std::uint32_t seed,
                           Bytes* picture);

// A request of the PTP family: the 28-byte header and `room` bytes of data.
Bytes ptpHeader(std::uint32_t session, std::size_t room = 0);
// A transfer of `kind` for `code` with `data` in a data area of `room` bytes.
Bytes transferRequest(std::uint32_t session, std::uint16_t kind, std::uint16_t code,
                      const Bytes& data, std::size_t room);

// What a transfer came back with.
struct Phase {
    NTSTATUS status = STATUS_PENDING;
    std::uint8_t moduleStatus = 0xFF;
    std::uint16_t code = 0;
    std::uint32_t total = 0;
    std::uint32_t length = 0;
    std::uint32_t offset = 0;
    Bytes data;  // `length` bytes of the data area
};

struct Transaction {
    std::uint8_t commandStatus = 0xFF;
    std::uint8_t dataStatus = 0xFF;  // of the last data phase sent
    std::uint32_t total = 0;         // as the data phases announced it
    Bytes data;
    std::uint16_t response = 0;
    std::vector<std::uint32_t> parameters;  // of the response
};

class PtpClient : public pavtest::DeviceClient {
  public:
    using DeviceClient::DeviceClient;

    // Sends and waits (real time, bounded).
    std::shared_ptr<Reply> call(ULONG code, Bytes buffer);

    std::uint8_t open(std::uint32_t* session);
    std::uint8_t openPictureService(std::uint32_t* session);
    std::uint8_t close(std::uint32_t session);
    std::uint8_t lock(std::uint32_t session);
    std::uint8_t unlock(std::uint32_t session);

    Phase transfer(std::uint32_t session, std::uint16_t kind, std::uint16_t code,
                   const Bytes& data = {}, std::size_t room = 0);
    // A class request (0x221018) of `request` with `data` sent to the camera.
    std::uint8_t classRequest(std::uint32_t session, std::uint8_t request, const Bytes& data);

    // Command phase with the parameters, data phases of `slice` bytes (or of
    // the sizes `nextSlice` picks) until the announced total has come or a
    // phase fails, then the response phase.
    Transaction run(std::uint32_t session, std::uint16_t operation,
                    const std::vector<std::uint32_t>& parameters, std::size_t slice = 4096,
                    const std::function<std::size_t()>& nextSlice = nullptr);
};

// Opens a session, locks it and opens the PTP session of the responder; the
// session is closed and unlocked when the scope ends.
class LockedSession {
  public:
    explicit LockedSession(PtpClient& client);
    ~LockedSession();
    LockedSession(const LockedSession&) = delete;
    LockedSession& operator=(const LockedSession&) = delete;
    bool ok() const { return ok_; }
    std::uint32_t id() const { return session_; }
    // The camera has gone with the session: nothing is sent at the end.
    void forget() { session_ = 0; }

  private:
    PtpClient& client_;
    std::uint32_t session_ = 0;
    bool ok_ = false;
};

}  // namespace ptptest
