// The socket protocol's framing and payloads, apart from any socket.
#include "platform/user/channel_protocol.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "pav512/guids.h"

namespace uproto {
namespace {

std::vector<Message> feed(FrameReader& r, const std::vector<std::uint8_t>& bytes,
                          std::size_t chunk) {
    std::vector<Message> out;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        r.append(bytes.data() + at, std::min(chunk, bytes.size() - at));
        Message m;
        while (r.next(&m) == FrameReader::Result::Message) out.push_back(m);
    }
    return out;
}

TEST(ChannelProtocol, MessagesSurviveAnySplitOfTheStream) {
    std::vector<std::uint8_t> input(300);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> stream = encodeHello();
    auto req = encodeRequest(0x1122334455667788ull, 0x220C08, input.data(), 300, 400);
    auto done = encodeCompletion(7, static_cast<NTSTATUS>(0xC0000010), 3, input.data());
    auto sig = encodeEventSignal(0x44);
    for (auto* m : {&req, &done, &sig}) stream.insert(stream.end(), m->begin(), m->end());

    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, stream.size()}) {
        FrameReader r;
        auto msgs = feed(r, stream, chunk);
        ASSERT_EQ(msgs.size(), 4u) << chunk;
        EXPECT_EQ(r.pending(), 0u);
        auto q = decodeRequest(msgs[1].payload);
        ASSERT_TRUE(q);
        EXPECT_EQ(q->id, 0x1122334455667788ull);
        EXPECT_EQ(q->code, 0x220C08u);
        EXPECT_EQ(q->outputLength, 400u);
        EXPECT_EQ(std::memcmp(q->input, input.data(), 300), 0);
        auto c = decodeCompletion(msgs[2].payload);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->status, static_cast<NTSTATUS>(0xC0000010));
        EXPECT_EQ(c->information, 3u);
        EXPECT_EQ(decodeEventSignal(msgs[3].payload), 0x44u);
    }
}

TEST(ChannelProtocol, BadHeadersStopTheStreamForGood) {
    for (auto header : {std::vector<std::uint8_t>{0, 0, 0, 0, 0x63, 0, 0, 0},  // unknown kind
                        std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 6, 0, 0, 0},  // over-long
                        std::vector<std::uint8_t>{0, 0, 0, 0, 8, 0, 1, 0}}) {           // flags
        FrameReader r;
        r.append(header.data(), header.size());
        Message m;
        EXPECT_EQ(r.next(&m), FrameReader::Result::Error);
        auto good = encodeCancelAll();
        r.append(good.data(), good.size());
        EXPECT_EQ(r.next(&m), FrameReader::Result::Error);
        EXPECT_FALSE(r.error().empty());
    }
}

TEST(ChannelProtocol, PayloadsThatDisagreeWithThemselvesAreRefused) {
    std::uint8_t in[8] = {};
    auto strip = [](std::vector<std::uint8_t> m) {
        return std::vector<std::uint8_t>(m.begin() + kHeaderLength, m.end());
    };
    auto req = strip(encodeRequest(1, 0x220000, in, 8, 8));
    EXPECT_TRUE(decodeRequest(req));
    auto longer = req;
    longer.push_back(0);
    EXPECT_FALSE(decodeRequest(longer));
    EXPECT_FALSE(decodeRequest(std::vector<std::uint8_t>(req.begin(), req.end() - 1)));
    auto huge = req;
    std::uint32_t big = kMaxBuffer + 1;
    std::memcpy(huge.data() + 16, &big, 4);  // output length
    EXPECT_FALSE(decodeRequest(huge));

    auto done = strip(encodeCompletion(1, 0, 8, in));
    done.pop_back();
    EXPECT_FALSE(decodeCompletion(done));

    auto list = strip(encodeEnumerateReply({"\\\\?\\usb#a", "\\\\?\\usb#b"}));
    auto paths = decodeEnumerateReply(list);
    ASSERT_TRUE(paths);
    EXPECT_EQ(*paths, (std::vector<std::string>{"\\\\?\\usb#a", "\\\\?\\usb#b"}));
    std::uint32_t many = 1000;
    std::memcpy(list.data(), &many, 4);
    EXPECT_FALSE(decodeEnumerateReply(list));

    EXPECT_FALSE(decodeOpen({}));
    EXPECT_FALSE(decodeOpen(std::vector<std::uint8_t>{'a', 0, 'b'}));
    EXPECT_FALSE(decodeOpen(std::vector<std::uint8_t>(kMaxPathLength + 1, 'a')));
    EXPECT_FALSE(decodeHello(std::vector<std::uint8_t>(9, 0)));
    EXPECT_FALSE(decodeCancel(std::vector<std::uint8_t>(7, 0)));
    auto guid = strip(encodeEnumerate(pav512::kInterfaceClassGuid));
    auto g = decodeEnumerate(guid);
    ASSERT_TRUE(g);
    EXPECT_TRUE(*g == pav512::kInterfaceClassGuid);
}

// A shared request's head must hold its input and fit both its output and
// the host's room; a shared answer carries no more than its information.
TEST(ChannelProtocol, SharedRequestsAndAnswersThatDisagreeWithThemselvesAreRefused) {
    auto shared = [](std::uint32_t input, std::uint32_t output, std::uint32_t head) {
        const auto h = encodeRequestSharedHead(3, 0x220800, input, output, 9, head);
        // The payload after the frame header, then the input, made at its
        // whole size (growing it trips a false bounds warning of GCC 12 at -O3).
        std::vector<std::uint8_t> p(h.size() - kHeaderLength + input, 0x5A);
        std::copy(h.begin() + kHeaderLength, h.end(), p.begin());
        return p;
    };
    struct Case {
        const char* name;
        std::uint32_t input, output, head;
        bool valid;
    };
    const Case cases[] = {
        {"input within the head", 44, 44 + 1000, 44, true},
        {"no input", 0, 100, 10, true},
        {"input longer than the head", 45, 1000, 44, false},
        {"head longer than the output", 8, 40, 44, false},
        {"head beyond the host's room", 8, kMaxSharedHead + 100, kMaxSharedHead + 1, false},
        {"output beyond a buffer", 8, kMaxBuffer + 1, 44, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto payload = shared(c.input, c.output, c.head);
        auto r = decodeRequestShared(payload);
        ASSERT_EQ(r.has_value(), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(r->request.id, 3u);
        EXPECT_EQ(r->request.inputLength, c.input);
        EXPECT_EQ(r->request.outputLength, c.output);
        EXPECT_EQ(r->area, 9u);
        EXPECT_EQ(r->headLength, c.head);
        if (c.input) {
            EXPECT_EQ(r->request.input[c.input - 1], 0x5A);
        }
    }
    auto cut = shared(8, 100, 10);
    cut.pop_back();
    EXPECT_FALSE(decodeRequestShared(cut));

    std::uint8_t head[44] = {1, 2, 3};
    auto strip = [](std::vector<std::uint8_t> m) {
        return std::vector<std::uint8_t>(m.begin() + kHeaderLength, m.end());
    };
    const auto answer = strip(encodeCompletionShared(4, 0, 44 + 5000, head, 44));
    auto done = decodeCompletionShared(answer);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->information, 44u + 5000u);
    EXPECT_EQ(done->dataLength, 44u);
    EXPECT_EQ(done->data[2], 3);
    // More bytes than the information says.
    auto over = strip(encodeCompletionShared(4, 0, 44, head, 44));
    over.push_back(0);
    EXPECT_FALSE(decodeCompletionShared(over));
    const auto twoPart = encodeCompletionSharedHead(4, 0, 44 + 5000, 44);
    std::vector<std::uint8_t> joined(twoPart.size() + 44);
    std::copy(twoPart.begin(), twoPart.end(), joined.begin());
    std::copy(head, head + 44, joined.begin() + static_cast<std::ptrdiff_t>(twoPart.size()));
    EXPECT_EQ(joined, encodeCompletionShared(4, 0, 44 + 5000, head, 44));

    auto share = decodeShareMemory(strip(encodeShareMemory(5, 6, 7)));
    ASSERT_TRUE(share);
    EXPECT_EQ(share->id, 5u);
    EXPECT_EQ(share->area, 6u);
    EXPECT_EQ(share->size, 7u);
    EXPECT_FALSE(decodeShareMemory(std::vector<std::uint8_t>(15, 0)));
    EXPECT_FALSE(decodeUnshareMemory(std::vector<std::uint8_t>(5, 0)));
    // A client reader takes a shared answer; one longer than any head it
    // refuses on the header alone.
    FrameReader reader;
    reader.limit(hostMessageLimits());
    auto frame = encodeCompletionShared(4, 0, 44, head, 44);
    reader.append(frame.data(), frame.size());
    Message m;
    EXPECT_EQ(reader.next(&m), FrameReader::Result::Message);
    EXPECT_EQ(m.kind, Kind::CompletionShared);
    auto tooLong = encodeCompletionHead(4, 0, 0);
    const std::uint32_t length = 16 + kMaxSharedHead + 1;
    std::memcpy(tooLong.data(), &length, 4);
    std::memcpy(tooLong.data() + 4, "\x0d\x00", 2);
    reader.append(tooLong.data(), tooLong.size());
    EXPECT_EQ(reader.next(&m), FrameReader::Result::Error);
}

TEST(ChannelProtocol, ALimitedReaderDecidesOnTheHeaderAndLargeMessagesArriveWhole) {
    // A 1 MiB request, alone and followed by another message: the same bytes
    // come out whichever way the reader keeps them.
    std::vector<std::uint8_t> input(1u << 20);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i * 7);
    auto big = encodeRequest(3, 0x22001C, input.data(), static_cast<std::uint32_t>(input.size()),
                             static_cast<std::uint32_t>(input.size()));
    auto both = big;
    auto cancel = encodeCancel(3);
    both.insert(both.end(), cancel.begin(), cancel.end());
    for (const auto* stream : {&big, &both}) {
        FrameReader r;
        auto msgs = feed(r, *stream, 65536);
        ASSERT_GE(msgs.size(), 1u);
        auto q = decodeRequest(msgs[0].payload);
        ASSERT_TRUE(q);
        EXPECT_EQ(std::memcmp(q->input, input.data(), input.size()), 0);
        EXPECT_EQ(msgs.size(), stream == &big ? 1u : 2u);
    }

    // A kind the reader does not allow, or one longer than allowed, is an
    // error as soon as its header is in.
    KindLimits limits = KindLimits().allow(Kind::Hello, 8).allow(Kind::Cancel, 8);
    struct Case {
        std::uint16_t kind;
        std::uint32_t length;
        bool ok;
    };
    for (Case c : {Case{1, 8, true}, Case{1, 9, false}, Case{6, 28, false}, Case{7, 8, true},
                   Case{7, 0xFFFFFFFF, false}}) {
        FrameReader r;
        r.limit(limits);
        std::uint8_t h[8];
        std::memcpy(h, &c.length, 4);
        std::memcpy(h + 4, &c.kind, 2);
        std::memset(h + 6, 0, 2);
        r.append(h, 8);
        Message m;
        EXPECT_EQ(r.next(&m), c.ok ? FrameReader::Result::NeedMore : FrameReader::Result::Error)
            << c.kind << " " << c.length;
    }
}

// Receives `stream` through receiveInto/received in pieces of at most
// `piece` bytes, as a socket would deliver it.
std::vector<Message> receive(FrameReader& r, const std::vector<std::uint8_t>& stream,
                             std::size_t piece) {
    std::vector<Message> out;
    std::size_t at = 0;
    Message m;
    while (at < stream.size()) {
        std::size_t room = 0;
        std::uint8_t* into = r.receiveInto(16, &room);
        EXPECT_GE(room, 1u);
        const std::size_t n = std::min({room, piece, stream.size() - at});
        std::memcpy(into, stream.data() + at, n);
        r.received(n);
        at += n;
        while (r.next(&m) == FrameReader::Result::Message) out.push_back(m);
    }
    return out;
}

TEST(ChannelProtocol, FramesReceivedInPlaceArriveWholeAndInOrder) {
    // A long completion (its payload gathered apart from the stream) between
    // short messages, received in pieces that split headers and payloads.
    std::vector<std::uint8_t> data(200000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<std::uint8_t> stream = encodeEventSignal(1);
    auto big = encodeCompletion(9, static_cast<NTSTATUS>(0),
                                static_cast<std::uint32_t>(data.size()), data.data());
    auto after = encodeEventSignal(2);
    stream.insert(stream.end(), big.begin(), big.end());
    stream.insert(stream.end(), after.begin(), after.end());
    for (std::size_t piece : {std::size_t{5}, std::size_t{4099}, stream.size()}) {
        FrameReader r;
        auto msgs = receive(r, stream, piece);
        ASSERT_EQ(msgs.size(), 3u) << piece;
        EXPECT_EQ(decodeEventSignal(msgs[0].payload), 1u);
        auto c = decodeCompletion(msgs[1].payload);
        ASSERT_TRUE(c) << piece;
        EXPECT_EQ(c->id, 9u);
        ASSERT_EQ(c->information, data.size());
        EXPECT_EQ(std::memcmp(c->data, data.data(), data.size()), 0) << piece;
        EXPECT_EQ(decodeEventSignal(msgs[2].payload), 2u);
        EXPECT_EQ(r.pending(), 0u);
    }

    // append and receiveInto may be mixed on one stream.
    FrameReader r;
    r.append(big.data(), 100);
    Message m;
    EXPECT_EQ(r.next(&m), FrameReader::Result::NeedMore);
    EXPECT_EQ(r.pending(), 100u);  // a message under way counts from its header
    std::size_t room = 0;
    std::uint8_t* into = r.receiveInto(1, &room);
    ASSERT_GE(room, 1u);
    const std::size_t n = std::min(room, big.size() - 100);
    std::memcpy(into, big.data() + 100, n);
    r.received(n);
    r.append(big.data() + 100 + n, big.size() - 100 - n);
    ASSERT_EQ(r.next(&m), FrameReader::Result::Message);
    EXPECT_EQ(m.payload.size(), big.size() - kHeaderLength);
    EXPECT_EQ(std::memcmp(m.payload.data(), big.data() + kHeaderLength, m.payload.size()), 0);
}

TEST(ChannelProtocol, RoomForAMessageAnnouncedLongGrowsOnlyAsItArrives) {
    // A header announcing 16 MiB: the room handed out for one receive is
    // bounded, and what a peer that stops sending leaves behind is what it
    // sent, not what it announced.
    const std::uint32_t length = 20 + kMaxBuffer;
    std::uint8_t h[8];
    std::memcpy(h, &length, 4);
    const std::uint16_t kind = static_cast<std::uint16_t>(Kind::Request);
    std::memcpy(h + 4, &kind, 2);
    std::memset(h + 6, 0, 2);
    FrameReader r;
    r.append(h, 8);
    Message m;
    ASSERT_EQ(r.next(&m), FrameReader::Result::NeedMore);
    std::size_t room = 0;
    r.receiveInto(16, &room);
    EXPECT_GE(room, 16u);
    EXPECT_LE(room, std::size_t{1} << 17);
    r.received(10);
    EXPECT_EQ(r.pending(), 18u);
    // A receive that brought nothing leaves nothing behind.
    r.receiveInto(16, &room);
    r.received(0);
    EXPECT_EQ(r.pending(), 18u);
    EXPECT_EQ(r.next(&m), FrameReader::Result::NeedMore);
}

TEST(ChannelProtocol, TwoPartWritesAndHeadsMakeTheSameFrames) {
    std::vector<std::uint8_t> input(70000);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i);
    const auto whole = encodeRequest(5, 0x220C08, input.data(), 70000, 9);
    const auto head = encodeRequestHead(5, 0x220C08, 70000, 9);
    ASSERT_EQ(std::vector<std::uint8_t>(head.begin(), head.end()),
              std::vector<std::uint8_t>(whole.begin(), whole.begin() + head.size()));
    const auto done = encodeCompletion(6, static_cast<NTSTATUS>(0x103), 3, input.data());
    const auto doneHead = encodeCompletionHead(6, static_cast<NTSTATUS>(0x103), 3);
    ASSERT_EQ(std::vector<std::uint8_t>(doneHead.begin(), doneHead.end()),
              std::vector<std::uint8_t>(done.begin(), done.begin() + doneHead.size()));

    // Through a socket pair whose reader takes less than a frame at a time.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    std::vector<std::uint8_t> got;
    // Takes the frame `step` bytes at most at a time.
    auto receiveFrame = [&](std::size_t step) {
        return std::thread([&got, &whole, fd = fds[1], step] {
            std::vector<std::uint8_t> buf(step);
            while (got.size() < whole.size()) {
                ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0) break;
                got.insert(got.end(), buf.data(), buf.data() + n);
            }
        });
    };
    std::thread reader = receiveFrame(1000);
    EXPECT_TRUE(writeAll(fds[0], head.data(), head.size(), input.data(), input.size()));
    reader.join();
    EXPECT_EQ(got, whole);

    // The input in two pieces of the caller's (a request's header, then its
    // data area), through a small send buffer: every write that stops
    // inside a piece goes on from there.
    int small = 4096;
    ASSERT_EQ(::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    got.clear();
    std::thread pieceReader = receiveFrame(777);
    const Piece pieces[3] = {
        {head.data(), head.size()}, {input.data(), 28}, {input.data() + 28, input.size() - 28}};
    EXPECT_TRUE(writeAll(fds[0], pieces, 3));
    pieceReader.join();
    EXPECT_EQ(got, whole);
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace uproto
