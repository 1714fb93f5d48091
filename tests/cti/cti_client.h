// Drives the command transport the way a client's channel does: buffered
// control requests sent to the driver's device object, answered through the
// gate and the dispatch switch.
#pragma once

#include <cstdint>
#include <memory>

#include "pav512/buffers.h"
#include "pav512/ioctl.h"
#include "tests/cti/cti_wire.h"
#include "tests/support/device_client.h"

struct DeviceContext;

namespace ctitest {

// Whether a transaction is being executed, read under the engine lock the
// driver changes it under.
bool hasCurrentTransaction(DeviceContext* device);

using pavtest::Reply;

class Client : public pavtest::DeviceClient {
  public:
    using DeviceClient::DeviceClient;

    std::shared_ptr<Reply> send(ULONG code, Bytes buffer) {
        return sendRequest(code, std::move(buffer));
    }
    // Sends and waits (real time, bounded).
    std::shared_ptr<Reply> call(ULONG code, Bytes buffer);

    // The session commands, answering the module status (and the session of an open).
    std::uint8_t open(bool exclusive, ULONG* session);
    std::uint8_t close(ULONG session);
    std::uint8_t lock(ULONG session, ULONG thread, bool tieToThread);
    std::uint8_t unlock(ULONG session, ULONG thread);
    std::uint8_t reset(ULONG session);
    std::uint8_t abortTask(ULONG session, ULONG task);
};

}  // namespace ctitest
