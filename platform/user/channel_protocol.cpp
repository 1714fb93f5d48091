#include "platform/user/channel_protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace uproto {
namespace {

class Writer {
  public:
    Writer(Kind kind, std::size_t payload) {
        // The header is the vector's first content, made at its full size:
        // growing an empty vector by pieces trips a false overflow warning
        // of GCC 12 at -O3.
        std::uint8_t header[kHeaderLength] = {};
        const auto length = static_cast<std::uint32_t>(payload);
        const auto k = static_cast<std::uint16_t>(kind);
        std::memcpy(header, &length, 4);
        std::memcpy(header + 4, &k, 2);
        bytes_.reserve(kHeaderLength + payload);
        bytes_.assign(header, header + kHeaderLength);
    }
    void u16(std::uint16_t v) { raw(&v, 2); }
    void u32(std::uint32_t v) { raw(&v, 4); }
    void u64(std::uint64_t v) { raw(&v, 8); }
    void raw(const void* p, std::size_t n) {
        if (n == 0) return;
        auto* b = static_cast<const std::uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

  private:
    std::vector<std::uint8_t> bytes_;
};

class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> p) : p_(p) {}
    bool u32(std::uint32_t* v) { return raw(v, 4); }
    bool u64(std::uint64_t* v) { return raw(v, 8); }
    bool raw(void* out, std::size_t n) {
        if (p_.size() - at_ < n) return false;
        std::memcpy(out, p_.data() + at_, n);
        at_ += n;
        return true;
    }
    const std::uint8_t* here() const { return p_.data() + at_; }
    std::size_t left() const { return p_.size() - at_; }

  private:
    std::span<const std::uint8_t> p_;
    std::size_t at_ = 0;
};

bool knownKind(std::uint16_t k) {
    return k >= static_cast<std::uint16_t>(Kind::Hello) &&
           k < kKindCount;
}

}  // namespace

std::vector<std::uint8_t> encodeHello() {
    Writer w(Kind::Hello, 8);
    w.u32(kMagic);
    w.u32(kVersion);
    return w.take();
}

std::vector<std::uint8_t> encodeOpen(const std::string& path) {
    Writer w(Kind::Open, path.size());
    w.raw(path.data(), path.size());
    return w.take();
}

std::vector<std::uint8_t> encodeOpenReply(NTSTATUS status) {
    Writer w(Kind::OpenReply, 4);
    w.u32(static_cast<std::uint32_t>(status));
    return w.take();
}

std::vector<std::uint8_t> encodeEnumerate(const GUID& classGuid) {
    Writer w(Kind::Enumerate, sizeof(GUID));
    w.raw(&classGuid, sizeof(GUID));
    return w.take();
}

std::vector<std::uint8_t> encodeEnumerateReply(const std::vector<std::string>& paths) {
    std::size_t size = 4;
    for (auto& p : paths) size += 4 + p.size();
    Writer w(Kind::EnumerateReply, size);
    w.u32(static_cast<std::uint32_t>(paths.size()));
    for (auto& p : paths) {
        w.u32(static_cast<std::uint32_t>(p.size()));
        w.raw(p.data(), p.size());
    }
    return w.take();
}

std::vector<std::uint8_t> encodeRequest(std::uint64_t id, std::uint32_t code, const void* input,
                                        std::uint32_t inputLength, std::uint32_t outputLength) {
    Writer w(Kind::Request, 20 + std::size_t{inputLength});
    w.u64(id);
    w.u32(code);
    w.u32(inputLength);
    w.u32(outputLength);
    w.raw(input, inputLength);
    return w.take();
}

std::vector<std::uint8_t> encodeCancel(std::uint64_t id) {
    Writer w(Kind::Cancel, 8);
    w.u64(id);
    return w.take();
}

std::vector<std::uint8_t> encodeCancelAll() {
    return Writer(Kind::CancelAll, 0).take();
}

std::vector<std::uint8_t> encodeCompletion(std::uint64_t id, NTSTATUS status,
                                           std::uint32_t information, const void* data) {
    if (data == nullptr) information = 0;
    Writer w(Kind::Completion, 16 + std::size_t{information});
    w.u64(id);
    w.u32(static_cast<std::uint32_t>(status));
    w.u32(information);
    w.raw(data, information);
    return w.take();
}

namespace {

template <std::size_t N>
class HeadWriter {
  public:
    HeadWriter(Kind kind, std::size_t payload) {
        u32(static_cast<std::uint32_t>(payload));
        u16(static_cast<std::uint16_t>(kind));
        u16(0);
    }
    void u16(std::uint16_t v) { raw(&v, 2); }
    void u32(std::uint32_t v) { raw(&v, 4); }
    void u64(std::uint64_t v) { raw(&v, 8); }
    std::array<std::uint8_t, N> take() { return bytes_; }

  private:
    void raw(const void* p, std::size_t n) {
        std::memcpy(bytes_.data() + at_, p, n);
        at_ += n;
    }
    std::array<std::uint8_t, N> bytes_{};
    std::size_t at_ = 0;
};

}  // namespace

std::array<std::uint8_t, kRequestHeadLength> encodeRequestHead(std::uint64_t id, std::uint32_t code,
                                                               std::uint32_t inputLength,
                                                               std::uint32_t outputLength) {
    HeadWriter<kRequestHeadLength> w(Kind::Request, 20 + std::size_t{inputLength});
    w.u64(id);
    w.u32(code);
    w.u32(inputLength);
    w.u32(outputLength);
    return w.take();
}

std::array<std::uint8_t, kCompletionHeadLength> encodeCompletionHead(std::uint64_t id,
                                                                     NTSTATUS status,
                                                                     std::uint32_t information) {
    HeadWriter<kCompletionHeadLength> w(Kind::Completion, 16 + std::size_t{information});
    w.u64(id);
    w.u32(static_cast<std::uint32_t>(status));
    w.u32(information);
    return w.take();
}

std::vector<std::uint8_t> encodeEventSignal(std::uint32_t handle) {
    Writer w(Kind::EventSignal, 4);
    w.u32(handle);
    return w.take();
}

std::vector<std::uint8_t> encodeShareMemory(std::uint64_t id, std::uint32_t area,
                                            std::uint32_t size) {
    Writer w(Kind::ShareMemory, 16);
    w.u64(id);
    w.u32(area);
    w.u32(size);
    return w.take();
}

std::vector<std::uint8_t> encodeUnshareMemory(std::uint32_t area) {
    Writer w(Kind::UnshareMemory, 4);
    w.u32(area);
    return w.take();
}

std::vector<std::uint8_t> encodeCompletionShared(std::uint64_t id, NTSTATUS status,
                                                 std::uint32_t information, const void* data,
                                                 std::uint32_t dataLength) {
    if (data == nullptr) dataLength = 0;
    dataLength = std::min(dataLength, information);
    Writer w(Kind::CompletionShared, 16 + std::size_t{dataLength});
    w.u64(id);
    w.u32(static_cast<std::uint32_t>(status));
    w.u32(information);
    w.raw(data, dataLength);
    return w.take();
}

std::array<std::uint8_t, kCompletionHeadLength> encodeCompletionSharedHead(
    std::uint64_t id, NTSTATUS status, std::uint32_t information, std::uint32_t dataLength) {
    HeadWriter<kCompletionHeadLength> w(Kind::CompletionShared, 16 + std::size_t{dataLength});
    w.u64(id);
    w.u32(static_cast<std::uint32_t>(status));
    w.u32(information);
    return w.take();
}

std::array<std::uint8_t, kRequestSharedHeadLength> encodeRequestSharedHead(
    std::uint64_t id, std::uint32_t code, std::uint32_t inputLength, std::uint32_t outputLength,
    std::uint32_t area, std::uint32_t headLength) {
    HeadWriter<kRequestSharedHeadLength> w(Kind::RequestShared, 28 + std::size_t{inputLength});
    w.u64(id);
    w.u32(code);
    w.u32(inputLength);
    w.u32(outputLength);
    w.u32(area);
    w.u32(headLength);
    return w.take();
}

std::optional<Hello> decodeHello(std::span<const std::uint8_t> p) {
    Reader r(p);
    Hello h{};
    if (p.size() != 8 || !r.u32(&h.magic) || !r.u32(&h.version)) return std::nullopt;
    return h;
}

std::optional<std::string> decodeOpen(std::span<const std::uint8_t> p) {
    if (p.empty() || p.size() > kMaxPathLength) return std::nullopt;
    std::string s(p.begin(), p.end());
    if (s.find('\0') != std::string::npos) return std::nullopt;
    return s;
}

std::optional<NTSTATUS> decodeOpenReply(std::span<const std::uint8_t> p) {
    Reader r(p);
    std::uint32_t v;
    if (p.size() != 4 || !r.u32(&v)) return std::nullopt;
    return static_cast<NTSTATUS>(v);
}

std::optional<GUID> decodeEnumerate(std::span<const std::uint8_t> p) {
    Reader r(p);
    GUID g;
    if (p.size() != sizeof(GUID) || !r.raw(&g, sizeof g)) return std::nullopt;
    return g;
}

std::optional<std::vector<std::string>> decodeEnumerateReply(std::span<const std::uint8_t> p) {
    Reader r(p);
    std::uint32_t count;
    if (!r.u32(&count)) return std::nullopt;
    std::vector<std::string> out;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t len;
        if (!r.u32(&len) || len > kMaxPathLength || r.left() < len) return std::nullopt;
        std::string path(len, '\0');
        r.raw(path.data(), len);
        out.push_back(std::move(path));
    }
    if (r.left() != 0) return std::nullopt;
    return out;
}

std::optional<Request> decodeRequest(std::span<const std::uint8_t> p) {
    Reader r(p);
    Request q{};
    if (!r.u64(&q.id) || !r.u32(&q.code) || !r.u32(&q.inputLength) || !r.u32(&q.outputLength))
        return std::nullopt;
    if (q.inputLength > kMaxBuffer || q.outputLength > kMaxBuffer || r.left() != q.inputLength)
        return std::nullopt;
    q.input = r.here();
    return q;
}

std::optional<std::uint64_t> decodeCancel(std::span<const std::uint8_t> p) {
    Reader r(p);
    std::uint64_t id;
    if (p.size() != 8 || !r.u64(&id)) return std::nullopt;
    return id;
}

std::optional<Completion> decodeCompletion(std::span<const std::uint8_t> p) {
    Reader r(p);
    Completion c{};
    std::uint32_t st;
    if (!r.u64(&c.id) || !r.u32(&st) || !r.u32(&c.information) || r.left() != c.information)
        return std::nullopt;
    c.status = static_cast<NTSTATUS>(st);
    c.data = r.here();
    c.dataLength = c.information;
    return c;
}

std::optional<ShareMemory> decodeShareMemory(std::span<const std::uint8_t> p) {
    Reader r(p);
    ShareMemory s{};
    if (p.size() != 16 || !r.u64(&s.id) || !r.u32(&s.area) || !r.u32(&s.size)) return std::nullopt;
    return s;
}

std::optional<RequestShared> decodeRequestShared(std::span<const std::uint8_t> p) {
    Reader r(p);
    RequestShared s{};
    Request& q = s.request;
    if (!r.u64(&q.id) || !r.u32(&q.code) || !r.u32(&q.inputLength) || !r.u32(&q.outputLength) ||
        !r.u32(&s.area) || !r.u32(&s.headLength))
        return std::nullopt;
    if (q.outputLength > kMaxBuffer || s.headLength > kMaxSharedHead ||
        s.headLength > q.outputLength || q.inputLength > s.headLength ||
        r.left() != q.inputLength)
        return std::nullopt;
    q.input = r.here();
    return s;
}

std::optional<Completion> decodeCompletionShared(std::span<const std::uint8_t> p) {
    Reader r(p);
    Completion c{};
    std::uint32_t st;
    if (!r.u64(&c.id) || !r.u32(&st) || !r.u32(&c.information) || r.left() > c.information ||
        r.left() > kMaxSharedHead)
        return std::nullopt;
    c.status = static_cast<NTSTATUS>(st);
    c.data = r.here();
    c.dataLength = static_cast<std::uint32_t>(r.left());
    return c;
}

std::optional<std::uint32_t> decodeUnshareMemory(std::span<const std::uint8_t> p) {
    Reader r(p);
    std::uint32_t area;
    if (p.size() != 4 || !r.u32(&area)) return std::nullopt;
    return area;
}

std::optional<std::uint32_t> decodeEventSignal(std::span<const std::uint8_t> p) {
    Reader r(p);
    std::uint32_t h;
    if (p.size() != 4 || !r.u32(&h)) return std::nullopt;
    return h;
}

KindLimits hostMessageLimits() {
    return KindLimits()
        .allow(Kind::Hello, 8)
        .allow(Kind::OpenReply, 4)
        .allow(Kind::EnumerateReply, kMaxPayload)
        .allow(Kind::Completion, 16 + kMaxBuffer)
        .allow(Kind::EventSignal, 4)
        .allow(Kind::CompletionShared, 16 + kMaxSharedHead);
}

FrameReader::FrameReader() {
    for (std::uint16_t k = static_cast<std::uint16_t>(Kind::Hello);
         k < kKindCount; ++k)
        limits_.allow(static_cast<Kind>(k), kMaxPayload);
}

namespace {

// Drops what was consumed before the buffer grows, so a long-lived connection
// does not keep every byte it ever received, nor the room a large message
// once needed.
void compact(Bytes& buffer, std::size_t& offset) {
    if (offset > 0 && offset == buffer.size()) {
        buffer.clear();
        offset = 0;
        if (buffer.capacity() > (1u << 16)) Bytes().swap(buffer);
    } else if (offset > (1u << 16)) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
        offset = 0;
    }
}

}  // namespace

void FrameReader::append(const std::uint8_t* data, std::size_t length) {
    if (failed_) return;
    if (inBody_) {
        const std::size_t n = std::min(length, bodyLength_ - body_.size());
        body_.insert(body_.end(), data, data + n);
        data += n;
        length -= n;
        if (length == 0) return;
    }
    compact(buffer_, offset_);
    buffer_.insert(buffer_.end(), data, data + length);
}

std::uint8_t* FrameReader::receiveInto(std::size_t least, std::size_t* room) {
    // Room is made (and touched) only as far as one receive goes: a message
    // announced long and sent slowly holds no more memory than has arrived.
    constexpr std::size_t kMostAtOnce = std::size_t{1} << 17;
    if (!failed_ && inBody_ && body_.size() < bodyLength_) {
        const std::size_t want = std::min(bodyLength_ - body_.size(), kMostAtOnce);
        const std::size_t at = body_.size();
        body_.resize(at + want);
        spare_ = want;
        spareInBody_ = true;
        *room = want;
        return body_.data() + at;
    }
    if (!failed_) compact(buffer_, offset_);
    std::size_t want = least;
    if (!failed_ && pending() >= kHeaderLength) {
        std::uint32_t length;
        std::uint16_t kind, flags;
        const std::uint8_t* h = buffer_.data() + offset_;
        std::memcpy(&length, h, 4);
        std::memcpy(&kind, h + 4, 2);
        std::memcpy(&flags, h + 6, 2);
        // Only a header next() would take makes room for its message.
        if (knownKind(kind) && limits_.allowed[kind] && length <= limits_.max[kind] && flags == 0) {
            const std::size_t whole = kHeaderLength + std::size_t{length};
            if (whole > pending()) want = std::max(want, std::min(whole - pending(), kMostAtOnce));
        }
    }
    const std::size_t at = buffer_.size();
    buffer_.resize(at + want);
    spare_ = want;
    spareInBody_ = false;
    *room = want;
    return buffer_.data() + at;
}

void FrameReader::received(std::size_t length) {
    if (length > spare_) length = spare_;
    Bytes& into = spareInBody_ ? body_ : buffer_;
    into.resize(into.size() - (spare_ - length));
    spare_ = 0;
    spareInBody_ = false;
}

bool FrameReader::peekCompletion(std::uint64_t* id, NTSTATUS* status, std::uint32_t* information,
                                 std::size_t* arrived) const {
    if (failed_ || inBody_ || spare_ || buffer_.size() - offset_ < kCompletionHeadLength)
        return false;
    const std::uint8_t* h = buffer_.data() + offset_;
    std::uint32_t length, st, info;
    std::uint16_t kind, flags;
    std::memcpy(&length, h, 4);
    std::memcpy(&kind, h + 4, 2);
    std::memcpy(&flags, h + 6, 2);
    if (kind != static_cast<std::uint16_t>(Kind::Completion) || !limits_.allowed[kind] ||
        length > limits_.max[kind] || flags != 0 || length < 16)
        return false;
    std::memcpy(id, h + 8, 8);
    std::memcpy(&st, h + 16, 4);
    std::memcpy(&info, h + 20, 4);
    // A head whose information disagrees with its length is left to next(),
    // which ends the stream over it.
    if (std::size_t{info} + 16 != length) return false;
    *status = static_cast<NTSTATUS>(st);
    *information = info;
    *arrived = std::min<std::size_t>(buffer_.size() - offset_ - kCompletionHeadLength, info);
    return true;
}

void FrameReader::takeCompletion(std::size_t n, std::uint8_t* first, std::size_t firstLength,
                                 std::uint8_t* second) {
    const std::size_t have = buffer_.size() - offset_ - kCompletionHeadLength;
    n = std::min(n, have);
    const std::uint8_t* data = buffer_.data() + offset_ + kCompletionHeadLength;
    const std::size_t a = std::min(n, firstLength);
    if (a) std::memcpy(first, data, a);
    if (n > a) std::memcpy(second, data + a, n - a);
    offset_ += kCompletionHeadLength + n;
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    }
}

std::size_t FrameReader::pending() const {
    return buffer_.size() - offset_ + (inBody_ ? kHeaderLength + body_.size() : 0);
}

FrameReader::Result FrameReader::next(Message* message) {
    if (failed_) return Result::Error;
    if (inBody_) {
        if (body_.size() < bodyLength_) return Result::NeedMore;
        // Handed over whole, never copied again.
        message->kind = bodyKind_;
        message->payload.swap(body_);
        Bytes().swap(body_);
        inBody_ = false;
        bodyLength_ = 0;
        return Result::Message;
    }
    if (pending() < kHeaderLength) return Result::NeedMore;
    std::uint32_t length;
    std::uint16_t kind, flags;
    const std::uint8_t* h = buffer_.data() + offset_;
    std::memcpy(&length, h, 4);
    std::memcpy(&kind, h + 4, 2);
    std::memcpy(&flags, h + 6, 2);
    const bool known = knownKind(kind);
    const bool allowed = known && limits_.allowed[kind];
    if (!allowed || length > limits_.max[kind] || flags != 0) {
        failed_ = true;
        error_ = !known     ? "unknown kind"
                 : !allowed ? "a message of a kind not allowed here"
                 : flags    ? "bad flags"
                            : "over-long message";
        buffer_.clear();
        buffer_.shrink_to_fit();
        offset_ = 0;
        return Result::Error;
    }
    if (length > (1u << 16)) {
        // A long message: its payload is gathered apart from the stream,
        // with room for all of it at once, and handed over as it is.
        const std::size_t have = std::min(pending() - kHeaderLength, std::size_t{length});
        body_.clear();
        body_.reserve(length);
        body_.insert(body_.end(), h + kHeaderLength, h + kHeaderLength + have);
        offset_ += kHeaderLength + have;
        if (offset_ == buffer_.size()) {
            buffer_.clear();
            offset_ = 0;
            if (buffer_.capacity() > (1u << 16)) Bytes().swap(buffer_);
        }
        inBody_ = true;
        bodyLength_ = length;
        bodyKind_ = static_cast<Kind>(kind);
        return next(message);
    }
    if (pending() < kHeaderLength + std::size_t{length}) {
        // Room for the whole message at once rather than in doublings.
        if (offset_ == 0) buffer_.reserve(kHeaderLength + std::size_t{length});
        return Result::NeedMore;
    }
    message->kind = static_cast<Kind>(kind);
    message->payload.assign(h + kHeaderLength, h + kHeaderLength + length);
    offset_ += kHeaderLength + length;
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
        if (buffer_.capacity() > (1u << 16)) Bytes().swap(buffer_);
    }
    return Result::Message;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const std::uint8_t* head, std::size_t headLength, const void* body,
              std::size_t bodyLength) {
    const Piece pieces[2] = {{head, headLength}, {body, bodyLength}};
    return writeAll(fd, pieces, 2);
}

bool writeWithDescriptors(int fd, const std::vector<std::uint8_t>& bytes, const int* fds,
                          std::size_t count) {
    if (bytes.empty()) return count == 0;
    iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * count));
    msghdr m{};
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    if (count) {
        m.msg_control = control.data();
        m.msg_controllen = control.size();
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * count);
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * count);
    }
    ssize_t n;
    do {
        n = ::sendmsg(fd, &m, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    const auto sent = static_cast<std::size_t>(n);
    if (sent == bytes.size()) return true;
    const Piece rest{bytes.data() + sent, bytes.size() - sent};
    return writeAll(fd, &rest, 1);
}

bool writeAll(int fd, const Piece* pieces, std::size_t count) {
    constexpr std::size_t kMostPieces = 4;
    if (count > kMostPieces) return false;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += pieces[i].length;
    std::size_t done = 0;
    while (done < total) {
        // The pieces from where the last write stopped.
        iovec parts[kMostPieces];
        int n = 0;
        std::size_t skip = done;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t length = pieces[i].length;
            if (skip >= length) {
                skip -= length;
                continue;
            }
            parts[n++] = {
                const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(pieces[i].data)) + skip,
                length - skip};
            skip = 0;
        }
        msghdr m{};
        m.msg_iov = parts;
        m.msg_iovlen = static_cast<std::size_t>(n);
        ssize_t w = ::sendmsg(fd, &m, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<std::size_t>(w);
    }
    return true;
}

bool readMessage(int fd, FrameReader& reader, Message* message) {
    return readMessage(fd, reader, message, -1, nullptr);
}

bool readMessage(int fd, FrameReader& reader, Message* message, int timeoutMs, bool* timedOut) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    if (timedOut) *timedOut = false;
    for (;;) {
        switch (reader.next(message)) {
            case FrameReader::Result::Message:
                return true;
            case FrameReader::Result::Error:
                return false;
            case FrameReader::Result::NeedMore:
                break;
        }
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd, POLLIN, 0};
            int r = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (r < 0 && errno == EINTR) continue;
            if (r == 0) {
                if (timedOut) *timedOut = true;
                return false;
            }
            if (r < 0) return false;
        }
        std::size_t room = 0;
        std::uint8_t* into = reader.receiveInto(2048, &room);
        ssize_t n = ::recv(fd, into, room, 0);
        reader.received(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
    }
}

}  // namespace uproto
