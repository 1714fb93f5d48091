// Arbitrary byte streams into the channel server, as a client connection
// would send them; half of the inputs first open a channel on the camera so
// that the stream reaches the request handling, and half pass a sealed
// memory file beside their first bytes, which a ShareMemory in the stream
// may map (and a RequestShared use). Every connection must end when its
// client stops sending, whatever it sent.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/driver_harness.h"
#include "host/socket_server.h"
#include "platform/user/channel_protocol.h"

namespace {

host::SocketServer& server() {
    static host::SocketServer* s = host::SocketServer::startDetached(2).release();
    return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    pavfuzz::DriverHarness& h = pavfuzz::harness();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    server().adopt(fds[1]);

    std::vector<std::uint8_t> bytes;
    if (data[0] & 1) {
        bytes = uproto::encodeHello();
        auto open = uproto::encodeOpen(h.interfacePath + "\\PAV512Connect");
        bytes.insert(bytes.end(), open.begin(), open.end());
    }
    bytes.insert(bytes.end(), data + 1, data + size);
    const int memory = (data[0] & 2) ? ::memfd_create("fuzz", MFD_CLOEXEC | MFD_ALLOW_SEALING) : -1;
    if (memory >= 0 && ::ftruncate(memory, 1 << 16) == 0 &&
        ::fcntl(memory, F_ADD_SEALS, F_SEAL_SHRINK) == 0)
        uproto::writeWithDescriptors(fds[0], bytes, &memory, 1);
    else
        uproto::writeAll(fds[0], bytes);
    if (memory >= 0) ::close(memory);
    ::shutdown(fds[0], SHUT_WR);

    // The host must close its end; a connection left open is a hang.
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) std::abort();
        std::uint8_t buf[65536];
        ssize_t n = ::recv(fds[0], buf, sizeof buf, 0);
        if (n <= 0) break;
    }
    ::close(fds[0]);
    return 0;
}
