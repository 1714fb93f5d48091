#include "host/socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "host/channel_host.h"
#include "platform/kernel/object.h"
#include "platform/user/channel_protocol.h"

namespace host {
namespace {

// Output a client has not read yet; past this the client is not keeping up
// and its connection is ended rather than the host's memory.
constexpr std::size_t kMaxQueuedOutput = 64u << 20;
// Distinct event handles one connection may register.
constexpr std::size_t kMaxClientEvents = 1024;

struct Connection;

// Where a forwarding event sends its signal: the connection and the client's
// handle, looked up by key, so a signal that comes after the connection ended
// finds nothing instead of a freed connection.
class EventRoutes {
  public:
    static EventRoutes& instance() {
        static EventRoutes* r = new EventRoutes();
        return *r;
    }
    std::uintptr_t add(std::weak_ptr<Connection> connection, std::uint32_t handle) {
        std::lock_guard<std::mutex> g(lock_);
        std::uintptr_t key = next_++;
        routes_[key] = {std::move(connection), handle};
        return key;
    }
    void remove(std::uintptr_t key) {
        std::lock_guard<std::mutex> g(lock_);
        routes_.erase(key);
    }
    bool find(std::uintptr_t key, std::shared_ptr<Connection>* connection, std::uint32_t* handle) {
        std::lock_guard<std::mutex> g(lock_);
        auto it = routes_.find(key);
        if (it == routes_.end()) return false;
        *connection = it->second.first.lock();
        *handle = it->second.second;
        return *connection != nullptr;
    }

  private:
    std::mutex lock_;
    std::map<std::uintptr_t, std::pair<std::weak_ptr<Connection>, std::uint32_t>> routes_;
    std::uintptr_t next_ = 1;
};

void forwardSignal(void* context);

// A client's event handles as the driver sees them: each handle value stands
// for one forwarding event, the same object for every request of the
// connection, so that a clear finds what a set registered.
class RemoteClientTable : public kobj::ClientObjectTable {
  public:
    void bind(std::weak_ptr<Connection> connection) { connection_ = std::move(connection); }

    NTSTATUS referenceEvent(std::uint32_t handle, PKEVENT* event) override {
        std::lock_guard<std::mutex> g(lock_);
        auto it = events_.find(handle);
        if (it == events_.end()) {
            if (events_.size() >= kMaxClientEvents) return STATUS_INSUFFICIENT_RESOURCES;
            std::uintptr_t key = EventRoutes::instance().add(connection_, handle);
            PKEVENT ev = kobj::createForwardingEvent(forwardSignal, reinterpret_cast<void*>(key));
            if (!ev) {
                EventRoutes::instance().remove(key);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            it = events_.emplace(handle, Entry{ev, key}).first;
        }
        ObfReferenceObject(it->second.event);
        *event = it->second.event;
        return STATUS_SUCCESS;
    }

    void release() {
        std::map<std::uint32_t, Entry> entries;
        {
            std::lock_guard<std::mutex> g(lock_);
            entries.swap(events_);
        }
        for (auto& [handle, e] : entries) {
            EventRoutes::instance().remove(e.key);
            ObfDereferenceObject(e.event);
        }
    }

  private:
    struct Entry {
        PKEVENT event;
        std::uintptr_t key;
    };
    std::mutex lock_;
    std::weak_ptr<Connection> connection_;
    std::map<std::uint32_t, Entry> events_;
};

enum class State { AwaitHello, AwaitOpen, Open, Finished };

struct Connection {
    int fd = -1;
    SocketServer::Impl* server = nullptr;
    uproto::FrameReader reader;
    State state = State::AwaitHello;  // loop thread only

    std::mutex outLock;
    std::deque<std::vector<std::uint8_t>> out;
    std::size_t outOffset = 0;
    std::size_t outBytes = 0;
    bool closed = false;  // no more output once the connection is being closed

    std::atomic<bool> failed{false};          // to be dropped by the loop (set from any thread)
    std::atomic<bool> endAfterOutput{false};  // dropped once what is queued has been sent
    std::atomic<bool> protocolError{false};

    // Dispatch: run in order, one at a time, on the pool.
    std::deque<std::function<void()>> jobs;
    bool scheduled = false;

    std::unique_ptr<HostChannel> channel;  // dispatch threads only
    RemoteClientTable table;

    void send(std::vector<std::uint8_t> bytes);
};

}  // namespace

struct SocketServer::Impl {
    Options options;
    int listenFd = -1;
    int wakeFd = -1;
    std::thread loop;
    std::atomic<bool> stopping{false};
    bool stopped = false;
    std::atomic<std::uint64_t> protocolErrors{0};

    std::mutex connLock;
    std::vector<std::shared_ptr<Connection>> adopted;        // waiting for the loop
    std::map<int, std::shared_ptr<Connection>> connections;  // loop thread
    std::atomic<std::size_t> live{0};

    std::mutex poolLock;
    std::condition_variable poolCv;
    std::condition_variable drainedCv;
    std::deque<std::shared_ptr<Connection>> ready;
    std::size_t running = 0;
    bool poolStop = false;
    std::vector<std::thread> workers;

    void wake() {
        std::uint64_t one = 1;
        ssize_t n = ::write(wakeFd, &one, sizeof one);
        (void)n;
    }

    void post(const std::shared_ptr<Connection>& c, std::function<void()> job) {
        std::lock_guard<std::mutex> g(poolLock);
        c->jobs.push_back(std::move(job));
        if (!c->scheduled) {
            c->scheduled = true;
            ready.push_back(c);
            poolCv.notify_one();
        }
    }

    void worker() {
        std::unique_lock<std::mutex> g(poolLock);
        for (;;) {
            poolCv.wait(g, [&] { return poolStop || !ready.empty(); });
            if (ready.empty()) {
                if (poolStop) return;
                continue;
            }
            std::shared_ptr<Connection> c = ready.front();
            ready.pop_front();
            std::function<void()> job = std::move(c->jobs.front());
            c->jobs.pop_front();
            ++running;
            g.unlock();
            job();
            job = nullptr;
            g.lock();
            --running;
            if (!c->jobs.empty()) {
                ready.push_back(c);
                poolCv.notify_one();
            } else {
                c->scheduled = false;
            }
            if (ready.empty() && running == 0) drainedCv.notify_all();
        }
    }

    void fail(const std::shared_ptr<Connection>& c, bool protocol) {
        if (protocol) c->protocolError = true;
        c->failed = true;
        wake();
    }

    // Loop thread: forget the socket's events and close the connection on the
    // pool, after whatever it already queued.
    void drop(std::shared_ptr<Connection> c) {
        if (c->protocolError) protocolErrors.fetch_add(1);
        connections.erase(c->fd);
        c->state = State::Finished;
        {
            std::lock_guard<std::mutex> g(c->outLock);
            c->closed = true;
            c->out.clear();
        }
        post(c, [this, c] { closeConnection(c); });
    }

    void closeConnection(const std::shared_ptr<Connection>& c) {
        if (c->channel) {
            c->channel->close();
            c->channel.reset();
        }
        c->table.release();
        ::close(c->fd);
        live.fetch_sub(1);
    }

    void accept() {
        for (;;) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) return;
            if (options.checkPeerCredentials) {
                ucred cred{};
                socklen_t len = sizeof cred;
                if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
                    (cred.uid != ::geteuid() && cred.uid != 0)) {
                    ::close(fd);
                    continue;
                }
            }
            addConnection(fd);
        }
    }

    void addConnection(int fd) {
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        c->server = this;
        c->table.bind(c);
        connections[fd] = c;
        live.fetch_add(1);
    }

    void handle(const std::shared_ptr<Connection>& c, uproto::Message& m) {
        using uproto::Kind;
        switch (c->state) {
            case State::AwaitHello: {
                auto h = m.kind == Kind::Hello ? uproto::decodeHello(m.payload) : std::nullopt;
                if (!h || h->magic != uproto::kMagic) return fail(c, true);
                c->send(uproto::encodeHello());
                // A client of another version learns ours from the reply and
                // the connection ends here.
                if (h->version != uproto::kVersion) {
                    c->endAfterOutput = true;
                    c->state = State::Finished;
                    return;
                }
                c->state = State::AwaitOpen;
                return;
            }
            case State::AwaitOpen:
                if (m.kind == Kind::Open) {
                    auto path = uproto::decodeOpen(m.payload);
                    if (!path) return fail(c, true);
                    c->state = State::Open;
                    post(c, [c, p = *path] {
                        NTSTATUS st = HostChannel::open(p, &c->table, &c->channel);
                        // After a failed open the client only closes; a request
                        // would find no channel and end the connection.
                        c->send(uproto::encodeOpenReply(st));
                    });
                    return;
                }
                if (m.kind == Kind::Enumerate) {
                    auto guid = uproto::decodeEnumerate(m.payload);
                    if (!guid) return fail(c, true);
                    c->state = State::Finished;
                    post(c, [c, g = *guid] {
                        c->send(uproto::encodeEnumerateReply(enabledInterfacePaths(g)));
                    });
                    return;
                }
                return fail(c, true);
            case State::Open:
                if (m.kind == Kind::Request) {
                    auto r = uproto::decodeRequest(m.payload);
                    if (!r) return fail(c, true);
                    auto payload =
                        std::make_shared<std::vector<std::uint8_t>>(std::move(m.payload));
                    const std::size_t inputAt =
                        static_cast<std::size_t>(r->input - payload->data());
                    post(c, [this, c, payload, inputAt, id = r->id, code = r->code,
                             in = r->inputLength, outLen = r->outputLength] {
                        if (!c->channel) return fail(c, true);
                        std::weak_ptr<Connection> weak = c;
                        bool fresh = c->channel->submit(
                            id, code, payload->data() + inputAt, in, outLen,
                            [weak, id](NTSTATUS st, std::uint32_t info, const std::uint8_t* data) {
                                if (auto conn = weak.lock())
                                    conn->send(uproto::encodeCompletion(id, st, info, data));
                            });
                        // Two pending requests under one id cannot be told apart.
                        if (!fresh) fail(c, true);
                    });
                    return;
                }
                if (m.kind == Kind::Cancel) {
                    auto id = uproto::decodeCancel(m.payload);
                    if (!id) return fail(c, true);
                    post(c, [c, i = *id] {
                        if (c->channel) c->channel->cancel(i);
                    });
                    return;
                }
                if (m.kind == Kind::CancelAll) {
                    if (!m.payload.empty()) return fail(c, true);
                    post(c, [c] {
                        if (c->channel) c->channel->cancelAll();
                    });
                    return;
                }
                return fail(c, true);
            case State::Finished:
                return fail(c, true);
        }
    }

    void readFrom(const std::shared_ptr<Connection>& c) {
        std::uint8_t buf[65536];
        ssize_t n = ::recv(c->fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            // End of stream: a client that stopped in the middle of a message
            // broke the protocol; one that closed between messages did not.
            if (c->reader.pending() > 0) c->protocolError = true;
            c->failed = true;
            return;
        }
        c->reader.append(buf, static_cast<std::size_t>(n));
        uproto::Message m;
        for (;;) {
            auto r = c->reader.next(&m);
            if (r == uproto::FrameReader::Result::NeedMore) return;
            if (r == uproto::FrameReader::Result::Error) return fail(c, true);
            handle(c, m);
            if (c->failed) return;
        }
    }

    void writeTo(const std::shared_ptr<Connection>& c) {
        std::lock_guard<std::mutex> g(c->outLock);
        while (!c->out.empty()) {
            auto& front = c->out.front();
            ssize_t n = ::send(c->fd, front.data() + c->outOffset, front.size() - c->outOffset,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            if (n <= 0) {
                c->failed = true;
                return;
            }
            c->outOffset += static_cast<std::size_t>(n);
            if (c->outOffset == front.size()) {
                c->outBytes -= front.size();
                c->out.pop_front();
                c->outOffset = 0;
            }
        }
    }

    void run() {
        std::vector<pollfd> fds;
        std::vector<std::shared_ptr<Connection>> order;
        while (!stopping) {
            {
                std::lock_guard<std::mutex> g(connLock);
                for (auto& c : adopted) connections[c->fd] = c;
                adopted.clear();
            }
            fds.clear();
            order.clear();
            fds.push_back({wakeFd, POLLIN, 0});
            if (listenFd >= 0) fds.push_back({listenFd, POLLIN, 0});
            const std::size_t first = fds.size();
            for (auto it = connections.begin(); it != connections.end();) {
                auto c = (it++)->second;
                bool queued;
                {
                    std::lock_guard<std::mutex> g(c->outLock);
                    queued = !c->out.empty();
                }
                if (c->failed || (c->endAfterOutput && !queued)) {
                    drop(c);
                    continue;
                }
                short events = POLLIN;
                if (queued) events |= POLLOUT;
                fds.push_back({c->fd, events, 0});
                order.push_back(c);
            }
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
            if (fds[0].revents & POLLIN) {
                std::uint64_t v;
                ssize_t n = ::read(wakeFd, &v, sizeof v);
                (void)n;
            }
            if (listenFd >= 0 && (fds[1].revents & POLLIN)) accept();
            for (std::size_t i = 0; i < order.size(); ++i) {
                const pollfd& p = fds[first + i];
                auto& c = order[i];
                if (p.revents & POLLOUT) writeTo(c);
                if (!c->failed && (p.revents & (POLLIN | POLLHUP | POLLERR))) readFrom(c);
            }
        }
    }

    void shutdown() {
        if (stopped) return;
        stopped = true;
        stopping = true;
        wake();
        if (loop.joinable()) loop.join();
        {
            std::lock_guard<std::mutex> g(connLock);
            for (auto& c : adopted) connections[c->fd] = c;
            adopted.clear();
        }
        while (!connections.empty()) drop(connections.begin()->second);
        {
            std::unique_lock<std::mutex> g(poolLock);
            drainedCv.wait(g, [&] { return ready.empty() && running == 0; });
            poolStop = true;
            poolCv.notify_all();
        }
        for (auto& t : workers) t.join();
        workers.clear();
        if (listenFd >= 0) {
            ::close(listenFd);
            ::unlink(options.socketPath.c_str());
            listenFd = -1;
        }
        ::close(wakeFd);
    }

    void launch() {
        unsigned n = options.dispatchThreads ? options.dispatchThreads : 1;
        for (unsigned i = 0; i < n; ++i) workers.emplace_back([this] { worker(); });
        loop = std::thread([this] { run(); });
    }
};

namespace {

void Connection::send(std::vector<std::uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> g(outLock);
        if (closed) return;
        std::size_t sent = 0;
        if (out.empty()) {
            // Nothing queued ahead: write from this thread, which saves the
            // round through the I/O thread in the common case.
            ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent = static_cast<std::size_t>(n);
            if (sent == bytes.size()) return;
            if (n < 0 && errno != EAGAIN && errno != EINTR) failed = true;
        }
        if (!failed && outBytes + bytes.size() > kMaxQueuedOutput) {
            failed = true;
        } else if (!failed) {
            if (out.empty()) outOffset = sent;
            outBytes += bytes.size();
            out.push_back(std::move(bytes));
        }
    }
    server->wake();
}

void forwardSignal(void* context) {
    std::shared_ptr<Connection> c;
    std::uint32_t handle = 0;
    if (EventRoutes::instance().find(reinterpret_cast<std::uintptr_t>(context), &c, &handle))
        c->send(uproto::encodeEventSignal(handle));
}

bool prepareDirectory(const std::string& dir, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "cannot create runtime directory " + dir;
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *error = "runtime directory " + dir + " belongs to another user";
        return false;
    }
    if ((st.st_mode & 0777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) {
        *error = "cannot make runtime directory " + dir + " private";
        return false;
    }
    return true;
}

}  // namespace

SocketServer::SocketServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SocketServer::~SocketServer() {
    stop();
}

std::unique_ptr<SocketServer> SocketServer::start(const Options& options, std::string* error) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    sockaddr_un addr{};
    if (options.socketPath.empty() || options.socketPath.size() >= sizeof(addr.sun_path)) {
        *error = "socket path is empty or too long";
        return nullptr;
    }
    std::string dir = std::filesystem::path(options.socketPath).parent_path().string();
    if (!dir.empty() && !prepareDirectory(dir, error)) return nullptr;

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, options.socketPath.c_str(), options.socketPath.size() + 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        bool taken = errno == EADDRINUSE;
        if (taken) {
            // A socket file is left over: take it over unless a host still answers on it.
            int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool alive = probe >= 0 &&
                         ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            if (probe >= 0) ::close(probe);
            if (alive) {
                ::close(fd);
                *error = "another host is serving " + options.socketPath;
                return nullptr;
            }
            ::unlink(options.socketPath.c_str());
        }
        if (!taken || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            *error = std::string("bind: ") + std::strerror(errno);
            ::close(fd);
            return nullptr;
        }
    }
    if (::listen(fd, 64) != 0) {
        *error = std::string("listen: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    impl->listenFd = fd;
    impl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl->launch();
    return std::unique_ptr<SocketServer>(new SocketServer(std::move(impl)));
}

std::unique_ptr<SocketServer> SocketServer::startDetached(unsigned dispatchThreads) {
    auto impl = std::make_unique<Impl>();
    impl->options.dispatchThreads = dispatchThreads;
    impl->options.checkPeerCredentials = false;
    impl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl->launch();
    return std::unique_ptr<SocketServer>(new SocketServer(std::move(impl)));
}

void SocketServer::stop() {
    impl_->shutdown();
}

void SocketServer::adopt(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    auto c = std::make_shared<Connection>();
    c->fd = fd;
    c->server = impl_.get();
    c->table.bind(c);
    impl_->live.fetch_add(1);
    {
        std::lock_guard<std::mutex> g(impl_->connLock);
        impl_->adopted.push_back(c);
    }
    impl_->wake();
}

std::size_t SocketServer::connectionCount() const {
    return impl_->live.load();
}
std::uint64_t SocketServer::protocolErrors() const {
    return impl_->protocolErrors.load();
}
const std::string& SocketServer::socketPath() const {
    return impl_->options.socketPath;
}

}  // namespace host
