// The host's bounds and its trust boundary: who may connect, what a message's
// kind allows, deadlines, replies no longer than their request, queued output,
// requests in flight and the memory budget, requests that block in the driver,
// the socket path and its directory, and the client's time-outs.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "host/socket_server.h"
#include "tests/channels/channel_fixture.h"
#include "tests/channels/fake_driver.h"
#include "tests/host/raw_client.h"

namespace pavtest {
namespace {

using namespace pav512;
using host::PeerIdentity;
using host::PeerPolicy;
using std::chrono::milliseconds;

TEST(PeerPolicy, AdmitsTheOwnerRootAndTheGroupAndNothingUnreadable) {
    const uid_t owner = 1000;
    const gid_t group = 77;
    PeerPolicy ownerOnly(owner, std::nullopt);
    PeerPolicy withGroup(owner, group);
    struct Case {
        const char* name;
        std::optional<PeerIdentity> peer;
        bool ownerOnly, withGroup;
    };
    const Case cases[] = {
        {"credentials unreadable", std::nullopt, false, false},
        {"the owner", PeerIdentity{owner, 5, {}}, true, true},
        {"root", PeerIdentity{0, 0, {}}, true, true},
        {"another user", PeerIdentity{1001, 5, {6, 8}}, false, false},
        {"another user of the group", PeerIdentity{1001, group, {}}, false, true},
        {"another user with the group besides", PeerIdentity{1001, 5, {6, group}}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ownerOnly.admits(c.peer), c.ownerOnly);
        EXPECT_EQ(withGroup.admits(c.peer), c.withGroup);
    }

    // What the kernel says of this process's own end of a pair.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto me = host::peerIdentityOf(fds[0]);
    ASSERT_TRUE(me);
    EXPECT_EQ(me->uid, ::geteuid());
    EXPECT_EQ(me->gid, ::getegid());
    ::close(fds[0]);
    ::close(fds[1]);
    // Not a socket: nothing can be read, so nothing is admitted.
    EXPECT_FALSE(host::peerIdentityOf(::fileno(stderr)));
    EXPECT_FALSE(ownerOnly.admits(host::peerIdentityOf(::fileno(stderr))));
}

class SocketLimitsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver_ = FakeDriver::create();
        ASSERT_NE(driver_, nullptr);
        path_ = uruntime::socketPathIn(uruntime::hostDirectory(false));
    }
    void TearDown() override {
        uchannel::setTransport(nullptr);
        if (server_) server_->stop();
        server_.reset();
        driver_.reset();
    }
    void serve(host::SocketServer::Limits limits = {}, unsigned threads = 2) {
        host::SocketServer::Options o;
        o.socketPath = path_;
        o.dispatchThreads = threads;
        o.limits = limits;
        std::string error;
        server_ = host::SocketServer::start(o, &error);
        ASSERT_NE(server_, nullptr) << error;
        uchannel::setTransport(uchannel::makeSocketTransport(path_));
    }
    bool channelWorks() { return versionAnswers(driver_->interfacePath()); }
    std::vector<std::uint8_t> openBytes() { return helloAndOpen(driver_->interfacePath()); }
    // A raw connection with an open channel.
    int openRaw(uproto::FrameReader* reader) {
        int fd = connectRaw(path_);
        if (fd < 0 || !uproto::writeAll(fd, openBytes())) return -1;
        uproto::Message m;
        if (!uproto::readMessage(fd, *reader, &m) || m.kind != uproto::Kind::Hello) return -1;
        if (!uproto::readMessage(fd, *reader, &m) || m.kind != uproto::Kind::OpenReply) return -1;
        return fd;
    }

    std::unique_ptr<FakeDriver> driver_;
    std::string path_;
    std::unique_ptr<host::SocketServer> server_;
};

TEST_F(SocketLimitsTest, AReplyIsNeverLongerThanItsRequest) {
    serve();
    uproto::FrameReader reader;
    int fd = openRaw(&reader);
    ASSERT_GE(fd, 0);
    // 20 bytes in, 16 MiB asked for: the version code answers in the 20 bytes.
    std::vector<std::uint8_t> in(20, 0xFF);
    ASSERT_TRUE(uproto::writeAll(
        fd, uproto::encodeRequest(1, IOCTL_CTI_VERSION, in.data(), 20, uproto::kMaxBuffer)));
    uproto::Message m;
    ASSERT_TRUE(uproto::readMessage(fd, reader, &m));
    auto c = uproto::decodeCompletion(m.payload);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->information, 20u);
    EXPECT_EQ(c->data[0], kModuleStatusSuccess);
    // The same request asking for one byte more than it sent gets its bytes.
    ASSERT_TRUE(uproto::writeAll(
        fd, uproto::encodeRequest(2, IOCTL_CTI_VERSION, in.data(), 20, 21)));
    ASSERT_TRUE(uproto::readMessage(fd, reader, &m));
    c = uproto::decodeCompletion(m.payload);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->information, 20u);
    ::close(fd);
    EXPECT_EQ(host::replyLimit(0x229990, 7), 7u);  // an unknown code: only its own bytes
    EXPECT_EQ(host::replyLimit(IOCTL_PTP_TRANSFER, 0), minimumLength(IOCTL_PTP_TRANSFER));
    EXPECT_TRUE(waitFor([&] { return server_->memoryInUse() == 0; }));
}

TEST_F(SocketLimitsTest, ALengthItsKindCannotHaveEndsTheConnectionBeforeItsPayload) {
    serve();
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases = {
        {"a 16 MiB hello", header(16u << 20, 1)},
        {"a request before the hello", header(64, 6)},
        {"an open as long as a buffer", uproto::encodeHello() + header(uproto::kMaxBuffer, 2)},
        {"a request before the open", uproto::encodeHello() + header(64, 6)},
        {"a cancel of nine bytes", openBytes() + header(9, 7)},
        {"a request over the largest buffer", openBytes() + header(uproto::kMaxBuffer + 21, 6)},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        int fd = connectRaw(path_);
        ASSERT_GE(fd, 0);
        // Only the header is sent, and the write side stays open: the host
        // must decide on the header alone.
        ASSERT_TRUE(uproto::writeAll(fd, bytes));
        EXPECT_TRUE(closedByHost(fd));
        ::close(fd);
    }
    EXPECT_TRUE(waitFor([&] { return server_->protocolErrors() == cases.size(); }));
    EXPECT_TRUE(channelWorks());
}

TEST_F(SocketLimitsTest, SilentAndHalfSentClientsAreClosedAtTheirDeadline) {
    host::SocketServer::Limits limits;
    limits.setupDeadline = milliseconds(300);
    limits.messageDeadline = milliseconds(300);
    serve(limits);
    int silent = connectRaw(path_);
    int helloOnly = connectRaw(path_);
    ASSERT_TRUE(uproto::writeAll(helloOnly, uproto::encodeHello()));
    uproto::FrameReader reader;
    int halfSent = openRaw(&reader);
    ASSERT_GE(halfSent, 0);
    auto request = uproto::encodeRequest(1, IOCTL_CTI_VERSION,
                                         std::vector<std::uint8_t>(4096, 0).data(), 4096, 4096);
    ASSERT_TRUE(uproto::writeAll(halfSent, std::vector<std::uint8_t>(request.begin(),
                                                                     request.begin() + 100)));
    // An open channel that sends nothing has no deadline.
    uproto::FrameReader idleReader;
    int idle = openRaw(&idleReader);
    ASSERT_GE(idle, 0);

    EXPECT_TRUE(closedByHost(silent));
    EXPECT_TRUE(closedByHost(helloOnly, nullptr));
    EXPECT_TRUE(closedByHost(halfSent));
    EXPECT_EQ(server_->boundsExceeded(), 3u);
    ASSERT_TRUE(uproto::writeAll(idle, uproto::encodeRequest(
                                           1, IOCTL_CTI_VERSION,
                                           std::vector<std::uint8_t>(20, 0).data(), 20, 20)));
    uproto::Message m;
    EXPECT_TRUE(uproto::readMessage(idle, idleReader, &m));
    EXPECT_EQ(m.kind, uproto::Kind::Completion);
    for (int fd : {silent, helloOnly, halfSent, idle}) ::close(fd);
    EXPECT_TRUE(channelWorks());
}

TEST_F(SocketLimitsTest, AClientThatNeverReadsLosesItsConnectionAndNobodyElseNotices) {
    host::SocketServer::Limits limits;
    limits.memoryBudget = 8u << 20;
    serve(limits);
    uproto::FrameReader reader;
    int greedy = openRaw(&reader);
    ASSERT_GE(greedy, 0);
    // 1 MiB requests whose 1 MiB replies are never read.
    const std::uint32_t size = 1u << 20;
    std::vector<std::uint8_t> in(size, 0);
    auto request = uproto::encodeRequest(7, IOCTL_CTI_VERSION, in.data(), size, size);
    std::atomic<bool> closed{false};
    std::atomic<std::size_t> most{0};
    std::thread flood([&] {
        std::uint64_t id = 1;
        for (int i = 0; i < 400 && !closed; ++i) {
            std::memcpy(request.data() + 8, &id, 8);
            ++id;
            if (!uproto::writeAll(greedy, request)) closed = true;
        }
    });
    std::thread watch([&] {
        while (!closed) {
            most = std::max(most.load(), server_->memoryInUse());
            std::this_thread::yield();
        }
    });
    // Meanwhile a client that reads its replies is served.
    int rounds = 0;
    while (!closed && rounds < 10000) {
        ASSERT_TRUE(channelWorks());
        ++rounds;
    }
    flood.join();
    closed = true;
    watch.join();
    EXPECT_TRUE(closed);
    EXPECT_GE(server_->boundsExceeded(), 1u);
    // Over the budget by at most what one read and one reply add at once.
    EXPECT_LE(most.load(), limits.memoryBudget + 3 * size) << most.load();
    EXPECT_TRUE(waitFor([&] { return server_->memoryInUse() == 0; }));
    EXPECT_TRUE(channelWorks());
    ::close(greedy);
}

TEST_F(SocketLimitsTest, ARequestHeldInTheDriverCountsTheReplyItWillGet) {
    host::SocketServer::Limits limits;
    limits.memoryBudget = 8u << 20;
    serve(limits);
    const std::uint32_t size = 1u << 20;
    std::vector<std::uint8_t> in(size, 0);
    // Three 1 MiB requests the driver holds. When they complete together
    // each has its system buffer and its 1 MiB reply at once: 6 MiB that the
    // host must count while they wait, not once the replies are queued.
    uproto::FrameReader greedyReader;
    int greedy = openRaw(&greedyReader);
    ASSERT_GE(greedy, 0);
    for (std::uint64_t id = 1; id <= 3; ++id)
        ASSERT_TRUE(uproto::writeAll(greedy, uproto::encodeRequest(id, kHoldCode, in.data(),
                                                                   size, size)));
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 3; }));
    // Another client's 1 MiB request does not fit beside them: it waits while
    // the connection holding the most is closed, and is then answered.
    uproto::FrameReader reader;
    int fd = openRaw(&reader);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(uproto::writeAll(fd, uproto::encodeRequest(9, IOCTL_CTI_VERSION, in.data(), size,
                                                           size)));
    uproto::Message m;
    ASSERT_TRUE(uproto::readMessage(fd, reader, &m, 10000, nullptr));
    auto c = uproto::decodeCompletion(m.payload);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->id, 9u);
    EXPECT_EQ(c->status, STATUS_SUCCESS);
    EXPECT_TRUE(closedByHost(greedy));
    EXPECT_EQ(server_->boundsExceeded(), 1u);
    EXPECT_EQ(driver_->cancelled(), 3);
    ::close(greedy);
    ::close(fd);
    EXPECT_TRUE(waitFor([&] { return server_->memoryInUse() == 0; }));
    EXPECT_TRUE(channelWorks());
}

TEST_F(SocketLimitsTest, RequestsInFlightAndQueuedOutputAreBoundedPerConnection) {
    host::SocketServer::Limits limits;
    limits.maxRequestsInFlight = 8;
    limits.maxQueuedOutput = 64u << 10;
    serve(limits);
    uproto::FrameReader reader;
    int fd = openRaw(&reader);
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> hold;
    for (std::uint64_t id = 1; id <= 9; ++id)
        hold = hold + uproto::encodeRequest(id, kHoldCode, std::vector<std::uint8_t>(24, 0xFF).data(),
                                            24, 24);
    ASSERT_TRUE(uproto::writeAll(fd, hold));
    EXPECT_TRUE(closedByHost(fd));
    ::close(fd);
    // Of the eight it took, those that reached the driver before the
    // connection was dropped are cancelled with it; the rest never start.
    EXPECT_TRUE(waitFor([&] {
        return server_->requestsInFlight() == 0 && driver_->held() == 0 &&
               driver_->cancelled() == static_cast<int>(driver_->count(kHoldCode));
    })) << driver_->held() << " " << driver_->cancelled() << " " << driver_->count(kHoldCode);
    EXPECT_LE(driver_->count(kHoldCode), 8u);

    // Replies piling up unread past 64 KiB.
    fd = openRaw(&reader);
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> in(16384, 0);
    for (std::uint64_t id = 1; id < 400; ++id)
        if (!uproto::writeAll(fd, uproto::encodeRequest(id, IOCTL_CTI_VERSION, in.data(), 16384,
                                                         16384)))
            break;
    EXPECT_TRUE(closedByHost(fd, nullptr));
    ::close(fd);
    EXPECT_EQ(server_->boundsExceeded(), 2u);
    EXPECT_TRUE(channelWorks());
}

TEST_F(SocketLimitsTest, AStopCancelsWhatIsStillInFlightAfterItsGrace) {
    serve();
    HANDLE h = openChannel(driver_->interfacePath());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto b = requestBuffer(24);
    OVERLAPPED ov{};
    EXPECT_FALSE(DeviceIoControl(h, kHoldCode, b.data(), 24, b.data(), 24, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 1; }));
    // The driver never completes it: the stop waits out its grace, then
    // cancels the request with its channel and returns.
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        server_->stop(milliseconds(200));
        stopped = true;
    });
    const bool ended = waitFor([&] { return stopped.load(); });
    if (!ended) driver_->releaseHeld();  // lets the stop end, so the test can
    stopper.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(driver_->cancelled(), 1);
    EXPECT_EQ(driver_->held(), 0u);
    DWORD returned = 0;
    // The host has gone with the channel: the client learns that much.
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &returned, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(h);
}

TEST_F(SocketLimitsTest, ARequestThatBlocksInTheDriverDelaysOnlyItsOwnChannel) {
    serve({}, 1);
    std::vector<HANDLE> blocked;
    std::vector<std::vector<std::uint8_t>> buffers(3, requestBuffer(24));
    std::vector<OVERLAPPED> ovs(3);
    for (int i = 0; i < 3; ++i) {
        HANDLE h = openChannel(driver_->interfacePath());
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(DeviceIoControl(h, kBlockCode, buffers[i].data(), 24, buffers[i].data(), 24,
                                     nullptr, &ovs[i]));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        blocked.push_back(h);
    }
    // Three requests blocked at once on a pool that started with one thread.
    ASSERT_TRUE(waitFor([&] { return driver_->blocking() == 3; }));
    EXPECT_GE(server_->dispatchThreadCount(), 3u);
    EXPECT_TRUE(channelWorks());
    driver_->releaseBlocking();
    for (int i = 0; i < 3; ++i) {
        DWORD returned = 0;
        EXPECT_TRUE(GetOverlappedResult(blocked[i], &ovs[i], &returned, TRUE));
        EXPECT_EQ(returned, 24u);
        CloseHandle(blocked[i]);
    }
}

// The loop's thread answers quick requests itself and leaves the watch's
// timer as it is for the next one: a request that then blocks in the driver
// still loses the loop once its grace is over, whether it comes at once
// after answered ones or after a pause, so other channels are served on.
TEST_F(SocketLimitsTest, ABlockingRequestRightAfterAnsweredOnesStillLetsTheLoopGo) {
    serve({}, 1);
    HANDLE h = openChannel(driver_->interfacePath());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<HANDLE> blocked;
    std::vector<std::vector<std::uint8_t>> buffers(2, requestBuffer(24));
    std::vector<OVERLAPPED> ovs(2);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 20; ++i) {
            auto b = requestBuffer(sizeof(pav512::CommandHeader));
            DWORD returned = 0;
            ASSERT_TRUE(call(h, pav512::IOCTL_CTI_VERSION, b, &returned));
            EXPECT_EQ(returned, 20u);
        }
        // Straight after the answers, then after a pause longer than the grace.
        if (round == 1) std::this_thread::sleep_for(milliseconds(20));
        HANDLE other = openChannel(driver_->interfacePath());
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(DeviceIoControl(other, kBlockCode, buffers[round].data(), 24,
                                     buffers[round].data(), 24, nullptr, &ovs[round]));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        blocked.push_back(other);
        ASSERT_TRUE(waitFor([&] { return driver_->blocking() == static_cast<std::size_t>(round + 1); }));
        EXPECT_TRUE(channelWorks()) << "round " << round;
    }
    driver_->releaseBlocking();
    for (std::size_t i = 0; i < blocked.size(); ++i) {
        DWORD returned = 0;
        EXPECT_TRUE(GetOverlappedResult(blocked[i], &ovs[i], &returned, TRUE));
        CloseHandle(blocked[i]);
    }
    CloseHandle(h);
}

TEST_F(SocketLimitsTest, TheSocketPathIsOwnedByOneHostAndALeftoverIsTakenOver) {
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    // A socket file whose host died: nothing listens on it.
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    serve();
    EXPECT_TRUE(channelWorks());
    // A second host on the same path learns at once that it is taken, and
    // the first keeps its socket.
    host::SocketServer::Options o;
    o.socketPath = path_;
    std::string error;
    EXPECT_EQ(host::SocketServer::start(o, &error), nullptr);
    EXPECT_NE(error.find("another host"), std::string::npos) << error;
    EXPECT_TRUE(channelWorks());
    server_->stop();
    server_.reset();

    // Something that is not a socket is never removed.
    ASSERT_FALSE(std::filesystem::exists(path_));
    { FILE* f = std::fopen(path_.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
    EXPECT_EQ(host::SocketServer::start(o, &error), nullptr);
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(path_));
    std::filesystem::remove(path_);
}

TEST_F(SocketLimitsTest, ADirectoryItMadeIsPrivateAndOneItFoundIsLeftAlone) {
    struct stat st {};
    const std::string base = privateDir() + "/access";
    const std::string made = base + "/made/run";
    host::SocketServer::Options o;
    o.socketPath = made + "/pav512d.sock";
    std::string error;
    auto s = host::SocketServer::start(o, &error);
    ASSERT_NE(s, nullptr) << error;
    ASSERT_EQ(::stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(o.socketPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    s->stop();

    // Found with wider permissions (as /tmp is): not changed.
    const std::string found = base + "/found";
    std::filesystem::create_directories(found);
    ASSERT_EQ(::chmod(found.c_str(), 01777), 0);
    o.socketPath = found + "/pav512d.sock";
    s = host::SocketServer::start(o, &error);
    ASSERT_NE(s, nullptr) << error;
    ASSERT_EQ(::stat(found.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    ASSERT_EQ(::stat(o.socketPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    s->stop();

    // For a group: what it makes is open to the group and belongs to it.
    o.group = ::getegid();
    o.socketPath = base + "/grouped/pav512d.sock";
    s = host::SocketServer::start(o, &error);
    ASSERT_NE(s, nullptr) << error;
    ASSERT_EQ(::stat((base + "/grouped").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    EXPECT_EQ(st.st_gid, *o.group);
    ASSERT_EQ(::stat(o.socketPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    s->stop();
}

TEST_F(SocketLimitsTest, TheClientGivesUpOnAHostThatDoesNotAnswer) {
    // Listens, never accepts, never answers.
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    uchannel::setTransport(uchannel::makeSocketTransport(path_, milliseconds(200)));

    HANDLE h = openChannel(driver_->interfacePath());
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    std::vector<std::string> paths;
    EXPECT_EQ(uchannel::currentTransport()->enumerateInterfaces(kInterfaceClassGuid, &paths),
              ERROR_TIMEOUT);
    // With its backlog full, even the connect gives up in time.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(openChannel(driver_->interfacePath()), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    }
    ::close(fd);
    ::unlink(path_.c_str());
}

}  // namespace
}  // namespace pavtest
