// pav512d against clients that mean it harm: half-sent messages held open,
// clients that never read, a thousand connections, descriptors run out,
// lengths no message may have, a client killed with requests in flight.
// Throughout, the host's memory stays bounded and a client that behaves
// keeps being served.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/channels/channel_fixture.h"
#include "tests/host/raw_client.h"
#include "tests/support/process.h"

namespace pavtest {
namespace {

using namespace pav512;

constexpr std::size_t kBudgetMb = 32;

// Resident memory of a process in KiB.
long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// What the host holds, from how far its resident memory grew. Under
// ThreadSanitizer every byte the host touches is shadowed twice over, so
// the growth is about three times what the host itself holds.
long heldKb(long residentGrowthKb) {
#if defined(__SANITIZE_THREAD__)
    return residentGrowthKb / 3;
#else
    return residentGrowthKb;
#endif
}

// User and system time of a process in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14) utime = std::atol(f.c_str());
        if (i == 15) {
            stime = std::atol(f.c_str());
            break;
        }
    }
    return utime + stime;
}

class HostileClients : public ::testing::Test {
  protected:
    void SetUp() override {
        // The sanitizer's quarantine would keep freed buffers resident and
        // hide what the host itself holds.
        std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        ::setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0")
                                     .c_str(),
                 1);
        daemon_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{PAV512D, "--simulated", "--no-usb", "--memory-budget-mb",
                                     std::to_string(kBudgetMb), "--client-deadline-ms", "500"},
            ChildProcess::Output::Error);
        ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
        socket_ = uruntime::socketPathIn(uruntime::hostDirectory(false));
        ASSERT_TRUE(daemon_->running());
        ASSERT_TRUE(
            waitFor([&] { return std::filesystem::exists(socket_); }, std::chrono::seconds(20)));
        uchannel::setTransport(uchannel::makeSocketTransport(socket_));
        // The socket is served before the camera's start-up ends.
        std::vector<std::string> paths;
        ASSERT_TRUE(waitFor([&] { return (paths = listInterfaces()).size() == 1; },
                            std::chrono::seconds(20)));
        path_ = paths[0];
        ASSERT_TRUE(roundTrips(5));
        idleKb_ = residentKb(daemon_->pid());
    }
    void TearDown() override {
        std::string output;
        if (daemon_ && daemon_->running()) {
            int status = daemon_->stop(SIGTERM, &output);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
        }
        uchannel::setTransport(nullptr);
    }
    // A client that behaves: `n` version requests, each answered.
    bool roundTrips(int n) {
        HANDLE h = openChannel(path_);
        if (h == INVALID_HANDLE_VALUE) return false;
        bool ok = true;
        for (int i = 0; i < n && ok; ++i) {
            auto b = requestBuffer(sizeof(CommandHeader));
            DWORD returned = 0;
            ok = call(h, IOCTL_CTI_VERSION, b, &returned) && returned == 20 && b[0] == 0;
        }
        CloseHandle(h);
        return ok;
    }
    std::vector<std::uint8_t> openBytes() {
        return uproto::encodeHello() + uproto::encodeOpen(path_ + kConnectSuffix);
    }
    int openRaw() {
        int fd = connectRaw(socket_);
        if (fd < 0 || !uproto::writeAll(fd, openBytes())) return -1;
        uproto::FrameReader reader;
        uproto::Message m;
        if (!uproto::readMessage(fd, reader, &m) || !uproto::readMessage(fd, reader, &m) ||
            m.kind != uproto::Kind::OpenReply)
            return -1;
        auto st = uproto::decodeOpenReply(m.payload);
        return st && NT_SUCCESS(*st) ? fd : -1;
    }
    // The largest reply a request can have: a buffer of the largest size,
    // answered whole by a diagnostic code that needs no camera.
    static std::vector<std::uint8_t> largestRequest(std::uint64_t id, std::uint32_t size) {
        std::vector<std::uint8_t> in(size, 0);
        return uproto::encodeRequest(id, IOCTL_DEBUG_GET_FLAG, in.data(), size, size);
    }
    long budgetKb() const { return static_cast<long>(kBudgetMb) << 10; }

    std::unique_ptr<ChildProcess> daemon_;
    std::string socket_;
    std::string path_;
    long idleKb_ = 0;
};

TEST_F(HostileClients, HalfSentMessagesAndSilentClientsAreClosedAndCostLittle) {
    std::vector<int> fds;
    long most = idleKb_;
    for (int i = 0; i < 100; ++i) {
        int silent = connectRaw(socket_);
        ASSERT_GE(silent, 0);
        fds.push_back(silent);
        // A request announcing the largest buffer, of which 60 KiB come.
        int half = openRaw();
        ASSERT_GE(half, 0);
        auto start = header(20 + uproto::kMaxBuffer, 6) + std::vector<std::uint8_t>(60 << 10, 1);
        ASSERT_TRUE(uproto::writeAll(half, start));
        fds.push_back(half);
        most = std::max(most, residentKb(daemon_->pid()));
    }
    EXPECT_TRUE(roundTrips(20));
    for (int fd : fds) {
        EXPECT_TRUE(closedByHost(fd));
        ::close(fd);
    }
    most = std::max(most, residentKb(daemon_->pid()));
    EXPECT_LT(heldKb(most - idleKb_), budgetKb()) << "idle " << idleKb_ << " KiB, peak " << most;
    EXPECT_TRUE(roundTrips(20));
}

TEST_F(HostileClients, ClientsThatNeverReadTheLargestRepliesCannotExhaustTheHost) {
    constexpr int kClients = 20;
    constexpr std::uint32_t kSize = 4u << 20;
    std::atomic<int> dropped{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            int fd = openRaw();
            if (fd < 0) return;
            // Asks and asks, never reads, until the host has had enough.
            for (std::uint64_t id = 1; id < 64; ++id) {
                if (!uproto::writeAll(fd, largestRequest(id, kSize))) {
                    dropped++;
                    break;
                }
            }
            ::close(fd);
        });
    }
    long most = idleKb_;
    std::thread sampler([&] {
        while (!done) {
            most = std::max(most, residentKb(daemon_->pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    bool served = true;
    while (dropped < kClients && served) served = roundTrips(1);
    for (auto& t : clients) t.join();
    done = true;
    sampler.join();
    EXPECT_TRUE(served);
    EXPECT_EQ(dropped.load(), kClients);
    // The budget, and what one client adds at once beyond it.
    EXPECT_LT(heldKb(most - idleKb_), 2 * budgetKb() + 4 * (kSize >> 10))
        << "idle " << idleKb_ << " KiB, peak " << most;
    EXPECT_TRUE(roundTrips(20));
}

TEST_F(HostileClients, LengthsNoMessageMayHaveEndTheConnectionAtTheirHeader) {
    for (std::uint32_t length : {0xFFFFFFFFu, uproto::kMaxPayload, 20 + uproto::kMaxBuffer + 1}) {
        int fd = openRaw();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(uproto::writeAll(fd, header(length, 6)));
        EXPECT_TRUE(closedByHost(fd)) << length;
        ::close(fd);
        int early = connectRaw(socket_);
        ASSERT_TRUE(uproto::writeAll(early, header(length, 1)));  // as a hello
        EXPECT_TRUE(closedByHost(early)) << length;
        ::close(early);
    }
    EXPECT_LT(heldKb(residentKb(daemon_->pid()) - idleKb_), budgetKb());
    EXPECT_TRUE(roundTrips(20));
}

TEST_F(HostileClients, AThousandIdleConnectionsLeaveTheOthersServed) {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 2200) GTEST_SKIP() << "needs 2200 descriptors, has " << lim.rlim_cur;
    std::vector<int> fds;
    for (int i = 0; i < 1000; ++i) {
        int fd = openRaw();
        ASSERT_GE(fd, 0) << i;
        fds.push_back(fd);
    }
    EXPECT_TRUE(roundTrips(200));
    // The first and the last of them are still channels.
    for (int fd : {fds.front(), fds.back()}) {
        ASSERT_TRUE(uproto::writeAll(
            fd, uproto::encodeRequest(1, IOCTL_CTI_VERSION,
                                      std::vector<std::uint8_t>(20, 0).data(), 20, 20)));
        uproto::FrameReader reader;
        uproto::Message m;
        ASSERT_TRUE(uproto::readMessage(fd, reader, &m));
        EXPECT_EQ(m.kind, uproto::Kind::Completion);
    }
    for (int fd : fds) ::close(fd);
    EXPECT_TRUE(roundTrips(20));
}

TEST_F(HostileClients, RunningOutOfDescriptorsDoesNotSpinTheHost) {
    // Room for what the host has open now and a few more.
    std::size_t open = 0;
    for (auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(daemon_->pid()) +
                                                       "/fd")) {
        (void)e;
        ++open;
    }
    rlimit was{};
    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_NOFILE, nullptr, &was), 0);
    rlimit few{open + 24, was.rlim_max};
    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_NOFILE, &few, nullptr), 0);
    std::vector<int> fds;
    for (int i = 0; i < 100; ++i) {
        int fd = connectRaw(socket_);
        if (fd >= 0) fds.push_back(fd);
    }
    ASSERT_TRUE(uproto::writeAll(fds.back(), uproto::encodeHello()));
    // Connections past the limit are refused, not left waiting with the
    // listening socket readable for ever.
    const long before = cpuTicks(daemon_->pid());
    int refused = 0;
    for (int fd : fds) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) == 1) {
            char b;
            if (::recv(fd, &b, 1, MSG_DONTWAIT) == 0) ++refused;
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long spent = cpuTicks(daemon_->pid()) - before;
    EXPECT_GT(refused, 0);
    // A spinning loop would have used the whole second.
    EXPECT_LT(spent, ::sysconf(_SC_CLK_TCK) / 2) << spent << " ticks";
    for (int fd : fds) ::close(fd);
    ASSERT_EQ(::prlimit(daemon_->pid(), RLIMIT_NOFILE, &was, nullptr), 0);
    EXPECT_TRUE(waitFor([&] { return roundTrips(5); }));
}

TEST_F(HostileClients, AClientKilledWithRequestsInFlightLeavesNothingBehind) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    // Everything the child sends is made here: after fork it makes system
    // calls only, as the parent has threads.
    std::vector<std::uint8_t> bytes = openBytes();
    for (std::uint64_t id = 1; id <= 24; ++id) bytes = bytes + largestRequest(id, 1u << 20);
    const std::string socket = socket_;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, socket.c_str(), socket.size() + 1);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            ::_exit(1);
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        char c = 1;
        ssize_t w = ::write(ready[1], &c, 1);
        (void)w;
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(roundTrips(50));
    EXPECT_TRUE(
        waitFor([&] { return heldKb(residentKb(daemon_->pid()) - idleKb_) < budgetKb(); }));
}

}  // namespace
}  // namespace pavtest
