// The wire protocol between clients and pav512d on the Unix stream socket.
//
// Every message is an 8-byte header (32-bit payload length, 16-bit kind,
// 16-bit flags that must be 0) followed by the payload, all little-endian. A
// connection starts with Hello from each side carrying the magic and the
// protocol version; the client then sends Open (one connection is one control
// channel) or Enumerate. On an open channel the client sends Request, Cancel and
// CancelAll; the host sends Completion and EventSignal. A client may also
// share memory with the host (ShareMemory, with the memory's file descriptor
// passed beside it, answered by a Completion of its id) and then send
// RequestShared, whose output past its head is that memory: the driver writes
// it in place, and the CompletionShared answer carries only the head's bytes.
// Anything else (bad
// framing, an over-long length, an unknown kind, a message out of order, a
// request whose lengths disagree with its payload) ends that connection.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/kernel/basetypes.h"

namespace uproto {

constexpr std::uint32_t kMagic = 0x35564150;  // "PAV5"
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kHeaderLength = 8;
// The largest control buffer a request may carry, and so the largest payload.
constexpr std::uint32_t kMaxBuffer = 16u << 20;
constexpr std::uint32_t kMaxPayload = kMaxBuffer + 64;
constexpr std::uint32_t kMaxPathLength = 1024;
// The longest head of a RequestShared's output (the part the host keeps in
// its own memory, before the shared area), and the most areas a connection
// may share at once.
constexpr std::uint32_t kMaxSharedHead = 4096;
constexpr std::uint32_t kMaxSharedAreas = 16;
constexpr char kSocketName[] = "pav512d.sock";

enum class Kind : std::uint16_t {
    Hello = 1,           // u32 magic, u32 version
    Open = 2,            // path bytes
    OpenReply = 3,       // i32 status
    Enumerate = 4,       // 16-byte class GUID
    EnumerateReply = 5,  // u32 count, then per path u32 length and bytes
    Request = 6,         // u64 id, u32 code, u32 input length, u32 output length, input
    Cancel = 7,          // u64 id
    CancelAll = 8,       // empty
    Completion = 9,      // u64 id, i32 status, u32 information, information bytes
    EventSignal = 10,    // u32 client event handle
    // u64 id, u32 area, u32 size; beside it (SCM_RIGHTS) the descriptor of a
    // sealed memory file of at least that size that may not shrink
    ShareMemory = 11,
    // u64 id, u32 code, u32 input length, u32 output length, u32 area, u32
    // head length, input: output bytes from the head on are the area's from
    // its start; the input fits the head
    RequestShared = 12,
    // u64 id, i32 status, u32 information, then up to the head's length of
    // the output's bytes (the rest of the information is in the area)
    CompletionShared = 13,
    UnshareMemory = 14,  // u32 area
};
constexpr std::size_t kKindCount = 15;

// Bytes that growing leaves unwritten: room made for a receive is filled by
// the receive, so clearing it first would only be one more pass over memory
// (up to 128 KiB a receive for a long message).
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using Bytes = std::vector<std::uint8_t, UninitialisedAllocator<std::uint8_t>>;

struct Message {
    Kind kind;
    Bytes payload;
};

// Decoded payloads; decode returns nothing when the payload is malformed.
struct Hello {
    std::uint32_t magic;
    std::uint32_t version;
};
struct Request {
    std::uint64_t id;
    std::uint32_t code;
    std::uint32_t inputLength;
    std::uint32_t outputLength;
    const std::uint8_t* input;
};
struct Completion {
    std::uint64_t id;
    NTSTATUS status;
    std::uint32_t information;
    const std::uint8_t* data;
    // Of a CompletionShared: the bytes that came with it (at most the
    // information). Of a Completion: the information.
    std::uint32_t dataLength = 0;
};
struct ShareMemory {
    std::uint64_t id;
    std::uint32_t area;
    std::uint32_t size;
};
struct RequestShared {
    Request request;
    std::uint32_t area;
    std::uint32_t headLength;
};

std::vector<std::uint8_t> encodeHello();
std::vector<std::uint8_t> encodeOpen(const std::string& path);
std::vector<std::uint8_t> encodeOpenReply(NTSTATUS status);
std::vector<std::uint8_t> encodeEnumerate(const GUID& classGuid);
std::vector<std::uint8_t> encodeEnumerateReply(const std::vector<std::string>& paths);
std::vector<std::uint8_t> encodeRequest(std::uint64_t id, std::uint32_t code, const void* input,
                                        std::uint32_t inputLength, std::uint32_t outputLength);
std::vector<std::uint8_t> encodeCancel(std::uint64_t id);
std::vector<std::uint8_t> encodeCancelAll();
std::vector<std::uint8_t> encodeCompletion(std::uint64_t id, NTSTATUS status,
                                           std::uint32_t information, const void* data);
std::vector<std::uint8_t> encodeEventSignal(std::uint32_t handle);
std::vector<std::uint8_t> encodeShareMemory(std::uint64_t id, std::uint32_t area,
                                            std::uint32_t size);
std::vector<std::uint8_t> encodeUnshareMemory(std::uint32_t area);
// `dataLength` of the output's bytes come with it.
std::vector<std::uint8_t> encodeCompletionShared(std::uint64_t id, NTSTATUS status,
                                                 std::uint32_t information, const void* data,
                                                 std::uint32_t dataLength);

// The frame of a Request or a Completion up to its data, for a writer that
// sends the data from where it already is (writeAll with two parts) rather
// than copying it into one buffer first. The data that follows is
// `inputLength` (`information`) bytes long.
constexpr std::size_t kRequestHeadLength = kHeaderLength + 20;
constexpr std::size_t kCompletionHeadLength = kHeaderLength + 16;
std::array<std::uint8_t, kRequestHeadLength> encodeRequestHead(std::uint64_t id, std::uint32_t code,
                                                               std::uint32_t inputLength,
                                                               std::uint32_t outputLength);
std::array<std::uint8_t, kCompletionHeadLength> encodeCompletionHead(std::uint64_t id,
                                                                     NTSTATUS status,
                                                                     std::uint32_t information);
// A CompletionShared's frame up to the `dataLength` bytes that follow it.
std::array<std::uint8_t, kCompletionHeadLength> encodeCompletionSharedHead(
    std::uint64_t id, NTSTATUS status, std::uint32_t information, std::uint32_t dataLength);
constexpr std::size_t kRequestSharedHeadLength = kHeaderLength + 28;
std::array<std::uint8_t, kRequestSharedHeadLength> encodeRequestSharedHead(
    std::uint64_t id, std::uint32_t code, std::uint32_t inputLength, std::uint32_t outputLength,
    std::uint32_t area, std::uint32_t headLength);

std::optional<Hello> decodeHello(std::span<const std::uint8_t> p);
std::optional<std::string> decodeOpen(std::span<const std::uint8_t> p);
std::optional<NTSTATUS> decodeOpenReply(std::span<const std::uint8_t> p);
std::optional<GUID> decodeEnumerate(std::span<const std::uint8_t> p);
std::optional<std::vector<std::string>> decodeEnumerateReply(std::span<const std::uint8_t> p);
std::optional<Request> decodeRequest(std::span<const std::uint8_t> p);
std::optional<std::uint64_t> decodeCancel(std::span<const std::uint8_t> p);
std::optional<Completion> decodeCompletion(std::span<const std::uint8_t> p);
std::optional<std::uint32_t> decodeEventSignal(std::span<const std::uint8_t> p);
std::optional<ShareMemory> decodeShareMemory(std::span<const std::uint8_t> p);
std::optional<RequestShared> decodeRequestShared(std::span<const std::uint8_t> p);
std::optional<Completion> decodeCompletionShared(std::span<const std::uint8_t> p);
std::optional<std::uint32_t> decodeUnshareMemory(std::span<const std::uint8_t> p);

// The longest payload each kind may have; 0 refuses the kind. A reader checks
// a header against its table before it keeps a byte of the payload, so a
// length the kind cannot have costs nothing.
struct KindLimits {
    std::uint32_t max[kKindCount] = {};
    bool allowed[kKindCount] = {};
    KindLimits& allow(Kind kind, std::uint32_t maxPayload) {
        auto k = static_cast<std::size_t>(kind);
        allowed[k] = true;
        max[k] = maxPayload;
        return *this;
    }
};
// What a host may send a client.
KindLimits hostMessageLimits();

// Splits a byte stream into messages.
class FrameReader {
  public:
    enum class Result { NeedMore, Message, Error };
    // Every known kind up to kMaxPayload, until limit() says otherwise.
    FrameReader();
    void limit(const KindLimits& limits) { limits_ = limits; }
    void append(const std::uint8_t* data, std::size_t length);
    // For a reader that receives straight into the stream's buffer rather
    // than through one of its own: room for at least `least` bytes, or for
    // (up to 128 KiB of) the rest of a message whose header is whole and
    // allowed, so that a long message arrives in few pieces and is copied
    // once; while a long message's payload is being gathered the room is at
    // most what it still lacks. Then received() with the bytes that arrived
    // there; nothing else in between.
    std::uint8_t* receiveInto(std::size_t least, std::size_t* room);
    void received(std::size_t length);
    // For a reader that receives a long answer straight into its caller's
    // memory: true when the next message is a Completion the limits allow
    // whose 24-byte head has arrived (and whose payload is not being
    // gathered yet), with its id, status and information and how many of
    // its data bytes have arrived behind the head.
    bool peekCompletion(std::uint64_t* id, NTSTATUS* status, std::uint32_t* information,
                        std::size_t* arrived) const;
    // Takes that head and its first `n` (at most `arrived`) data bytes out
    // of the stream, copying those bytes to `first` (up to `firstLength`)
    // and then to `second`. The caller then receives the rest of the data
    // itself, before it hands the reader another byte.
    void takeCompletion(std::size_t n, std::uint8_t* first, std::size_t firstLength,
                        std::uint8_t* second);
    // A long message's payload is being gathered.
    bool gathering() const { return inBody_; }
    // Takes the next complete message out of the stream. Error is final: the
    // stream is unusable (bad header, over-long length, unknown kind).
    Result next(Message* message);
    // Bytes received and not yet taken (a half-sent message at end of stream).
    std::size_t pending() const;
    // Bytes the reader keeps allocated, room made for a message announced
    // and not yet whole included.
    std::size_t capacity() const { return buffer_.capacity() + body_.capacity(); }
    const std::string& error() const { return error_; }

  private:
    KindLimits limits_;
    Bytes buffer_;
    std::size_t offset_ = 0;
    std::size_t spare_ = 0;  // room handed out by receiveInto, not yet received
    bool spareInBody_ = false;
    // The payload of a long message, gathered on its own (see next()).
    Bytes body_;
    std::size_t bodyLength_ = 0;
    Kind bodyKind_ = Kind::Hello;
    bool inBody_ = false;
    bool failed_ = false;
    std::string error_;
};

// Blocking helpers for a socket file descriptor (the client side and tests).
bool writeAll(int fd, const std::vector<std::uint8_t>& bytes);
// Writes `head` and then `body` as one stream of bytes (one system call when
// the socket takes them).
bool writeAll(int fd, const std::uint8_t* head, std::size_t headLength, const void* body,
              std::size_t bodyLength);
// Writes the pieces in order as one stream of bytes (one system call when the
// socket takes them all).
struct Piece {
    const void* data;
    std::size_t length;
};
bool writeAll(int fd, const Piece* pieces, std::size_t count);
// Writes `bytes` whole with `count` descriptors passed beside their first
// byte (SCM_RIGHTS); the descriptors stay the caller's to close.
bool writeWithDescriptors(int fd, const std::vector<std::uint8_t>& bytes, const int* fds,
                          std::size_t count);
// Reads one message; false at end of stream, on error or on a malformed frame.
bool readMessage(int fd, FrameReader& reader, Message* message);
// As readMessage, giving up after `timeoutMs` milliseconds without the whole
// message (*timedOut is then set); a negative time-out waits for ever.
bool readMessage(int fd, FrameReader& reader, Message* message, int timeoutMs, bool* timedOut);

}  // namespace uproto
