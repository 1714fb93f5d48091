// The channel server of pav512d: a Unix stream socket on which each connection
// is one control channel (or one enumeration of the device interfaces). One
// thread at a time runs the socket loop through epoll, so an idle connection
// costs nothing. Requests reach the driver in order per connection: the
// loop's thread runs a connection's requests itself, so a request the driver
// completes at once is answered from the thread that read it, with no other
// thread woken; a request that keeps that thread past a short grace (or waits
// for room in the budget) hands the loop to another thread of the pool
// first, and the pool grows while requests block in the driver, so a request
// that blocks delays only its own channel (others by the grace at most).
//
// Every client is untrusted. A message's length is checked against what its
// kind may carry before a byte of it is kept; the hello must come first and
// in time; a started message must end in time; a reply is never longer than
// its request's buffer; every connection has bounds on its queued output and
// its requests in flight, and all connections share one memory budget. A
// connection that breaks the protocol or goes over a bound is closed alone:
// its channel is closed as if the client had closed it, which releases
// everything the client held.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

// The process at the other end of a Unix socket, as the kernel reports it.
struct PeerIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
};
// Nothing when the credentials cannot be read.
std::optional<PeerIdentity> peerIdentityOf(int fd);

// Who may use the host: its owner, root, and the members of one group.
class PeerPolicy {
  public:
    PeerPolicy(uid_t owner, std::optional<gid_t> group) : owner_(owner), group_(group) {}
    // Unreadable credentials are refused.
    bool admits(const std::optional<PeerIdentity>& peer) const;

  private:
    uid_t owner_;
    std::optional<gid_t> group_;
};

class SocketServer {
  public:
    struct Limits {
        // From connecting to the open (or enumeration): hello first, then one of those.
        std::chrono::milliseconds setupDeadline{10000};
        // A message once started must arrive whole within this.
        std::chrono::milliseconds messageDeadline{10000};
        // Output the client has not read yet.
        std::size_t maxQueuedOutput = std::size_t{40} << 20;
        std::size_t maxRequestsInFlight = 64;
        // Bytes of every connection together (messages being read, requests in
        // the driver, output not yet read); past it the connection holding the
        // most is closed.
        std::size_t memoryBudget = std::size_t{128} << 20;
        std::size_t maxConnections = 16384;
        // Areas of client memory mapped at once in the process (each costs
        // the process two of its memory mappings).
        std::size_t maxSharedAreas = 4096;
    };

    struct Options {
        // A missing directory is created private (or group-accessible with
        // `group`); an existing one is left as it is.
        std::string socketPath;
        bool checkPeerCredentials = true;  // owner, root and `group` only
        std::optional<gid_t> group;        // members may use the host
        unsigned dispatchThreads = 2;      // kept ready; more start while requests block
        unsigned maxDispatchThreads = 1024;
        Limits limits;
        // A listening socket handed over by the service manager (socket
        // activation): served as it is; its path belongs to the manager and
        // is neither bound nor removed here.
        int inheritedListener = -1;
    };

    // Listens and serves until stop(); null with `error` set when it cannot.
    // Another host serving the same path is detected without blocking.
    static std::unique_ptr<SocketServer> start(const Options& options, std::string* error);
    // A server without a listening socket; connections come through adopt().
    static std::unique_ptr<SocketServer> startDetached(unsigned dispatchThreads = 2);
    ~SocketServer();

    // Stops accepting, lets requests in flight finish for up to `grace`,
    // then closes every connection (and so its channel, cancelling what is
    // still pending) and waits for the threads.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(0));
    // Serves an already connected socket; the server owns it from now on.
    void adopt(int fd);

    std::size_t connectionCount() const;
    // Connections ended for breaking the protocol.
    std::uint64_t protocolErrors() const;
    // Requests answered with their output written into the client's shared
    // memory (only the head crossing the socket).
    std::uint64_t sharedAnswers() const;
    // Connections ended for going over a bound or a deadline.
    std::uint64_t boundsExceeded() const;
    // Bytes held for all connections now, and requests in the driver.
    std::size_t memoryInUse() const;
    std::size_t requestsInFlight() const;
    unsigned dispatchThreadCount() const;
    const std::string& socketPath() const;

    struct Impl;

  private:
    explicit SocketServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The longest reply a request may get: its code works in place on the buffer
// the client sent, so nothing longer than that buffer (or the code's fixed
// reply) can come back.
std::uint32_t replyLimit(std::uint32_t code, std::uint32_t inputLength);
// The same for a request whose first `inputLength` bytes are at `input`. A
// stream read is the one code whose data area only comes back (the frame
// the driver fills in): its input may be the header alone, and its reply as
// long as that header announces, never longer than any buffer may be.
std::uint32_t replyLimit(std::uint32_t code, const std::uint8_t* input, std::uint32_t inputLength);

}  // namespace host
