// The transport for a host running in the client's own process (tests and
// embedded use): channels go straight to HostChannel, and event handles in
// request buffers are the client's own event objects.
#pragma once

#include <memory>

#include "platform/user/channel_transport.h"

namespace host {

std::shared_ptr<uchannel::Transport> makeInProcessTransport();

}  // namespace host
