// The default transport: a Unix stream socket to pav512d, one connection per
// control channel. Events the driver signals for this process arrive as
// messages and set the client's own event objects.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/user/channel_transport.h"

namespace uchannel {

// A transport to the host listening at `socketPath`, or, when empty, at the
// first of the usual places where a host answers (runtime_dir.h). Connecting,
// the hello, an open and an enumeration each give up after `timeout` with
// ERROR_TIMEOUT, so a host that is stuck or flooded never hangs its clients.
std::shared_ptr<Transport> makeSocketTransport(
    const std::string& socketPath = std::string(),
    std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace uchannel
