// The socket host on its own: the protocol's hello and framing, malformed
// input that must end only its own connection, peer credentials, the private
// runtime directory, and client processes that die with requests pending.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/user/channel_protocol.h"
#include "tests/channels/channel_fixture.h"
#include "tests/channels/fake_driver.h"
#include "tests/host/raw_client.h"
#include "tests/support/process.h"

namespace pavtest {
namespace {

using namespace pav512;

class SocketHostTest : public FakeDriverOverSocket {
  protected:
    // A version request on a fresh channel of this process.
    bool channelWorks() { return versionAnswers(driver_->interfacePath()); }
    std::vector<std::uint8_t> openBytes() { return helloAndOpen(driver_->interfacePath()); }
};

TEST_F(SocketHostTest, HelloIsExchangedFirstAndCarriesTheVersion) {
    int fd = connectRaw(transport_->socketPath());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(uproto::writeAll(fd, uproto::encodeHello()));
    uproto::FrameReader reader;
    uproto::Message m;
    ASSERT_TRUE(uproto::readMessage(fd, reader, &m));
    ASSERT_EQ(m.kind, uproto::Kind::Hello);
    auto hello = uproto::decodeHello(m.payload);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->magic, uproto::kMagic);
    EXPECT_EQ(hello->version, uproto::kVersion);
    ::close(fd);

    // A client of another version gets the host's hello, then the end.
    fd = connectRaw(transport_->socketPath());
    auto other = header(8, 1);
    std::uint32_t words[2] = {uproto::kMagic, uproto::kVersion + 1};
    other.insert(other.end(), reinterpret_cast<std::uint8_t*>(words),
                 reinterpret_cast<std::uint8_t*>(words) + 8);
    ASSERT_TRUE(uproto::writeAll(fd, other));
    std::vector<std::uint8_t> got;
    EXPECT_TRUE(closedByHost(fd, &got));
    EXPECT_EQ(got, uproto::encodeHello());
    ::close(fd);
}

TEST_F(SocketHostTest, MalformedInputEndsOnlyItsOwnConnection) {
    // A channel that stays open through all of it, with a request pending.
    HANDLE keep = openChannel(driver_->interfacePath());
    ASSERT_NE(keep, INVALID_HANDLE_VALUE);
    auto held = requestBuffer(24);
    OVERLAPPED ov{};
    ASSERT_FALSE(DeviceIoControl(keep, kHoldCode, held.data(), 24, held.data(), 24, nullptr, &ov));
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 1; }));

    std::uint64_t errorsBefore = transport_->server()->protocolErrors();
    auto request = uproto::encodeRequest(9, IOCTL_CTI_VERSION,
                                         std::vector<std::uint8_t>(20, 0).data(), 20, 20);
    auto badLengths = request;
    badLengths[8 + 12] = 21;  // input length 21, payload carries 20
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases = {
        {"unknown kind first", header(0, 99)},
        {"over-long length", header(0xFFFFFFFF, 6)},
        {"longer than any buffer", header(uproto::kMaxPayload + 1, 6)},
        {"bad magic", header(8, 1) + std::vector<std::uint8_t>(8, 0)},
        {"flags set", header(8, 1, 1) + std::vector<std::uint8_t>(8, 0)},
        {"request before open", uproto::encodeHello() + request},
        {"hello twice", uproto::encodeHello() + uproto::encodeHello()},
        {"lengths disagree", openBytes() + badLengths},
        {"completion from a client", openBytes() + uproto::encodeCompletion(1, 0, 0, nullptr)},
        {"cancel-all with payload", openBytes() + header(1, 8) + std::vector<std::uint8_t>(1, 0)},
        {"half a request",
         openBytes() + std::vector<std::uint8_t>(request.begin(), request.begin() + 13)},
        {"open of an empty path", uproto::encodeHello() + header(0, 2)},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        int fd = connectRaw(transport_->socketPath());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(uproto::writeAll(fd, bytes));
        ::shutdown(fd, SHUT_WR);
        EXPECT_TRUE(closedByHost(fd));
        ::close(fd);
        EXPECT_TRUE(channelWorks());
    }
    EXPECT_TRUE(waitFor([&] {
        return transport_->server()->protocolErrors() == errorsBefore + cases.size();
    })) << transport_->server()->protocolErrors() - errorsBefore;

    // Two pending requests under one id: the connection ends and its first
    // request is cancelled in the driver.
    int fd = connectRaw(transport_->socketPath());
    auto hold =
        uproto::encodeRequest(5, kHoldCode, std::vector<std::uint8_t>(24, 0xFF).data(), 24, 24);
    ASSERT_TRUE(uproto::writeAll(fd, openBytes() + hold));
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 2; }));
    ASSERT_TRUE(uproto::writeAll(fd, hold));
    EXPECT_TRUE(closedByHost(fd));
    ::close(fd);
    EXPECT_TRUE(waitFor([&] { return driver_->cancelled() == 1 && driver_->held() == 1; }));

    // The first channel's request is still pending and still answered.
    driver_->releaseHeld();
    DWORD returned = 0;
    EXPECT_TRUE(GetOverlappedResult(keep, &ov, &returned, TRUE));
    EXPECT_EQ(returned, 24u);
    CloseHandle(keep);
}

TEST_F(SocketHostTest, OtherUsersAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls from here: the parent has threads.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        int fd = connectRaw(transport_->socketPath());
        if (fd < 0) ::_exit(0);  // not even allowed to connect: refused too
        auto hello = uproto::encodeHello();
        ssize_t w = ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
        (void)w;
        std::uint8_t buf[64];
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) ::_exit(11);
        ::_exit(::recv(fd, buf, sizeof buf, 0) <= 0 ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(channelWorks());
}

TEST(RuntimeDirectory, ClientsLookWhereTheHostListens) {
    ::setenv("PAV512_RUNTIME_DIR", "/tmp/pav-a", 1);
    EXPECT_EQ(uruntime::hostDirectory(false), "/tmp/pav-a");
    EXPECT_EQ(uruntime::hostDirectory(true), "/tmp/pav-a");
    EXPECT_EQ(uruntime::clientSocketPaths(), std::vector<std::string>{"/tmp/pav-a/pav512d.sock"});
    ::unsetenv("PAV512_RUNTIME_DIR");
    ::setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
    EXPECT_EQ(uruntime::hostDirectory(false), "/run/user/7/pav512");
    EXPECT_EQ(uruntime::hostDirectory(true), "/run/pav512");
    EXPECT_EQ(
        uruntime::clientSocketPaths(),
        (std::vector<std::string>{"/run/user/7/pav512/pav512d.sock", "/run/pav512/pav512d.sock"}));
}

// Client processes: one is killed while its request is pending in the driver.
TEST_F(SocketHostTest, KilledClientsPendingRequestIsCancelledAndOthersCarryOn) {
    ChildProcess doomed(
        {PAV_TEST_CLIENT, transport_->socketPath(), "hold", std::to_string(kHoldCode)});
    ASSERT_EQ(doomed.line(), "pending");
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 1; }));

    ChildProcess other({PAV_TEST_CLIENT, transport_->socketPath(), "versions", "200"});
    EXPECT_TRUE(WIFSIGNALED(doomed.kill()));
    EXPECT_TRUE(waitFor([&] { return driver_->cancelled() == 1 && driver_->held() == 0; }));

    EXPECT_EQ(other.line(), "ok 200");
    int status = other.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ChildProcess after({PAV_TEST_CLIENT, transport_->socketPath(), "versions", "5"});
    EXPECT_EQ(after.line(), "ok 5");
    EXPECT_TRUE(waitFor([&] { return transport_->server()->connectionCount() == 0; }));
}

}  // namespace
}  // namespace pavtest
