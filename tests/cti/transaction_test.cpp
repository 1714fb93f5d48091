// Transactions block by block over the simulated camera: control blocks in
// both directions, bulk blocks in both directions, failures that end a
// transaction, and block lists that lie about their lengths.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/cti/cti_client.h"
#include "tests/support/camera_harness.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace ctitest;
using namespace pav512;

constexpr std::uint16_t reg(int space, int r) {
    return static_cast<std::uint16_t>((r << 8) | space);
}

struct Open {
    explicit Open(pavtest::CameraHarness& h) : client(h.fdo()) {
        EXPECT_EQ(client.open(false, &session), kModuleStatusSuccess);
    }
    ~Open() {
        if (session) client.close(session);
    }
    Client client;
    ULONG session = 0;
};

std::uint8_t blockStatus(const Bytes& reply, const std::vector<Block>& blocks, std::size_t i) {
    return reply.at(blockOffset(blocks, i) + 16);
}
std::uint32_t moved(const Bytes& reply, const std::vector<Block>& blocks, std::size_t i) {
    return u32(reply, blockOffset(blocks, i) + 12);
}
Bytes blockData(const Bytes& reply, const std::vector<Block>& blocks, std::size_t i,
                std::size_t length) {
    auto at = reply.begin() + static_cast<std::ptrdiff_t>(blockOffset(blocks, i) + 24);
    return Bytes(at, at + static_cast<std::ptrdiff_t>(length));
}

Bytes objectTable(sim::SimCamera& camera, int memory) {
    Bytes table;
    camera.withStore([&](sim::ObjectStore& s) { table = s.memory(memory).objectTable(); });
    return table;
}

TEST(Transactions, ControlBlocksWriteAndReadRegisters) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Open o(h);
    std::vector<Block> blocks = {controlOut(0x01, reg(3, 0x40), {0x11, 0x22, 0x33}),
                                 controlIn(0x81, reg(3, 0x40), 3), controlIn(0x84, 0, 22)};
    auto r = o.client.call(IOCTL_CTI_TRANSACTION, transaction(o.session, 1, 7, blocks));
    ASSERT_TRUE(r->done);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->information, transaction(o.session, 1, 7, blocks).size());
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    for (std::size_t i = 0; i < blocks.size(); ++i)
        EXPECT_EQ(blockStatus(r->data, blocks, i), kModuleStatusSuccess) << i;
    EXPECT_EQ(moved(r->data, blocks, 0), 3u);
    EXPECT_EQ(moved(r->data, blocks, 1), 3u);
    EXPECT_EQ(blockData(r->data, blocks, 1, 3), Bytes({0x11, 0x22, 0x33}));
    auto info = h.camera().informationBlock();
    EXPECT_EQ(blockData(r->data, blocks, 2, 22), Bytes(info.begin(), info.end()));
    EXPECT_EQ(h.camera().registerValue(3, 0x41), 0x22);
}

TEST(Transactions, AnEmptyListCompletesAtOnceWithSuccess) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Open o(h);
    std::uint64_t before = h.camera().counters().controlTransfers;
    auto r = o.client.call(IOCTL_CTI_TRANSACTION, transaction(o.session, 1, 1, {}));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    EXPECT_EQ(h.camera().counters().controlTransfers, before);
}

TEST(Transactions, AFailingControlBlockEndsTheTransactionBeforeTheNextBlock) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Open o(h);
    std::vector<Block> blocks = {controlOut(0x01, reg(3, 0x40), {0x11}),
                                 controlIn(0x81, reg(7, 0x00), 4),  // no space 7: stalled
                                 controlOut(0x01, reg(3, 0x41), {0x22})};
    auto r = o.client.call(IOCTL_CTI_TRANSACTION, transaction(o.session, 1, 1, blocks));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->moduleStatus(), kModuleStatusControlTransferFailed);
    EXPECT_EQ(blockStatus(r->data, blocks, 0), kModuleStatusSuccess);
    EXPECT_EQ(moved(r->data, blocks, 0), 1u) << "the block done keeps its count";
    EXPECT_EQ(blockStatus(r->data, blocks, 1), kModuleStatusControlTransferFailed);
    EXPECT_EQ(moved(r->data, blocks, 1), 0u);
    EXPECT_EQ(blockStatus(r->data, blocks, 2), 0xFF) << "never started";
    auto writes = h.camera().registerWrites();
    EXPECT_NE(std::find(writes.begin(), writes.end(), sim::RegisterWrite{3, 0x40, 0x11}),
              writes.end());
    EXPECT_EQ(std::find(writes.begin(), writes.end(), sim::RegisterWrite{3, 0x41, 0x22}),
              writes.end());
}

TEST(Transactions, ObjectTableComesOverTheBulkInPipe) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Open o(h);
    Bytes table = objectTable(h.camera(), 0);
    ASSERT_GT(table.size(), 0u);
    std::vector<Block> blocks = {controlOut(0x85, 0 << 8, {}), bulkIn(table.size())};
    auto r = o.client.call(IOCTL_CTI_TRANSACTION, transaction(o.session, 1, 1, blocks));
    ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    EXPECT_EQ(blockStatus(r->data, blocks, 1), kModuleStatusSuccess);
    EXPECT_EQ(moved(r->data, blocks, 1), table.size());
    EXPECT_EQ(blockData(r->data, blocks, 1, table.size()), table);
}

// The directory entry of the first object of memory 0 (86 bytes), asked for
// with request 0x0A and read over the bulk-in pipe.
struct Entry {
    Bytes request;  // the 6 data bytes of request 0x0A
    Bytes bytes;    // what the camera holds
};
Entry firstEntry(sim::SimCamera& camera) {
    Entry e;
    camera.withStore([&](sim::ObjectStore& s) {
        const sim::StoredObject& o = s.memory(0).objects().at(0);
        e.request = {static_cast<std::uint8_t>(o.number >> 24),
                     static_cast<std::uint8_t>(o.number >> 16),
                     static_cast<std::uint8_t>(o.number >> 8),
                     static_cast<std::uint8_t>(o.number),
                     0x00,
                     0x56};
        e.bytes.assign(o.directoryEntry.begin(), o.directoryEntry.end());
    });
    return e;
}

TEST(Transactions, AnAnswerLongerThanTheBlockStoresOnlyTheBlocksLength) {
    for (bool longer : {false, true}) {
        sim::Scenario s = sim::defaultScenario();
        s.faults.longerAnswers = longer;  // 64 bytes more than the camera holds
        pavtest::CameraHarness h(s);
        ASSERT_TRUE(h.started()) << h.arrivalText();
        Open o(h);
        Entry entry = firstEntry(h.camera());
        ASSERT_EQ(entry.bytes.size(), 86u);
        // Not a whole number of packets: the transfer has room for more.
        const std::size_t length = 50;
        std::vector<Block> blocks = {controlOut(0x0A, 0, entry.request), bulkIn(length, 40)};
        auto r = o.client.call(IOCTL_CTI_TRANSACTION, transaction(o.session, 1, 1, blocks));
        ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
        EXPECT_EQ(blockStatus(r->data, blocks, 1), kModuleStatusSuccess);
        EXPECT_EQ(moved(r->data, blocks, 1), length);
        EXPECT_EQ(blockData(r->data, blocks, 1, length),
                  Bytes(entry.bytes.begin(), entry.bytes.begin() + length));
        Bytes slack(
            r->data.begin() + static_cast<std::ptrdiff_t>(blockOffset(blocks, 1) + 24 + length),
            r->data.begin() + static_cast<std::ptrdiff_t>(blockOffset(blocks, 2)));
        EXPECT_EQ(slack, Bytes(40, 0xAB)) << "nothing written past the block's data";
        o.client.close(o.session);
        o.session = 0;
    }
}

TEST(Transactions, AMarkedAnswerEndsWithABulkFailure) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.edMarker = true;
    pavtest::CameraHarness h(s);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Open o(h);
    Entry entry = firstEntry(h.camera());
    std::vector<Block> blocks = {controlOut(0x0A, 0, entry.request), bulkIn(86),
                                 controlOut(0x01, reg(3, 0x42), {0x5A})};
    auto r = o.client.call(IOCTL_CTI_TRANSACTION, transaction(o.session, 1, 1, blocks));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusBulkTransferFailed);
    EXPECT_EQ(blockStatus(r->data, blocks, 1), kModuleStatusBulkTransferFailed);
    EXPECT_EQ(moved(r->data, blocks, 1), 86u) << "the data is there for the client to see";
    EXPECT_EQ(blockStatus(r->data, blocks, 2), 0xFF);
    EXPECT_NE(h.camera().registerValue(3, 0x42), 0x5A);
}

// The patch download of the camera is a control block (the header) and a
// bulk-out block (the image); the camera checks what it got.
TEST(Transactions, BulkOutBlocksReachTheCamera) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Open o(h);
    Bytes image(1000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 5);
    image[99] = 1000 >> 8;
    image[100] = 1000 & 0xFF;
    image[2] = '5';
    image[3] = '2';
    std::uint8_t sum = 0xFF;
    for (std::size_t i = 6; i < image.size(); ++i) sum ^= image[i];
    image[4] = 0;
    image[5] = sum;
    Bytes patchHeader = {0, 0, 1000 >> 8, 1000 & 0xFF, 2, 7, 0, 0, sum, 0};
    std::vector<Block> blocks = {controlOut(0x06, 0, patchHeader), bulkOut(image)};
    auto r = o.client.call(IOCTL_CTI_TRANSACTION, transaction(o.session, 1, 1, blocks));
    ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    EXPECT_EQ(moved(r->data, blocks, 1), image.size());
    EXPECT_EQ(h.camera().patchState(), sim::PatchState::Accepted) << h.camera().patchProblem();
    EXPECT_EQ(h.camera().patchBytes(), image);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, image.size());
}

// Every malformed list is refused before anything runs, and nothing outside
// the buffer is read or written (the sanitizer watches the reads).
TEST(Transactions, BlockListsThatDoNotFitTheirBufferAreRefusedBeforeAnythingRuns) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Open o(h);
    std::vector<Block> one = {controlOut(0x01, reg(3, 0x43), {0x77})};
    const Bytes good = transaction(o.session, 1, 1, one);
    const std::size_t block = blockOffset(one, 0);
    auto at32 = [](Bytes b, std::size_t at, std::uint32_t v) {
        std::memcpy(b.data() + at, &v, 4);
        return b;
    };
    std::vector<std::pair<const char*, Bytes>> bad = {
        {"block shorter than its header", at32(good, block, 23)},
        {"data longer than its block", at32(good, block + 12, 2)},
        {"block past the buffer", at32(good, block, 4096)},
        {"no terminator",
         Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(block + 25))},
        {"terminator cut short",
         Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(block + 27))},
        {"length wraps around", at32(good, block, 0xFFFFFFF0)},
        {"data length wraps around", at32(good, block + 12, 0xFFFFFFFF)},
    };
    // A control block whose data would not fit a control transfer.
    Bytes huge = transaction(o.session, 1, 1, {controlOut(0x01, reg(3, 0x43), Bytes(70000, 1))});
    bad.emplace_back("control data beyond 64 KB", huge);

    std::uint64_t transfers = h.camera().counters().controlTransfers;
    for (auto& [what, buffer] : bad) {
        auto r = o.client.call(IOCTL_CTI_TRANSACTION, buffer);
        ASSERT_TRUE(r->done) << what;
        EXPECT_EQ(r->status, STATUS_INVALID_PARAMETER) << what;
        EXPECT_EQ(r->information, 0u) << what;
    }
    EXPECT_EQ(h.camera().counters().controlTransfers, transfers);
    EXPECT_NE(h.camera().registerValue(3, 0x43), 0x77);
    // The same list, well formed, runs.
    EXPECT_EQ(o.client.call(IOCTL_CTI_TRANSACTION, good)->moduleStatus(), kModuleStatusSuccess);
    EXPECT_EQ(h.camera().registerValue(3, 0x43), 0x77);
}

// A bulk pipe that stalls (or fails) can never deliver the block's bytes:
// the transaction ends with the bulk failure at once, and the one queued
// behind it runs on.
TEST(Transactions, AStalledOrFailingBulkPipeEndsTheTransactionAndTheQueueRunsOn) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Open o(h);
    struct Case {
        const char* what;
        UCHAR endpoint;
        bool stall;
        Block block;
    };
    const Case cases[] = {{"bulk in stalled", 0x82, true, bulkIn(64)},
                          {"bulk out stalled", 0x05, true, bulkOut(Bytes(300, 0x3C))},
                          {"bulk in failing", 0x82, false, bulkIn(64)}};
    std::uint8_t value = 0x60;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.stall) {
            h.camera().stallEndpoint(c.endpoint);
        } else {
            const UCHAR endpoint = c.endpoint;
            h.camera().changeFaults([endpoint](sim::Faults& f) {
                f.failedTransfers = 1;
                f.failedTransfersEndpoint = endpoint;
            });
        }
        std::vector<Block> blocks = {c.block, controlOut(0x01, reg(3, 0x44), {0x01})};
        auto failing = o.client.send(IOCTL_CTI_TRANSACTION, transaction(o.session, 1, 1, blocks));
        ++value;
        auto next = o.client.send(IOCTL_CTI_TRANSACTION,
                                  transaction(o.session, 1, 2, {controlOut(0x01, reg(3, 0x45), {value})}));
        ASSERT_TRUE(Client::wait(failing));
        EXPECT_EQ(failing->status, STATUS_SUCCESS);
        EXPECT_EQ(failing->moduleStatus(), kModuleStatusBulkTransferFailed);
        EXPECT_EQ(blockStatus(failing->data, blocks, 0), kModuleStatusBulkTransferFailed);
        EXPECT_EQ(blockStatus(failing->data, blocks, 1), 0xFF) << "the next block never started";
        ASSERT_TRUE(Client::wait(next));
        EXPECT_EQ(next->moduleStatus(), kModuleStatusSuccess);
        EXPECT_EQ(h.camera().registerValue(3, 0x45), value);
        EXPECT_FALSE(h.camera().halted(c.endpoint)) << "the block's end cleared the halt";
    }
}

// With no node to be had from the pool, the events that move the engine on
// (a control block's end) still reach it.
TEST(Transactions, RunToTheirEndWhenTheNodePoolIsEmpty) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Open o(h);
    DeviceContext* d = h.device();
    std::vector<PVOID> taken;
    kpool::failAllocations(kNodePoolTag, 1 << 30);
    while (PVOID node = nodeAllocate(&d->worker.nodes, sizeof(WorkItem))) taken.push_back(node);
    std::vector<Block> blocks = {controlOut(0x01, reg(3, 0x46), {0x5D}), controlIn(0x81, reg(3, 0x46), 1),
                                 controlIn(0x84, 0, 22)};
    auto r = o.client.call(IOCTL_CTI_TRANSACTION, transaction(o.session, 1, 1, blocks));
    kpool::failAllocations(kNodePoolTag, 0);
    for (PVOID node : taken) nodeFree(&d->worker.nodes, node);
    ASSERT_TRUE(r->done);
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    EXPECT_EQ(blockData(r->data, blocks, 1, 1), Bytes({0x5D}));
}

}  // namespace
