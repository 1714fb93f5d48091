// Memory a client shares with the host for its requests' output: the driver
// writes it in place and only the head crosses the socket; memory the host
// cannot trust (not a sealed memory file, too short, write-sealed), areas
// that do not exist or are busy, descriptors passed without a use, and a
// client that goes away with a request in its area.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "host/client_memory.h"
#include "platform/user/channel_protocol.h"
#include "platform/user/device_io.h"
#include "tests/channels/channel_fixture.h"
#include "tests/channels/fake_driver.h"
#include "tests/host/raw_client.h"

namespace pavtest {
namespace {

using namespace pav512;

std::size_t openDescriptors() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

// A memory file of `size` bytes with `seals` added.
int memoryFile(std::size_t size, int seals) {
    const int fd = ::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0 ||
        (seals && ::fcntl(fd, F_ADD_SEALS, seals) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendWith(int socket, const std::vector<std::uint8_t>& bytes, const std::vector<int>& fds) {
    return uproto::writeWithDescriptors(socket, bytes, fds.data(), fds.size());
}

std::vector<std::uint8_t> sharedRequest(std::uint64_t id, std::uint32_t code,
                                        const std::vector<std::uint8_t>& input,
                                        std::uint32_t outputLength, std::uint32_t area,
                                        std::uint32_t headLength) {
    const auto head = uproto::encodeRequestSharedHead(
        id, code, static_cast<std::uint32_t>(input.size()), outputLength, area, headLength);
    // Made at its whole size: growing it trips a false bounds warning of
    // GCC 12 at -O3.
    std::vector<std::uint8_t> bytes(head.size() + input.size());
    std::copy(head.begin(), head.end(), bytes.begin());
    std::copy(input.begin(), input.end(), bytes.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return bytes;
}

class SharedMemoryTest : public FakeDriverOverSocket {
  protected:
    host::SocketServer& server() { return *transport_->server(); }
    // The process's descriptors once the host has served a connection (it
    // opens some of its own on the way) and closed it.
    std::size_t settledDescriptors() {
        EXPECT_TRUE(versionAnswers(driver_->interfacePath()));
        EXPECT_TRUE(waitFor([&] { return server().connectionCount() == 0; }));
        return openDescriptors();
    }

    // A raw connection with the channel open.
    int openRaw() {
        const int fd = connectRaw(transport_->socketPath());
        if (fd < 0) return -1;
        uproto::Message m;
        if (!uproto::writeAll(fd, helloAndOpen(driver_->interfacePath())) || !next(fd, &m) ||
            m.kind != uproto::Kind::Hello || !next(fd, &m) || m.kind != uproto::Kind::OpenReply) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    bool next(int fd, uproto::Message* m) {
        bool late = false;
        return uproto::readMessage(fd, readers_[fd], m, 5000, &late);
    }
    // The status of the next answer, which must be a Completion of `id`
    // without data.
    NTSTATUS answer(int fd, std::uint64_t id) {
        uproto::Message m;
        if (!next(fd, &m) || m.kind != uproto::Kind::Completion) return STATUS_PENDING;
        auto c = uproto::decodeCompletion(m.payload);
        if (!c || c->id != id || c->information != 0) return STATUS_PENDING;
        return c->status;
    }

    std::map<int, uproto::FrameReader> readers_;
};

TEST_F(SharedMemoryTest, TheDriverWritesTheOutputInPlaceAndOnlyTheHeadCrosses) {
    const std::string path = driver_->interfacePath() + kConnectSuffix;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    constexpr DWORD kArea = 200000, kHead = 16;
    auto* area = static_cast<std::uint8_t*>(AllocateDeviceBuffer(h, kArea));
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area[0], 0);
    EXPECT_EQ(area[kArea - 1], 0);
    std::uint8_t head[kHead], input[kHead];
    for (DWORD i = 0; i < kHead; ++i) input[i] = static_cast<std::uint8_t>(0xC0 + i);

    // Into the shared area: the whole output answered, the head in the
    // caller's head, the rest written by the driver where the caller reads it.
    struct Case {
        const char* name;
        DWORD inputLength, restLength;
    };
    const Case cases[] = {{"the whole area", kHead, kArea}, {"part of it", 4, 1000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(area, 0xEE, kArea);
        std::memset(head, 0xEE, kHead);
        const std::uint64_t before = server().sharedAnswers();
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControlSplit(h, kFillCode, input, c.inputLength, head, kHead, area,
                                         c.restLength, &returned, nullptr))
            << GetLastError();
        EXPECT_EQ(returned, kHead + c.restLength);
        EXPECT_EQ(server().sharedAnswers() - before, 1u);
        EXPECT_EQ(std::memcmp(head, input, c.inputLength), 0);
        for (DWORD i = c.inputLength; i < kHead; ++i) ASSERT_EQ(head[i], fillByte(i)) << i;
        for (DWORD i = 0; i < c.restLength; ++i)
            ASSERT_EQ(area[i], fillByte(kHead + i)) << "area byte " << i;
        if (c.restLength < kArea) {
            EXPECT_EQ(area[c.restLength], 0xEE);
        }
    }

    // An input longer than the head (which would put client memory under the
    // driver's checks), or memory of the caller's own: the usual way, over
    // the socket, which this code answers as long as its input.
    std::vector<std::uint8_t> own(1000, 0xEE), longInput(kHead + 8, 0x11);
    const std::vector<std::uint8_t> shortInput(input, input + kHead);
    struct Other {
        const char* name;
        const std::vector<std::uint8_t>& input;
        std::uint8_t* rest;
    };
    const Other others[] = {{"a long input", longInput, area},
                            {"own memory", shortInput, own.data()}};
    for (const Other& o : others) {
        SCOPED_TRACE(o.name);
        const std::uint64_t before = server().sharedAnswers();
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControlSplit(h, kFillCode, const_cast<std::uint8_t*>(o.input.data()),
                                         static_cast<DWORD>(o.input.size()), head, kHead, o.rest,
                                         1000, &returned, nullptr));
        EXPECT_EQ(returned, o.input.size());
        EXPECT_EQ(server().sharedAnswers(), before);
    }

    EXPECT_TRUE(FreeDeviceBuffer(h, area));
    EXPECT_FALSE(FreeDeviceBuffer(h, area));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(AllocateDeviceBuffer(h, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // The host lets the area go once the client gave it back.
    EXPECT_TRUE(waitFor([] { return host::ClientMemory::live() == 0; }));
    // A buffer left to CloseHandle goes with the channel.
    ASSERT_NE(AllocateDeviceBuffer(h, 4096), nullptr);
    EXPECT_EQ(host::ClientMemory::live(), 1u);
    CloseHandle(h);
    EXPECT_TRUE(waitFor([] { return host::ClientMemory::live() == 0; }));
}

// A request completed on another thread than the socket's: the client sends
// its next request into the same area the moment it has the answer, and the
// host must have let the area go by then.
TEST_F(SharedMemoryTest, TheNextRequestFindsTheAreaFreeAsSoonAsTheAnswerArrives) {
    const std::string path = driver_->interfacePath() + kConnectSuffix;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto* area = static_cast<std::uint8_t*>(AllocateDeviceBuffer(h, 4096));
    ASSERT_NE(area, nullptr);
    constexpr int kRounds = 300;
    std::atomic<int> answered{0};
    std::atomic<DWORD> error{0};
    std::thread reader([&] {
        std::uint8_t head[24] = {};
        for (int i = 0; i < kRounds; ++i) {
            DWORD returned = 0;
            if (!DeviceIoControlSplit(h, kHoldCode, head, 24, head, 24, area, 100, &returned,
                                      nullptr)) {
                error = GetLastError();
                break;
            }
            answered.fetch_add(1);
        }
    });
    // Each held request is released, and so answered, from a thread of the
    // lowest priority: the threads its answer wakes (the client's, then the
    // host's socket loop with the next request) tend to run before it goes
    // on from the answer.
    std::atomic<bool> lost{false};
    std::thread releaser([&] {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
        for (int i = 0; i < kRounds && error.load() == 0; ++i) {
            if (!waitFor([&] { return driver_->held() == 1 || error.load() != 0; })) {
                lost = true;
                break;
            }
            driver_->releaseHeld();
        }
    });
    releaser.join();
    EXPECT_FALSE(lost.load());
    if (lost.load()) driver_->releaseHeld();
    reader.join();
    EXPECT_EQ(error.load(), 0u);
    EXPECT_EQ(answered.load(), kRounds);
    CloseHandle(h);
}

TEST_F(SharedMemoryTest, TheHostMapsOnlyMemoryItCanTrustAndRefusesWhatItCannotUse) {
    const std::size_t descriptors = settledDescriptors();
    const int fd = openRaw();
    ASSERT_GE(fd, 0);
    constexpr std::uint32_t kSize = 8192;
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    struct Case {
        const char* name;
        int file;
        std::uint32_t size;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"a pipe", pipeEnds[0], kSize, STATUS_INVALID_PARAMETER},
        {"a memory file that may shrink", memoryFile(kSize, 0), kSize, STATUS_INVALID_PARAMETER},
        {"one shorter than it says", memoryFile(kSize, F_SEAL_SHRINK), kSize + 1,
         STATUS_INVALID_PARAMETER},
        {"one sealed against writes", memoryFile(kSize, F_SEAL_SHRINK | F_SEAL_WRITE), kSize,
         STATUS_INVALID_PARAMETER},
        {"a size of 0", memoryFile(kSize, F_SEAL_SHRINK), 0, STATUS_INVALID_PARAMETER},
        {"a sealed memory file", memoryFile(kSize, F_SEAL_SHRINK), kSize, STATUS_SUCCESS},
    };
    std::uint64_t id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GE(c.file, 0);
        // Every case asks for area 7; only the last maps it.
        ASSERT_TRUE(sendWith(fd, uproto::encodeShareMemory(id, 7, c.size), {c.file}));
        EXPECT_EQ(answer(fd, id), c.status);
        ::close(c.file);
        ++id;
    }
    ::close(pipeEnds[1]);
    EXPECT_EQ(host::ClientMemory::live(), 1u);
    // The same number again is refused; the area keeps working.
    const int again = memoryFile(kSize, F_SEAL_SHRINK);
    ASSERT_TRUE(sendWith(fd, uproto::encodeShareMemory(id, 7, kSize), {again}));
    EXPECT_EQ(answer(fd, id++), STATUS_INVALID_PARAMETER);
    ::close(again);

    // Requests naming no area, or more than the area holds, are refused.
    const std::vector<std::uint8_t> input(8, 0x42);
    ASSERT_TRUE(uproto::writeAll(fd, sharedRequest(id, kFillCode, input, 16 + 100, 8, 16)));
    EXPECT_EQ(answer(fd, id++), STATUS_INVALID_PARAMETER);
    ASSERT_TRUE(uproto::writeAll(fd, sharedRequest(id, kFillCode, input, 16 + kSize + 1, 7, 16)));
    EXPECT_EQ(answer(fd, id++), STATUS_INVALID_PARAMETER);
    // A head shorter than the code's fixed layout would leave the fields
    // the driver checks in the client's memory.
    std::vector<std::uint8_t> hold(24, 0);
    ASSERT_TRUE(uproto::writeAll(fd, sharedRequest(id, kHoldCode, input, 16 + 100, 7, 16)));
    EXPECT_EQ(answer(fd, id++), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(driver_->held(), 0u);

    // One that fits is answered with its head only.
    ASSERT_TRUE(uproto::writeAll(fd, sharedRequest(id, kFillCode, input, 16 + kSize, 7, 16)));
    uproto::Message m;
    ASSERT_TRUE(next(fd, &m));
    ASSERT_EQ(m.kind, uproto::Kind::CompletionShared);
    auto c = uproto::decodeCompletionShared(m.payload);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->id, id++);
    EXPECT_EQ(c->status, STATUS_SUCCESS);
    EXPECT_EQ(c->information, 16 + kSize);
    ASSERT_EQ(c->dataLength, 16u);
    EXPECT_EQ(std::memcmp(c->data, input.data(), 8), 0);
    EXPECT_EQ(c->data[8], fillByte(8));

    // While a request holds the area, a second one meets it busy.
    ASSERT_TRUE(uproto::writeAll(fd, sharedRequest(id++, kHoldCode, hold, 24 + 100, 7, 24)));
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 1; }));
    ASSERT_TRUE(uproto::writeAll(fd, sharedRequest(id, kFillCode, input, 16 + 100, 7, 16)));
    EXPECT_EQ(answer(fd, id++), STATUS_DEVICE_BUSY);
    // Given back by the client while held: the host keeps its mapping
    // until the request ends, then lets it go.
    ASSERT_TRUE(uproto::writeAll(fd, uproto::encodeUnshareMemory(7)));
    ASSERT_TRUE(uproto::writeAll(fd, sharedRequest(id, kFillCode, input, 16 + 100, 7, 16)));
    EXPECT_EQ(answer(fd, id++), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::ClientMemory::live(), 1u);
    driver_->releaseHeld();
    ASSERT_TRUE(next(fd, &m));
    EXPECT_EQ(m.kind, uproto::Kind::CompletionShared);
    EXPECT_TRUE(waitFor([] { return host::ClientMemory::live() == 0; }));

    // A client that goes away with a request in its area: the area lives
    // until the request is cancelled.
    const int last = memoryFile(kSize, F_SEAL_SHRINK);
    ASSERT_TRUE(sendWith(fd, uproto::encodeShareMemory(id, 9, kSize), {last}));
    EXPECT_EQ(answer(fd, id++), STATUS_SUCCESS);
    ::close(last);
    ASSERT_TRUE(uproto::writeAll(fd, sharedRequest(id++, kHoldCode, hold, 24 + kSize, 9, 24)));
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 1; }));
    ::close(fd);
    EXPECT_TRUE(waitFor([] { return host::ClientMemory::live() == 0; }));
    EXPECT_TRUE(waitFor([&] { return driver_->cancelled() == 1; }));
    EXPECT_EQ(server().protocolErrors(), 0u);
    EXPECT_TRUE(waitFor([&] { return openDescriptors() == descriptors; }))
        << openDescriptors() << " descriptors, " << descriptors << " before";
}

TEST_F(SharedMemoryTest, DescriptorsWithoutAUseEndTheConnectionAndAreClosed) {
    const std::size_t descriptors = settledDescriptors();
    struct Case {
        const char* name;
        int count;              // descriptors passed
        bool withShareMessage;  // the bytes are a ShareMemory rather than a cancel
    };
    const Case cases[] = {
        {"a ShareMemory without its descriptor", 0, true},
        {"more descriptors than may wait", 5, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t errors = server().protocolErrors();
        const int fd = openRaw();
        ASSERT_GE(fd, 0);
        std::vector<int> files;
        for (int i = 0; i < c.count; ++i) files.push_back(memoryFile(4096, F_SEAL_SHRINK));
        const auto bytes =
            c.withShareMessage ? uproto::encodeShareMemory(1, 1, 4096) : uproto::encodeCancel(1);
        ASSERT_TRUE(sendWith(fd, bytes, files));
        for (int f : files) ::close(f);
        EXPECT_TRUE(closedByHost(fd));
        ::close(fd);
        EXPECT_TRUE(waitFor([&] { return server().protocolErrors() == errors + 1; }));
    }
    // Descriptors the client passed without a ShareMemory that used them
    // are closed with the connection.
    const int fd = openRaw();
    ASSERT_GE(fd, 0);
    const int spare = memoryFile(4096, F_SEAL_SHRINK);
    ASSERT_TRUE(sendWith(fd, uproto::encodeCancel(1), {spare}));
    ::close(spare);
    ::close(fd);
    EXPECT_TRUE(waitFor([&] { return server().connectionCount() == 0; }));
    EXPECT_TRUE(waitFor([&] { return openDescriptors() == descriptors; }))
        << openDescriptors() << " descriptors, " << descriptors << " before";
    EXPECT_TRUE(versionAnswers(driver_->interfacePath()));
}

}  // namespace
}  // namespace pavtest
