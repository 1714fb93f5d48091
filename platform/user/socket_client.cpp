#include "platform/user/socket_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/user/channel_protocol.h"
#include "platform/user/handles.h"
#include "platform/user/runtime_dir.h"

namespace uchannel {
namespace {

void setSendTimeout(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// -1 when nothing listens; *timedOut when a host is there but does not take
// the connection in time (its backlog is full).
int connectTo(const std::string& path, int timeoutMs, bool* timedOut) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A Unix socket's connect waits for room in the backlog as long as the
    // send time-out allows.
    setSendTimeout(fd, timeoutMs);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == EAGAIN || errno == EINPROGRESS || errno == ETIMEDOUT) *timedOut = true;
        ::close(fd);
        return -1;
    }
    setSendTimeout(fd, 0);
    return fd;
}

// Connects and exchanges the hello; -1 when no host answers as expected, with
// *timedOut set when one was found but did not answer in time.
int connectHost(const std::string& configured, int timeoutMs, uproto::FrameReader* reader,
                bool* timedOut) {
    *timedOut = false;
    std::vector<std::string> paths =
        configured.empty() ? uruntime::clientSocketPaths() : std::vector<std::string>{configured};
    for (const std::string& path : paths) {
        int fd = connectTo(path, timeoutMs, timedOut);
        if (fd < 0) continue;
        uproto::Message m;
        *reader = uproto::FrameReader();
        reader->limit(uproto::hostMessageLimits());
        bool late = false;
        if (uproto::writeAll(fd, uproto::encodeHello()) &&
            uproto::readMessage(fd, *reader, &m, timeoutMs, &late) &&
            m.kind == uproto::Kind::Hello) {
            auto h = uproto::decodeHello(m.payload);
            if (h && h->magic == uproto::kMagic && h->version == uproto::kVersion) return fd;
        }
        if (late) *timedOut = true;
        ::close(fd);
    }
    return -1;
}

// One control channel on its own connection. Answers are read by whoever
// waits for them: a thread waiting for its request (waitDirect) reads the
// socket itself, so a request the host answers at once crosses no more
// threads than a bare ping-pong; while nobody waits, the channel's reader
// thread reads, so overlapped completions, events and the end of the
// connection are seen at any time. One token decides who reads: `direct_`
// or `readerBusy_`, changed under `lock_`. The reader thread waits in epoll
// with the socket registered one-shot; a direct reader disarms it before its
// answer can arrive, so the answer wakes only the thread that waits for it.
class SocketChannel : public Channel {
  public:
    SocketChannel(int fd, uproto::FrameReader reader) : fd_(fd), reader_(std::move(reader)) {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epoll_event s{};
        s.events = EPOLLIN;
        s.data.u32 = kStopTag;
        epoll_event r{};
        r.events = EPOLLIN | EPOLLONESHOT;
        r.data.u32 = kSocketTag;
        if (epoll_ < 0 || stop_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, stop_, &s) != 0 ||
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd_, &r) != 0) {
            // Without its wait the channel cannot hear the host: it refuses
            // every request rather than leave one unanswered.
            broken_ = true;
            return;
        }
        thread_ = std::thread([this] { readLoop(); });
    }
    ~SocketChannel() override { close(); }

    std::uint64_t submit(std::uint32_t code, const void* input, std::uint32_t inputLength,
                         std::uint32_t outputLength, ReplyFn done) override {
        return start(code, one(input, inputLength), outputLength, nullptr, std::move(done), false);
    }

    // As submit, with the socket kept for the caller's waitDirect from before
    // the request goes out: however fast the host answers, the answer is not
    // the reader thread's to take.
    std::uint64_t submitWaited(std::uint32_t code, const void* input, std::uint32_t inputLength,
                               std::uint32_t outputLength, ReplyFn done) override {
        return start(code, one(input, inputLength), outputLength, nullptr, std::move(done), true);
    }

    std::uint64_t submitInto(std::uint32_t code, const void* input, std::uint32_t inputLength,
                             std::uint32_t outputLength, const ReplyPlace& place, ReplyFn done,
                             bool waited = false) override {
        return start(code, one(input, inputLength), outputLength, &place, std::move(done), waited);
    }

    std::uint64_t submitParts(std::uint32_t code, const InputParts& input,
                              std::uint32_t outputLength, const ReplyPlace& place, ReplyFn done,
                              bool waited = false) override {
        return start(code, input, outputLength, &place, std::move(done), waited);
    }

  private:
    static InputParts one(const void* input, std::uint32_t inputLength) {
        InputParts parts;
        parts.part[0] = static_cast<const std::uint8_t*>(input);
        parts.length[0] = inputLength;
        return parts;
    }

    std::uint64_t start(std::uint32_t code, const InputParts& input, std::uint32_t outputLength,
                        const ReplyPlace* place, ReplyFn done, bool waited) {
        const std::uint64_t inputLength = std::uint64_t{input.length[0]} + input.length[1];
        if (inputLength > uproto::kMaxBuffer || outputLength > uproto::kMaxBuffer) {
            done(STATUS_INVALID_PARAMETER, 0, nullptr);
            return 0;
        }
        std::uint64_t id = 0;
        NTSTATUS refused = STATUS_SUCCESS;
        auto sent = std::make_shared<std::atomic<bool>>(false);
        std::shared_ptr<SharedArea> area;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (closing_) {
                refused = STATUS_CANCELLED;
            } else if (broken_) {
                refused = STATUS_DEVICE_NOT_CONNECTED;
            } else {
                id = nextId_++;
                Pending& p = pending_[id];
                p.sent = sent;
                if (place) {
                    p.place = *place;
                    p.placed = true;
                    area = sharedFor(*place, inputLength, outputLength);
                }
                if (area) {
                    // The area is free again once its answer is in.
                    p.shared = true;
                    p.done = [area, done = std::move(done)](NTSTATUS st, std::uint32_t info,
                                                            const std::uint8_t* data) {
                        area->busy.store(false);
                        done(st, info, data);
                    };
                } else {
                    p.done = std::move(done);
                }
                if (waited && !direct_ && !readerBusy_) {
                    direct_ = true;
                    reservedFor_ = id;
                    arm(false);
                }
            }
        }
        if (refused != STATUS_SUCCESS) {
            done(refused, 0, nullptr);
            return 0;
        }
        // The frame's head and the caller's input go out as they are, without
        // first being copied into one buffer.
        std::array<std::uint8_t, uproto::kRequestSharedHeadLength> head;
        std::size_t headLength;
        if (area) {
            head = uproto::encodeRequestSharedHead(id, code, static_cast<std::uint32_t>(inputLength),
                                                   outputLength, area->id, place->length[0]);
            headLength = uproto::kRequestSharedHeadLength;
        } else {
            const auto plain = uproto::encodeRequestHead(
                id, code, static_cast<std::uint32_t>(inputLength), outputLength);
            std::memcpy(head.data(), plain.data(), plain.size());
            headLength = plain.size();
        }
        const uproto::Piece pieces[3] = {{head.data(), headLength},
                                         {input.part[0], input.length[0]},
                                         {input.part[1], input.length[1]}};
        bool written;
        bool held = false;
        {
            std::lock_guard<std::mutex> g(writeLock_);
            if (!waited && holder_ == std::this_thread::get_id() &&
                held_.size() + headLength + inputLength <= kMostHeld) {
                for (const uproto::Piece& piece : pieces) {
                    const auto* from = static_cast<const std::uint8_t*>(piece.data);
                    if (piece.length) held_.insert(held_.end(), from, from + piece.length);
                }
                heldSent_.push_back(sent);
                held = written = true;
            } else {
                written = flushHeld() && uproto::writeAll(fd_, pieces, 3);
            }
        }
        if (!held) markSent(*sent);
        if (!written) breakConnection();
        return id;
    }

  public:
    void holdRequests(bool hold) override {
        bool written;
        {
            std::lock_guard<std::mutex> g(writeLock_);
            if (hold) {
                holder_ = std::this_thread::get_id();
                return;
            }
            // What is held goes out whoever holds now: a thread that took
            // the hold over meanwhile does not keep this one's requests.
            if (holder_ == std::this_thread::get_id()) holder_ = std::thread::id();
            written = flushHeld();
        }
        if (!written) breakConnection();
    }

  private:
    static void markSent(std::atomic<bool>& sent) {
        sent.store(true, std::memory_order_release);
        sent.notify_all();
    }

    // Sends the held requests, if any. Under writeLock_; false when the
    // write failed (the caller then breaks the connection, outside the lock).
    bool flushHeld() {
        if (held_.empty()) return true;
        const bool written = uproto::writeAll(fd_, held_);
        held_.clear();
        for (const auto& sent : heldSent_) markSent(*sent);
        heldSent_.clear();
        return written;
    }

    // Memory shared with the host, by its start in this process.
    struct SharedArea {
        std::uint32_t id = 0;
        std::uint32_t size = 0;
        std::atomic<bool> busy{false};  // a request writes into it
    };

    // The shared area a request's place writes into in place, taken for it;
    // null when the place is not one. Under lock_.
    std::shared_ptr<SharedArea> sharedFor(const ReplyPlace& place, std::uint64_t inputLength,
                                          std::uint32_t outputLength) {
        if (shared_.empty() || !place.part[1] || place.length[1] == 0 ||
            place.length[0] > uproto::kMaxSharedHead || inputLength > place.length[0] ||
            outputLength < place.length[0])
            return nullptr;
        auto it = shared_.find(place.part[1]);
        if (it == shared_.end()) return nullptr;
        const std::shared_ptr<SharedArea>& a = it->second;
        if (outputLength - place.length[0] > a->size || place.length[1] > a->size ||
            a->busy.exchange(true))
            return nullptr;
        return a;
    }

  public:
    std::uint8_t* shareMemory(std::uint32_t size) override {
        if (size == 0 || size > uproto::kMaxBuffer) return nullptr;
        std::uint32_t areaId;
        std::uint64_t id;
        struct Answer {
            std::mutex lock;
            std::condition_variable cv;
            bool done = false;
            NTSTATUS status = STATUS_PENDING;
        };
        auto answer = std::make_shared<Answer>();
        {
            std::lock_guard<std::mutex> g(lock_);
            if (closing_ || broken_ || shared_.size() >= uproto::kMaxSharedAreas) return nullptr;
        }
        // A memory file that can neither shrink nor grow, and whose seals are
        // final: the host maps it only so.
        const int fd = ::memfd_create("pav512-shared", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (fd < 0) return nullptr;
        void* memory = MAP_FAILED;
        if (::ftruncate(fd, size) == 0 &&
            ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0)
            // Its pages are made here, for this process, rather than by the
            // host's first writes into them.
            memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
        if (memory == MAP_FAILED) {
            ::close(fd);
            return nullptr;
        }
        {
            // Checked again with the answer's entry made: a connection that
            // breaks from here on fails the entry.
            std::lock_guard<std::mutex> g(lock_);
            if (closing_ || broken_) {
                ::munmap(memory, size);
                ::close(fd);
                return nullptr;
            }
            areaId = nextArea_++;
            id = nextId_++;
            Pending& p = pending_[id];
            p.done = [answer](NTSTATUS st, std::uint32_t, const std::uint8_t*) {
                std::lock_guard<std::mutex> g(answer->lock);
                answer->status = st;
                answer->done = true;
                answer->cv.notify_all();
            };
        }
        const auto bytes = uproto::encodeShareMemory(id, areaId, size);
        bool written;
        {
            std::lock_guard<std::mutex> g(writeLock_);
            written = flushHeld() && uproto::writeWithDescriptors(fd_, bytes, &fd, 1);
        }
        ::close(fd);  // the host has its own
        if (!written) breakConnection();
        waitDirect(id);
        {
            std::unique_lock<std::mutex> g(answer->lock);
            answer->cv.wait(g, [&] { return answer->done; });
        }
        if (answer->status == STATUS_SUCCESS) {
            std::lock_guard<std::mutex> g(lock_);
            if (!closing_) {
                auto area = std::make_shared<SharedArea>();
                area->id = areaId;
                area->size = size;
                shared_.emplace(static_cast<std::uint8_t*>(memory), std::move(area));
                return static_cast<std::uint8_t*>(memory);
            }
        }
        ::munmap(memory, size);
        return nullptr;
    }

    void unshareMemory(std::uint8_t* memory) override {
        std::shared_ptr<SharedArea> area;
        {
            std::lock_guard<std::mutex> g(lock_);
            auto it = shared_.find(memory);
            if (it == shared_.end()) return;
            area = std::move(it->second);
            shared_.erase(it);
        }
        send(uproto::encodeUnshareMemory(area->id));
        ::munmap(memory, area->size);
    }

    void cancel(std::uint64_t id) override { send(uproto::encodeCancel(id)); }
    void cancelAll() override { send(uproto::encodeCancelAll()); }

    bool waitDirect(std::uint64_t id) override {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (direct_ && reservedFor_ == id && id != 0) {
                // Kept for this wait by submitWaited.
                reservedFor_ = 0;
                if (broken_ || !pending_.count(id)) {
                    direct_ = false;
                    if (!broken_) arm(true);
                    return false;
                }
            } else {
                if (direct_ || readerBusy_ || broken_ || closing_ || !pending_.count(id))
                    return false;
                direct_ = true;
                arm(false);
            }
        }
        bool alive = true;
        uproto::Message m;
        // A host that answers at once answers within microseconds: look for
        // the answer for a moment before sleeping, so this thread (and its
        // processor) is awake when it comes. A channel whose last answer
        // came within the longer look (a download's blocks, which the camera
        // answers in tens of microseconds) looks that long; one whose
        // requests wait for long looks only briefly, so it spends little
        // on requests that will sleep anyway.
        const auto asked = std::chrono::steady_clock::now();
        const bool quick =
            lastAnswerNs_.load(std::memory_order_relaxed) <= kLongLook.count() * 1000;
        const auto lookUntil = asked + (quick ? kLongLook : kShortLook);
        while (std::chrono::steady_clock::now() < lookUntil) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 0) != 0) break;
            std::this_thread::yield();
        }
        while (alive && stillPending(id)) alive = readDirect(id);
        lastAnswerNs_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now() - asked)
                                .count(),
                            std::memory_order_relaxed);
        // What is already whole in the buffer runs now: no byte still to
        // come would wake the reader thread for it.
        while (alive) {
            auto r = reader_.next(&m);
            if (r == uproto::FrameReader::Result::NeedMore) break;
            alive = r == uproto::FrameReader::Result::Message && dispatch(m);
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            direct_ = false;
            if (alive && !broken_) arm(true);
        }
        if (!alive) breakConnection();
        return true;
    }

    void close() override {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (closed_) return;
            closed_ = true;
            closing_ = true;
        }
        // Let the host cancel what is pending so that each request ends with the
        // driver's own answer; a host that does not answer in time is left behind.
        send(uproto::encodeCancelAll());
        {
            std::unique_lock<std::mutex> g(lock_);
            idle_.wait_for(g, std::chrono::seconds(5),
                           [&] { return (pending_.empty() && receiving_ == 0) || broken_; });
        }
        ::shutdown(fd_, SHUT_RDWR);
        if (stop_ >= 0) {
            std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(stop_, &one, sizeof one);
        }
        if (thread_.joinable()) thread_.join();
        failAll(STATUS_CANCELLED);
        std::map<std::uint8_t*, std::shared_ptr<SharedArea>> shared;
        {
            std::lock_guard<std::mutex> g(lock_);
            shared.swap(shared_);
        }
        for (auto& [memory, area] : shared) ::munmap(memory, area->size);
        ::close(fd_);
        if (epoll_ >= 0) ::close(epoll_);
        if (stop_ >= 0) ::close(stop_);
    }

  private:
    static constexpr std::uint32_t kSocketTag = 1;
    static constexpr std::uint32_t kStopTag = 2;

    bool send(const std::vector<std::uint8_t>& bytes) {
        std::lock_guard<std::mutex> g(writeLock_);
        return flushHeld() && uproto::writeAll(fd_, bytes);
    }

    // Arms (or disarms) the reader thread's wait on the socket. Under lock_.
    void arm(bool on) {
        epoll_event r{};
        r.events = on ? (EPOLLIN | EPOLLONESHOT) : EPOLLONESHOT;
        r.data.u32 = kSocketTag;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd_, &r);
    }

    // One step of a thread reading for the answer it waits for. When that
    // request gave a place for a long answer, the socket is read only as
    // far as the next completion's head, so that an answer which has a
    // place is received straight into it rather than into the stream's
    // buffer and copied from there; everything else runs as a message.
    bool readDirect(std::uint64_t waited) {
        bool headFirst = false;
        {
            std::lock_guard<std::mutex> g(lock_);
            auto it = pending_.find(waited);
            headFirst = it != pending_.end() && it->second.placed && !it->second.shared &&
                        it->second.place.total() >= kInPlaceLeast;
        }
        for (;;) {
            const int placed = receiveInPlace();
            if (placed != 0) return placed > 0;
            uproto::Message m;
            const auto r = reader_.next(&m);
            if (r == uproto::FrameReader::Result::Message) return dispatch(m);
            if (r == uproto::FrameReader::Result::Error) return false;
            ssize_t n;
            if (headFirst && !reader_.gathering() &&
                reader_.pending() < uproto::kCompletionHeadLength) {
                std::uint8_t head[uproto::kCompletionHeadLength];
                n = ::recv(fd_, head, uproto::kCompletionHeadLength - reader_.pending(), 0);
                if (n > 0) reader_.append(head, static_cast<std::size_t>(n));
            } else {
                std::size_t room = 0;
                std::uint8_t* into = reader_.receiveInto(2048, &room);
                n = ::recv(fd_, into, room, 0);
                reader_.received(n > 0 ? static_cast<std::size_t>(n) : 0);
            }
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
        }
    }

    // The next message, when it is the successful answer of a request with
    // a place large enough, is received into that place: 1 when it was, 0
    // when the next message is not such an answer, -1 when the connection
    // ended on the way (the request is then failed).
    int receiveInPlace() {
        std::uint64_t id;
        NTSTATUS status;
        std::uint32_t information;
        std::size_t arrived;
        if (!reader_.peekCompletion(&id, &status, &information, &arrived)) return 0;
        Pending p;
        {
            std::lock_guard<std::mutex> g(lock_);
            auto it = pending_.find(id);
            // An answer longer than its place goes the usual way, which
            // keeps what fits and drops the rest.
            if (it == pending_.end() || !it->second.placed || NT_ERROR(status) ||
                information > it->second.place.total())
                return 0;
            p = std::move(it->second);
            pending_.erase(it);
            ++receiving_;
        }
        awaitSent(p);
        const ReplyPlace& place = p.place;
        reader_.takeCompletion(arrived, place.part[0], place.length[0], place.part[1]);
        std::size_t done = arrived;
        bool whole = true;
        while (done < information) {
            iovec parts[2];
            int count = 0;
            std::size_t at = done;
            const std::size_t want = information - done;
            for (int i = 0; i < 2; ++i) {
                const std::size_t len = place.length[i];
                if (at >= len) {
                    at -= len;
                    continue;
                }
                const std::size_t take = std::min(len - at, want - (count ? parts[0].iov_len : 0));
                if (take == 0) break;
                parts[count++] = {place.part[i] + at, take};
                at = 0;
            }
            msghdr m{};
            m.msg_iov = parts;
            m.msg_iovlen = static_cast<std::size_t>(count);
            const ssize_t n = ::recvmsg(fd_, &m, MSG_WAITALL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                whole = false;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        bool closing;
        {
            std::lock_guard<std::mutex> g(lock_);
            closing = closing_;
        }
        if (whole)
            p.done(status, information, nullptr);
        else
            p.done(closing ? STATUS_CANCELLED : STATUS_DEVICE_NOT_CONNECTED, 0, nullptr);
        {
            std::lock_guard<std::mutex> g(lock_);
            --receiving_;
            if (pending_.empty() && receiving_ == 0) idle_.notify_all();
        }
        return whole ? 1 : -1;
    }

    bool stillPending(std::uint64_t id) {
        std::lock_guard<std::mutex> g(lock_);
        return pending_.count(id) != 0;
    }

    // Runs one message from the host; false when it is one a host may not send.
    bool dispatch(const uproto::Message& m) {
        const bool shared = m.kind == uproto::Kind::CompletionShared;
        if (m.kind == uproto::Kind::Completion || shared) {
            // A shared answer carries the head only: the rest of the output
            // is in the shared area already.
            auto c = shared ? uproto::decodeCompletionShared(m.payload)
                            : uproto::decodeCompletion(m.payload);
            if (!c) return false;
            Pending p;
            {
                std::lock_guard<std::mutex> g(lock_);
                auto it = pending_.find(c->id);
                if (it == pending_.end()) return true;
                p = std::move(it->second);
                pending_.erase(it);
            }
            awaitSent(p);
            if (p.placed) {
                if (!NT_ERROR(c->status)) p.place.fill(c->data, c->dataLength);
                p.done(c->status,
                       shared ? std::min(c->information, p.place.total()) : c->information,
                       nullptr);
            } else {
                p.done(c->status, c->information, shared ? nullptr : c->data);
            }
            notifyIfIdle();
            return true;
        }
        if (m.kind == uproto::Kind::EventSignal) {
            auto h = uproto::decodeEventSignal(m.payload);
            if (!h) return false;
            SetEvent(uhandle::fromWire(*h));  // a handle that is no event is ignored
            return true;
        }
        return false;
    }

    // Reads what the socket holds now, without waiting; false when the
    // connection ended or the host sent what it may not.
    bool drain(std::vector<std::uint8_t>& buffer) {
        for (;;) {
            ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            if (n <= 0) return false;
            reader_.append(buffer.data(), static_cast<std::size_t>(n));
            uproto::Message m;
            for (;;) {
                auto r = reader_.next(&m);
                if (r == uproto::FrameReader::Result::NeedMore) break;
                if (r == uproto::FrameReader::Result::Error || !dispatch(m)) return false;
            }
        }
    }

    void readLoop() {
        std::vector<std::uint8_t> buffer(65536);
        for (;;) {
            epoll_event events[2];
            int n = ::epoll_wait(epoll_, events, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            bool readable = false;
            for (int i = 0; i < n; ++i) {
                if (events[i].data.u32 == kStopTag) return;  // close() takes it from here
                readable = true;
            }
            if (!readable) continue;
            {
                std::lock_guard<std::mutex> g(lock_);
                // A thread waiting for its answer reads now; it arms the
                // socket again when it is done.
                if (direct_) continue;
                readerBusy_ = true;
            }
            const bool alive = drain(buffer);
            {
                std::lock_guard<std::mutex> g(lock_);
                readerBusy_ = false;
                if (alive && !broken_) arm(true);
            }
            if (!alive) break;
        }
        breakConnection();
    }

    void notifyIfIdle() {
        std::lock_guard<std::mutex> g(lock_);
        if (pending_.empty() && receiving_ == 0) idle_.notify_all();
    }

    void breakConnection() {
        bool closing;
        {
            std::lock_guard<std::mutex> g(lock_);
            broken_ = true;
            closing = closing_;
            idle_.notify_all();
        }
        // The host is gone: what was pending will never be answered.
        if (!closing) failAll(STATUS_DEVICE_NOT_CONNECTED);
    }

    void failAll(NTSTATUS status) {
        std::map<std::uint64_t, Pending> left;
        {
            std::lock_guard<std::mutex> g(lock_);
            left.swap(pending_);
            idle_.notify_all();
        }
        for (auto& [id, p] : left) p.done(status, 0, nullptr);
    }

    int fd_;
    int epoll_ = -1;
    int stop_ = -1;
    uproto::FrameReader reader_;  // used only by the thread that holds the token
    std::thread thread_;
    std::mutex writeLock_;
    // Requests kept by holdRequests, as they are to be written, and their
    // marks of having been sent. Under writeLock_.
    std::thread::id holder_;
    std::vector<std::uint8_t> held_;
    std::vector<std::shared_ptr<std::atomic<bool>>> heldSent_;
    // Past this many bytes a held request goes out at once, with those
    // before it.
    static constexpr std::size_t kMostHeld = 64 * 1024;
    std::mutex lock_;
    std::condition_variable idle_;
    // A request waiting for its answer, and where that answer goes.
    struct Pending {
        ReplyFn done;
        ReplyPlace place;
        bool placed = false;
        bool shared = false;  // its place's second piece is a shared area
        // Set once the request's write returned.
        std::shared_ptr<std::atomic<bool>> sent;
    };
    // The caller's output may be the very buffer its request is still being
    // written from. The host cannot answer before it has the whole request,
    // so the bytes are long in the socket, but the sender is done with the
    // buffer only once its write returns: an answer is put into the caller's
    // memory after that.
    static void awaitSent(const Pending& p) {
        if (p.sent) p.sent->wait(false, std::memory_order_acquire);
    }
    // The shortest place worth reading a completion's head apart for (one
    // receive more per answer).
    static constexpr std::uint32_t kInPlaceLeast = 4096;
    std::map<std::uint64_t, Pending> pending_;
    std::map<std::uint8_t*, std::shared_ptr<SharedArea>> shared_;
    std::uint32_t nextArea_ = 1;
    int receiving_ = 0;  // answers being received into their place, out of pending_
    std::uint64_t nextId_ = 1;
    bool broken_ = false;
    bool closing_ = false;
    bool closed_ = false;
    bool direct_ = false;            // a waiting thread reads the socket
    std::uint64_t reservedFor_ = 0;  // the request whose waitDirect holds direct_ already
    bool readerBusy_ = false;        // the reader thread reads the socket
    // How long a waiting thread looks for its answer before it sleeps.
    static constexpr std::chrono::microseconds kShortLook{50};
    static constexpr std::chrono::microseconds kLongLook{200};
    // How long the last answer read by a waiting thread took to come.
    std::atomic<std::int64_t> lastAnswerNs_{0};
};

class SocketTransport : public Transport {
  public:
    SocketTransport(std::string path, int timeoutMs)
        : path_(std::move(path)), timeoutMs_(timeoutMs) {}

    DWORD enumerateInterfaces(const GUID& classGuid, std::vector<std::string>* paths) override {
        paths->clear();
        uproto::FrameReader reader;
        bool late = false;
        int fd = connectHost(path_, timeoutMs_, &reader, &late);
        if (fd < 0) return late ? ERROR_TIMEOUT : ERROR_SUCCESS;  // no host: no interfaces
        uproto::Message m;
        bool ok = uproto::writeAll(fd, uproto::encodeEnumerate(classGuid)) &&
                  uproto::readMessage(fd, reader, &m, timeoutMs_, &late) &&
                  m.kind == uproto::Kind::EnumerateReply;
        ::close(fd);
        if (late) return ERROR_TIMEOUT;
        if (!ok) return ERROR_GEN_FAILURE;
        auto list = uproto::decodeEnumerateReply(m.payload);
        if (!list) return ERROR_GEN_FAILURE;
        *paths = std::move(*list);
        return ERROR_SUCCESS;
    }

    DWORD open(const std::string& path, std::unique_ptr<Channel>* channel) override {
        if (path.empty() || path.size() > uproto::kMaxPathLength) return ERROR_FILE_NOT_FOUND;
        uproto::FrameReader reader;
        bool late = false;
        int fd = connectHost(path_, timeoutMs_, &reader, &late);
        if (fd < 0) return late ? ERROR_TIMEOUT : ERROR_FILE_NOT_FOUND;
        uproto::Message m;
        if (!uproto::writeAll(fd, uproto::encodeOpen(path)) ||
            !uproto::readMessage(fd, reader, &m, timeoutMs_, &late) ||
            m.kind != uproto::Kind::OpenReply) {
            ::close(fd);
            return late ? ERROR_TIMEOUT : ERROR_GEN_FAILURE;
        }
        auto st = uproto::decodeOpenReply(m.payload);
        if (!st || !NT_SUCCESS(*st)) {
            ::close(fd);
            return st ? win32ErrorOf(*st) : ERROR_GEN_FAILURE;
        }
        *channel = std::make_unique<SocketChannel>(fd, std::move(reader));
        return ERROR_SUCCESS;
    }

  private:
    std::string path_;
    int timeoutMs_;
};

}  // namespace

std::shared_ptr<Transport> makeSocketTransport(const std::string& socketPath,
                                               std::chrono::milliseconds timeout) {
    auto ms = std::max<std::chrono::milliseconds::rep>(1, timeout.count());
    return std::make_shared<SocketTransport>(
        socketPath, static_cast<int>(std::min<std::chrono::milliseconds::rep>(ms, INT32_MAX)));
}

}  // namespace uchannel
