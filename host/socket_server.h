// The channel server of pav512d: a Unix stream socket on which each connection
// is one control channel (or one enumeration of the device interfaces). One
// thread does all socket I/O; requests are handed to the driver by a small pool
// of dispatch threads, in order per connection. A connection that breaks the
// protocol, or whose client dies, is closed alone: its channel is closed as if
// the client had closed it, which releases everything the client held.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace host {

class SocketServer {
  public:
    struct Options {
        std::string socketPath;            // its directory is created with mode 0700 if missing
        bool checkPeerCredentials = true;  // accept only the same user or root
        unsigned dispatchThreads = 2;
    };

    // Listens and serves until stop(); null with `error` set when it cannot.
    static std::unique_ptr<SocketServer> start(const Options& options, std::string* error);
    // A server without a listening socket; connections come through adopt().
    static std::unique_ptr<SocketServer> startDetached(unsigned dispatchThreads = 2);
    ~SocketServer();

    // Stops accepting, closes every connection (and so its channel), and
    // waits for the threads.
    void stop();
    // Serves an already connected socket; the server owns it from now on.
    void adopt(int fd);

    std::size_t connectionCount() const;
    // Connections ended for breaking the protocol.
    std::uint64_t protocolErrors() const;
    const std::string& socketPath() const;

    struct Impl;

  private:
    explicit SocketServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace host
