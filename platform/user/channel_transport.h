// What carries control channels between a client and the driver host. Two
// transports behave the same: the host in this process (tests, embedded use;
// host/ installs it) and a Unix stream socket to pav512d (the default).
// Nothing here knows the host: the host implements these interfaces.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/ntstatus.h"
#include "platform/user/win32.h"

namespace uchannel {

// The answer to one request: completion status, information (bytes of the
// system buffer that are valid) and those bytes. `data` is valid during the call.
using ReplyFn =
    std::function<void(NTSTATUS status, std::uint32_t information, const std::uint8_t* data)>;

// Where a reply's bytes are to end up: up to two pieces of the caller's
// memory, filled in order (a request's header, then the caller's own data
// area), so a long answer can be received where it is wanted instead of
// being copied there from a message.
struct ReplyPlace {
    std::uint8_t* part[2] = {nullptr, nullptr};
    std::uint32_t length[2] = {0, 0};
    std::uint32_t total() const { return length[0] + length[1]; }
    // Copies min(n, total()) bytes of `data` into the pieces.
    void fill(const std::uint8_t* data, std::uint32_t n) const;
};

// A request's input in up to two pieces of the caller's memory, sent in
// order (a request's header, then the caller's own data area), so that a
// long input goes out from where it is instead of being joined first.
struct InputParts {
    const std::uint8_t* part[2] = {nullptr, nullptr};
    std::uint32_t length[2] = {0, 0};
    std::uint32_t total() const { return length[0] + length[1]; }
};

// One open channel: a file object on a device interface of the driver.
class Channel {
  public:
    virtual ~Channel() = default;
    // Sends one buffered device-control request. `done` runs exactly once, on
    // any thread, possibly before submit returns. Returns the request's id.
    virtual std::uint64_t submit(std::uint32_t code, const void* input, std::uint32_t inputLength,
                                 std::uint32_t outputLength, ReplyFn done) = 0;
    // As submit, with the reply's bytes put into `place` before `done` runs
    // (which is then given no data: status and information only). Bytes of
    // an answer longer than the place are dropped, and the answer of a
    // request that failed (NT_ERROR) leaves the place as it was. This one
    // copies the answer there; a transport that can receive it there
    // directly does so.
    // `waited`: as submitWaited (the caller calls waitDirect next).
    virtual std::uint64_t submitInto(std::uint32_t code, const void* input,
                                     std::uint32_t inputLength, std::uint32_t outputLength,
                                     const ReplyPlace& place, ReplyFn done, bool waited = false);
    // As submitInto, with the input in two pieces. This one joins them into
    // one buffer; a transport that can send them as they are does so.
    virtual std::uint64_t submitParts(std::uint32_t code, const InputParts& input,
                                      std::uint32_t outputLength, const ReplyPlace& place,
                                      ReplyFn done, bool waited = false);
    // Asks the driver to cancel one request, or every pending one.
    virtual void cancel(std::uint64_t id) = 0;
    virtual void cancelAll() = 0;
    // Lets a thread that is about to wait for request `id` read the
    // channel's answers itself rather than be woken by another thread that
    // read them: answers (its own, others that come first, events) run on
    // the calling thread until `id` has been answered. False at once when
    // the transport has no such path, `id` is not pending, or another thread
    // is reading; the caller then waits as usual. After true the caller
    // still waits as usual, which then returns at once (or as soon as a
    // broken channel's failure reaches `id`).
    virtual bool waitDirect(std::uint64_t id) {
        (void)id;
        return false;
    }
    // As submit, for a caller that calls waitDirect(id) next, always (also
    // when the id is 0 or `done` has run): a transport may keep the channel's
    // answers for that wait from before the request goes out.
    virtual std::uint64_t submitWaited(std::uint32_t code, const void* input,
                                       std::uint32_t inputLength, std::uint32_t outputLength,
                                       ReplyFn done) {
        return submit(code, input, inputLength, outputLength, std::move(done));
    }
    // While the calling thread holds the channel's requests, the ones it
    // submits (other than waited ones) are kept and go out together when it
    // lets go, in one write, so that the host takes them in at one wake
    // rather than one each. Anything else sent on the channel meanwhile (by
    // another thread, a cancel, a waited request) sends them first, so the
    // order they were made in is kept. A transport without such a path sends
    // each at once.
    virtual void holdRequests(bool hold) { (void)hold; }
    // Memory of `size` bytes that the channel shares with the host, zeroed:
    // a request whose place's second piece starts there (and fits it), whose
    // input fits the place's first piece, and which is the only one using
    // it, has that piece written by the driver in place, so only the first
    // piece crosses to this process. Null when the transport has no such
    // memory; the caller then uses memory of its own, which works the same.
    // Valid until unshareMemory or close.
    virtual std::uint8_t* shareMemory(std::uint32_t size) {
        (void)size;
        return nullptr;
    }
    // Gives back memory of shareMemory; a request still using it ends as it
    // would have.
    virtual void unshareMemory(std::uint8_t* memory) { (void)memory; }
    // Cancels what is still pending, waits until every `done` has run, and
    // closes the channel in the host (which also closes what the channel left
    // open), giving back its shared memory. The channel accepts nothing
    // afterwards.
    virtual void close() = 0;
};

class Transport {
  public:
    virtual ~Transport() = default;
    // The paths of the device interfaces of the class that are registered and
    // enabled in the host. Returns a Win32 error code.
    virtual DWORD enumerateInterfaces(const GUID& classGuid, std::vector<std::string>* paths) = 0;
    // Opens a channel on a device interface path, optionally followed by a
    // file name ("\\?\usb#...#{guid}\PAV512Connect"). Returns a Win32 error code.
    virtual DWORD open(const std::string& path, std::unique_ptr<Channel>* channel) = 0;
};

// Installs the transport every later CreateFileA and SetupDi call uses; null
// returns to the default, the socket of pav512d.
void setTransport(std::shared_ptr<Transport> transport);
std::shared_ptr<Transport> currentTransport();

// The Win32 error a completion status turns into.
DWORD win32ErrorOf(NTSTATUS status);

// Device interface paths as user mode sees them ("\\?\...") and as the kernel
// registers them ("\??\...").
std::string userPathOf(const std::string& kernelLink);
std::string kernelPathOf(const std::string& userPath);

}  // namespace uchannel
