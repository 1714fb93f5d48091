// The socket client against a scripted host: long answers received straight
// into the place their request gave, among events and other answers, and
// answers that do not fit, that failed or that end half-way.
#include "platform/user/socket_client.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/channel_protocol.h"
#include "platform/user/channel_transport.h"
#include "platform/user/device_io.h"
#include "platform/user/handles.h"

namespace uproto {
namespace {

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

std::vector<std::uint8_t> completion(std::uint64_t id, NTSTATUS st,
                                     const std::vector<std::uint8_t>& data) {
    return encodeCompletion(id, st, static_cast<std::uint32_t>(data.size()), data.data());
}

// A host of one connection: the hello and the open, then `script` with the
// connection and its reader, then the end of the connection.
class ScriptedHost {
  public:
    using Script = std::function<void(int fd, FrameReader& reader)>;
    explicit ScriptedHost(Script script) {
        char dir[] = "/tmp/pav-sockclient-XXXXXX";
        dir_ = mkdtemp(dir);
        path_ = dir_ + "/host.sock";
        listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
        ok_ = ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              ::listen(listen_, 4) == 0;
        thread_ = std::thread([this, script = std::move(script)] {
            int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0) return;
            FrameReader reader;
            Message m;
            if (readMessage(fd, reader, &m) && m.kind == Kind::Hello &&
                writeAll(fd, encodeHello()) && readMessage(fd, reader, &m) &&
                m.kind == Kind::Open && writeAll(fd, encodeOpenReply(STATUS_SUCCESS)))
                script(fd, reader);
            ::close(fd);
        });
    }
    ~ScriptedHost() {
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }
    std::unique_ptr<uchannel::Channel> open() {
        auto transport = uchannel::makeSocketTransport(path_);
        std::unique_ptr<uchannel::Channel> channel;
        if (transport->open("\\\\?\\scripted", &channel) != ERROR_SUCCESS) return nullptr;
        return channel;
    }

  private:
    std::string dir_, path_;
    int listen_ = -1;
    bool ok_ = false;
    std::thread thread_;
};

// Reads requests until `count` have come; their ids in order.
std::vector<std::uint64_t> takeRequests(int fd, FrameReader& reader, int count) {
    std::vector<std::uint64_t> ids;
    Message m;
    while (static_cast<int>(ids.size()) < count && readMessage(fd, reader, &m)) {
        if (m.kind != Kind::Request) continue;
        auto r = decodeRequest(m.payload);
        if (r) ids.push_back(r->id);
    }
    return ids;
}

// One request's answer, waited for: the waiting thread reads the answer
// itself when the channel lets it (waitDirect), else the reader thread does.
struct Answer {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    std::uint32_t information = 0;
    bool hadData = true;

    void wait(uchannel::Channel& channel, std::uint64_t id) {
        channel.waitDirect(id);
        std::unique_lock<std::mutex> g(lock);
        cv.wait(g, [&] { return done; });
    }
};

uchannel::ReplyFn record(Answer* a) {
    return [a](NTSTATUS st, std::uint32_t info, const std::uint8_t* data) {
        std::lock_guard<std::mutex> g(a->lock);
        a->done = true;
        a->status = st;
        a->information = info;
        a->hadData = data != nullptr;
        a->cv.notify_all();
    };
}

TEST(SocketClientInPlace, LongAnswersLandByteExactInTheirTwoPiecesAmongEventsAndOtherAnswers) {
    const auto big = pattern(44 + 70000, 3), small = pattern(50, 9);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const auto wire = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event));
    ScriptedHost host([&](int fd, FrameReader& reader) {
        auto ids = takeRequests(fd, reader, 2);
        if (ids.size() != 2) return;
        // An event, the small request's answer, then the long one's, written
        // in pieces so the client meets every split of them.
        std::vector<std::uint8_t> all = encodeEventSignal(wire);
        auto b = completion(ids[0], STATUS_SUCCESS, small);
        all.insert(all.end(), b.begin(), b.end());
        auto a = completion(ids[1], STATUS_SUCCESS, big);
        all.insert(all.end(), a.begin(), a.end());
        for (std::size_t at = 0; at < all.size(); at += 997) {
            const std::size_t n = std::min<std::size_t>(997, all.size() - at);
            if (!writeAll(fd, all.data() + at, n, nullptr, 0)) return;
        }
        Message m;
        readMessage(fd, reader, &m);  // until the client closes
    });
    ASSERT_TRUE(host.ok());
    auto channel = host.open();
    ASSERT_NE(channel, nullptr);

    // The first piece is a header of 44 bytes, the second the caller's area
    // with guard bytes past what the place offers.
    std::vector<std::uint8_t> head(44, 0xEE), area(100000 + 16, 0xEE), other(64 + 16, 0xEE);
    uchannel::ReplyPlace bigPlace, smallPlace;
    bigPlace.part[0] = head.data();
    bigPlace.length[0] = 44;
    bigPlace.part[1] = area.data();
    bigPlace.length[1] = 100000;
    smallPlace.part[0] = other.data();
    smallPlace.length[0] = 64;
    Answer first, second;
    std::uint8_t in[44] = {};
    channel->submitInto(0x220800, in, 8, 64, smallPlace, record(&second));
    const auto id = channel->submitInto(0x2208AC, in, 44, 44 + 100000, bigPlace, record(&first),
                                        /*waited=*/true);
    first.wait(*channel, id);
    second.wait(*channel, 0);

    ASSERT_TRUE(first.done);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(first.information, big.size());
    EXPECT_FALSE(first.hadData);  // the bytes are in the place, not handed over
    EXPECT_TRUE(std::equal(head.begin(), head.end(), big.begin()));
    EXPECT_TRUE(std::equal(big.begin() + 44, big.end(), area.begin()));
    EXPECT_TRUE(std::all_of(area.begin() + 70000, area.end(), [](auto v) { return v == 0xEE; }));
    ASSERT_TRUE(second.done);
    EXPECT_EQ(second.information, small.size());
    EXPECT_TRUE(std::equal(small.begin(), small.end(), other.begin()));
    EXPECT_TRUE(std::all_of(other.begin() + 50, other.end(), [](auto v) { return v == 0xEE; }));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    channel->close();
    CloseHandle(event);
}

TEST(SocketClientInPlace, AnswersLongerThanThePlaceOrFailedNeverWritePastOrIntoIt) {
    const auto longer = pattern(30000, 5), failed = pattern(9000, 1);
    ScriptedHost host([&](int fd, FrameReader& reader) {
        auto ids = takeRequests(fd, reader, 1);
        if (ids.size() != 1 || !writeAll(fd, completion(ids[0], STATUS_SUCCESS, longer))) return;
        ids = takeRequests(fd, reader, 1);
        if (ids.size() != 1 || !writeAll(fd, completion(ids[0], STATUS_INVALID_PARAMETER, failed)))
            return;
        Message m;
        readMessage(fd, reader, &m);
    });
    ASSERT_TRUE(host.ok());
    auto channel = host.open();
    ASSERT_NE(channel, nullptr);
    std::vector<std::uint8_t> memory(20000 + 4096, 0xEE);
    uchannel::ReplyPlace place;
    place.part[0] = memory.data();
    place.length[0] = 44;
    place.part[1] = memory.data() + 44;
    place.length[1] = 20000 - 44;
    std::uint8_t in[44] = {};

    Answer a;
    auto id = channel->submitInto(1, in, 44, 20000, place, record(&a), /*waited=*/true);
    a.wait(*channel, id);
    ASSERT_TRUE(a.done);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.information, longer.size());  // the caller cuts it to its buffer
    EXPECT_TRUE(std::equal(memory.begin(), memory.begin() + 20000, longer.begin()));
    EXPECT_TRUE(std::all_of(memory.begin() + 20000, memory.end(), [](auto v) { return v == 0xEE; }));

    std::fill(memory.begin(), memory.end(), 0xEE);
    Answer b;
    id = channel->submitInto(2, in, 44, 20000, place, record(&b), /*waited=*/true);
    b.wait(*channel, id);
    ASSERT_TRUE(b.done);
    EXPECT_EQ(b.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(std::all_of(memory.begin(), memory.end(), [](auto v) { return v == 0xEE; }));
    channel->close();
}

TEST(SocketClientInPlace, AHostThatEndsHalfWayThroughAnAnswerFailsTheRequest) {
    ScriptedHost host([&](int fd, FrameReader& reader) {
        auto ids = takeRequests(fd, reader, 1);
        if (ids.size() != 1) return;
        const auto whole = completion(ids[0], STATUS_SUCCESS, pattern(50000, 2));
        writeAll(fd, whole.data(), 30000, nullptr, 0);
    });
    ASSERT_TRUE(host.ok());
    auto channel = host.open();
    ASSERT_NE(channel, nullptr);
    std::vector<std::uint8_t> memory(60000, 0);
    uchannel::ReplyPlace place;
    place.part[0] = memory.data();
    place.length[0] = 60000;
    Answer a;
    std::uint8_t in[8] = {};
    const auto id = channel->submitInto(1, in, 8, 60000, place, record(&a), /*waited=*/true);
    a.wait(*channel, id);
    ASSERT_TRUE(a.done);
    EXPECT_EQ(a.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(a.information, 0u);
    channel->close();
}

// The Win32 face of it: a split output buffer over the socket, the count
// returned covering both pieces and cut to them.
TEST(SocketClientInPlace, DeviceIoControlSplitAnswersIntoBothPiecesAndCountsThem) {
    const auto reply = pattern(44 + 8000, 11);
    ScriptedHost host([&](int fd, FrameReader& reader) {
        for (int i = 0; i < 2; ++i) {
            auto ids = takeRequests(fd, reader, 1);
            if (ids.size() != 1 || !writeAll(fd, completion(ids[0], STATUS_SUCCESS, reply))) return;
        }
        Message m;
        readMessage(fd, reader, &m);
    });
    ASSERT_TRUE(host.ok());
    uchannel::setTransport(uchannel::makeSocketTransport(host.path()));
    HANDLE h = CreateFileA("\\\\?\\scripted", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::uint8_t head[44] = {};
    std::vector<std::uint8_t> area(9000, 0xEE);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControlSplit(h, 1, head, 44, head, 44, area.data(), 9000, &returned,
                                     nullptr));
    EXPECT_EQ(returned, reply.size());
    EXPECT_TRUE(std::equal(head, head + 44, reply.begin()));
    EXPECT_TRUE(std::equal(reply.begin() + 44, reply.end(), area.begin()));
    EXPECT_EQ(area[8000], 0xEE);
    // Smaller than the answer: the count is what the pieces hold.
    returned = 0;
    std::fill(area.begin(), area.end(), 0xEE);
    ASSERT_TRUE(DeviceIoControlSplit(h, 1, head, 44, head, 44, area.data(), 4000, &returned,
                                     nullptr));
    EXPECT_EQ(returned, 44u + 4000u);
    EXPECT_TRUE(std::equal(reply.begin() + 44, reply.begin() + 44 + 4000, area.begin()));
    EXPECT_TRUE(std::all_of(area.begin() + 4000, area.end(), [](auto v) { return v == 0xEE; }));
    CloseHandle(h);
    uchannel::setTransport(nullptr);
}

// Stages of a test and its scripted host, one after the other.
class Stages {
  public:
    void reach(int stage) {
        std::lock_guard<std::mutex> g(lock_);
        stage_ = stage;
        cv_.notify_all();
    }
    bool await(int stage) {
        std::unique_lock<std::mutex> g(lock_);
        return cv_.wait_for(g, std::chrono::seconds(10), [&] { return stage_ >= stage; });
    }

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    int stage_ = 0;
};

// Held requests stay with the client until it lets go, then go out in one
// write; whatever else is sent meanwhile (another thread's request, a
// waited request, a cancel) sends them first, so the host sees everything
// in the order it was made.
TEST(SocketClientHold, HeldRequestsGoOutTogetherAndNothingOvertakesThem) {
    Stages test, hostSide;
    int unsentWhileHeld = -1;
    std::size_t inTheFirstRead = 0;
    std::vector<std::string> order;  // what the host received after that, in order
    std::vector<std::uint64_t> ids;
    ScriptedHost host([&](int fd, FrameReader& reader) {
        auto note = [&](const Message& m) {
            if (m.kind == Kind::Request) {
                auto r = decodeRequest(m.payload);
                if (!r) return;
                ids.push_back(r->id);
                order.push_back("request " + std::to_string(r->code));
            } else if (m.kind == Kind::CancelAll) {
                order.push_back("cancel all");
            }
        };
        if (!test.await(1)) return;
        ioctl(fd, FIONREAD, &unsentWhileHeld);
        hostSide.reach(1);
        if (!test.await(2)) return;
        std::vector<std::uint8_t> bytes(65536);
        const ssize_t n = ::recv(fd, bytes.data(), bytes.size(), 0);
        if (n <= 0) return;
        reader.append(bytes.data(), static_cast<std::size_t>(n));
        Message m;
        while (reader.next(&m) == FrameReader::Result::Message) {
            ++inTheFirstRead;
            note(m);
        }
        order.clear();
        hostSide.reach(2);
        // The rest: five requests and a cancel, then every request answered.
        while (order.size() < 6 && readMessage(fd, reader, &m)) note(m);
        for (std::uint64_t id : ids)
            if (!writeAll(fd, completion(id, STATUS_SUCCESS, {}))) return;
        readMessage(fd, reader, &m);  // until the client closes
    });
    ASSERT_TRUE(host.ok());
    auto channel = host.open();
    ASSERT_NE(channel, nullptr);
    std::uint8_t in[8] = {};
    Answer answers[8];
    int next = 0;
    auto submit = [&](std::uint32_t code) {
        channel->submit(code, in, 8, 8, record(&answers[next++]));
    };

    channel->holdRequests(true);
    submit(1);
    submit(2);
    submit(3);
    test.reach(1);
    ASSERT_TRUE(hostSide.await(1));
    EXPECT_EQ(unsentWhileHeld, 0) << "a held request went out before its release";
    channel->holdRequests(false);
    test.reach(2);
    ASSERT_TRUE(hostSide.await(2));
    EXPECT_EQ(inTheFirstRead, 3u) << "the released requests came in more than one write";

    channel->holdRequests(true);
    submit(4);
    std::thread([&] { channel->submit(5, in, 8, 8, record(&answers[4])); }).join();
    next = 5;
    submit(6);
    const std::uint64_t waited = channel->submitWaited(7, in, 8, 8, record(&answers[next++]));
    submit(8);
    channel->cancelAll();
    channel->holdRequests(false);
    // The waited request's wait first: the socket is kept for it.
    answers[6].wait(*channel, waited);
    for (int i = 0; i < next; ++i) answers[i].wait(*channel, 0);
    EXPECT_EQ(order, (std::vector<std::string>{"request 4", "request 5", "request 6", "request 7",
                                               "request 8", "cancel all"}));
    for (int i = 0; i < next; ++i) {
        EXPECT_TRUE(answers[i].done) << "request " << i + 1;
        EXPECT_EQ(answers[i].status, STATUS_SUCCESS) << "request " << i + 1;
    }
    channel->close();
}

// A thread that takes the hold over does not keep the first one's requests:
// those go out when the first lets go.
TEST(SocketClientHold, LettingGoSendsWhatIsHeldWhoeverHoldsNow) {
    bool arrived = false;
    ScriptedHost host([&](int fd, FrameReader& reader) {
        Message m;
        bool timedOut = false;
        if (!readMessage(fd, reader, &m, 10000, &timedOut) || m.kind != Kind::Request) return;
        auto r = decodeRequest(m.payload);
        if (!r) return;
        arrived = true;
        if (!writeAll(fd, completion(r->id, STATUS_SUCCESS, {}))) return;
        readMessage(fd, reader, &m);  // until the client closes
    });
    ASSERT_TRUE(host.ok());
    auto channel = host.open();
    ASSERT_NE(channel, nullptr);
    std::uint8_t in[8] = {};
    Answer answer;
    channel->holdRequests(true);
    channel->submit(1, in, 8, 8, record(&answer));
    std::thread([&] { channel->holdRequests(true); }).join();
    channel->holdRequests(false);
    answer.wait(*channel, 0);
    EXPECT_TRUE(arrived);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    channel->close();
}

}  // namespace
}  // namespace uproto
