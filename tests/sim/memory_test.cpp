// The memory commands over the stored objects: counts, figures, the object
// table, directory entries, item reads of every kind, delete and erase.
#include <gtest/gtest.h>

#include "platform/kernel/clock.h"
#include "tests/sim/sim_test_util.h"
#include "tests/support/kernel_test.h"

using namespace simtest;

namespace {

class SimMemory : public ::testing::Test {
  protected:
    SimMemory() : host_(quickScenario(), smallStore()) {
        EXPECT_EQ(host_.select(1), USBD_STATUS_SUCCESS);
    }

    sim::ObjectStore store() {
        sim::ObjectStore copy;
        host_.camera().withStore([&](sim::ObjectStore& s) { copy = s; });
        return copy;
    }

    // Request 0x05 for `length` bytes of an item, then the bulk read of them.
    std::vector<std::uint8_t> readItem(std::uint32_t number, std::uint8_t item,
                                       std::uint32_t length) {
        std::vector<std::uint8_t> data = be32(number);
        auto l = be32(length);
        data.insert(data.end(), l.begin(), l.end());
        EXPECT_EQ(host_.memoryCommand(0x05, 0, item, data).status, USBD_STATUS_SUCCESS);
        ControlResult r = host_.bulkIn(length);
        EXPECT_EQ(r.status, USBD_STATUS_SUCCESS);
        return r.data;
    }

    Host host_;
};

TEST_F(SimMemory, CountsFiguresAndStorageDescription) {
    sim::ObjectStore s = store();
    EXPECT_EQ(host_.vendorIn(0x80, 0, 1).data, std::vector<std::uint8_t>{0});
    EXPECT_EQ(host_.vendorIn(0x83, 0x0000, 4).data, be32(5));
    EXPECT_EQ(host_.vendorIn(0x83, 0x0100, 4).data, be32(0));
    EXPECT_EQ(host_.vendorIn(0x83, 0x1000, 4).status, USBD_STATUS_STALL_PID) << "no memory 16";
    EXPECT_EQ(host_.vendorIn(0x82, 0x0000, 4).data, be32(s.memory(0).freeBytes()));
    EXPECT_EQ(host_.vendorIn(0x82, 0x0001, 4).data, be32(s.memory(0).freePictures()));
    EXPECT_EQ(host_.vendorIn(0x82, 0x0002, 4).status, USBD_STATUS_STALL_PID);

    ASSERT_EQ(host_.memoryCommand(0x08, 0, 0, {0x00, 0x0C}).status, USBD_STATUS_SUCCESS);
    auto d = s.memory(0).storageDescription();
    EXPECT_EQ(host_.bulkIn(12).data, std::vector<std::uint8_t>(d.begin(), d.end()));

    sim::Scenario other = quickScenario();
    other.currentMemory = 3;
    Host second(other);
    EXPECT_EQ(second.vendorIn(0x80, 0, 1).data, std::vector<std::uint8_t>{3});
}

TEST_F(SimMemory, ObjectTableAndDirectoryEntries) {
    sim::ObjectStore s = store();
    ASSERT_EQ(host_.memoryCommand(0x85, 0, 0, {}).status, USBD_STATUS_SUCCESS);
    ControlResult table = host_.bulkIn(20);
    ASSERT_EQ(table.data.size(), 20u);
    const auto& objects = s.memory(0).objects();
    for (std::size_t i = 0; i < objects.size(); ++i)
        EXPECT_EQ(readBe32(&table.data[i * 4]), objects[i].tableWord(0)) << "object " << i;
    EXPECT_EQ(readBe32(&table.data[0]) >> 24, 0x08u) << "picture flag, memory 0";
    EXPECT_EQ(readBe32(&table.data[16]) >> 24, 0x03u) << "clip with sound";

    for (const sim::StoredObject& o : objects) {
        auto cmd = be32(o.number);
        cmd.insert(cmd.end(), {0x00, 0x56});
        ASSERT_EQ(host_.memoryCommand(0x0A, 0, 0, cmd).status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(host_.bulkIn(86).data,
                  std::vector<std::uint8_t>(o.directoryEntry.begin(), o.directoryEntry.end()));
    }
    // A new command replaces an answer the host left unread.
    ASSERT_EQ(host_.memoryCommand(0x85, 0, 0, {}).status, USBD_STATUS_SUCCESS);
    auto cmd = be32(3);
    cmd.insert(cmd.end(), {0x00, 0x56});
    ASSERT_EQ(host_.memoryCommand(0x0A, 0, 0, cmd).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host_.bulkIn(86).data[0], 2) << "the entry of the sound recording, not the table";
}

TEST_F(SimMemory, EveryItemOfEveryKindReadsInWholeBlocks) {
    sim::ObjectStore s = store();
    for (const sim::StoredObject& o : s.memory(0).objects()) {
        SCOPED_TRACE("object " + std::to_string(o.number));
        ASSERT_EQ(host_.memoryCommand(0x03, 0, 0, be32(o.number)).status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(host_.memoryResult()[0], sim::kMemoryOk);
        EXPECT_EQ(readItem(o.number, 0xFF, 512),
                  std::vector<std::uint8_t>(o.firstBlock.begin(), o.firstBlock.end()));
        for (std::uint8_t item :
             {sim::kItemClipVideo, sim::kItemSound, sim::kItemThumbnail, sim::kItemPicture}) {
            const auto* bytes = o.item(item);
            if (!bytes) continue;
            std::vector<std::uint8_t> got;
            // Blocks of different sizes continue where the last read ended.
            for (std::uint32_t block : {512u, 1024u}) {
                auto part = readItem(o.number, item, block);
                got.insert(got.end(), part.begin(), part.end());
            }
            while (got.size() < bytes->size()) {
                auto part = readItem(o.number, item, 512);
                got.insert(got.end(), part.begin(), part.end());
            }
            ASSERT_EQ(got.size() % 512, 0u);
            EXPECT_TRUE(std::equal(bytes->begin(), bytes->end(), got.begin()))
                << "item " << int(item);
            EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(bytes->size()), got.end(),
                                    [](std::uint8_t b) { return b == 0; }))
                << "past the item the block is zero-filled";
        }
        ASSERT_EQ(host_.memoryCommand(0x09, 0, 0, be32(o.number)).status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(host_.memoryResult()[0], sim::kMemoryOk);
    }
    // Opening again starts every item from its beginning.
    const sim::StoredObject& pic = s.memory(0).objects()[0];
    ASSERT_EQ(host_.memoryCommand(0x03, 0, 0, be32(pic.number)).status, USBD_STATUS_SUCCESS);
    readItem(pic.number, sim::kItemPicture, 512);
    ASSERT_EQ(host_.memoryCommand(0x03, 0, 0, be32(pic.number)).status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(pic.picture.begin(), pic.picture.begin() + 512,
                           readItem(pic.number, sim::kItemPicture, 512).begin()));
}

TEST_F(SimMemory, FailedCommandsAnswerThroughTheMemoryResult) {
    auto noBulk = [&] {
        return host_.bulkIn(512, std::chrono::milliseconds(100)).status == USBD_STATUS_CANCELED;
    };
    auto read = be32(1);
    auto len = be32(512);
    read.insert(read.end(), len.begin(), len.end());
    ASSERT_EQ(host_.memoryCommand(0x05, 0, sim::kItemPicture, read).status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(noBulk());
    EXPECT_EQ(host_.memoryResult()[0], sim::kMemoryNotOpen);

    ASSERT_EQ(host_.memoryCommand(0x03, 0, 0, be32(99)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host_.memoryResult()[0], sim::kMemoryNoObject);

    ASSERT_EQ(host_.memoryCommand(0x03, 0, 0, be32(1)).status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(host_.memoryCommand(0x05, 0, sim::kItemThumbnail, read).status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(noBulk());
    EXPECT_EQ(host_.memoryResult()[0], sim::kMemoryNoItem) << "a plain picture has no thumbnail";
    ASSERT_EQ(host_.memoryCommand(0x09, 0, 0, be32(2)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host_.memoryResult()[0], sim::kMemoryNotOpen)
        << "closing another object than the open one";

    auto entry = be32(42);
    entry.insert(entry.end(), {0x00, 0x56});
    ASSERT_EQ(host_.memoryCommand(0x0A, 0, 0, entry).status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(noBulk());
    EXPECT_EQ(host_.memoryResult()[0], sim::kMemoryNoObject);

    // Wrong parameter lengths are refused on the spot.
    EXPECT_EQ(host_.memoryCommand(0x03, 0, 0, {0, 1}).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(host_.memoryCommand(0x05, 0, 8, be32(1)).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(host_.memoryCommand(0x0A, 0, 0, be32(1)).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(host_.memoryCommand(0x02, 16, 0, be32(1)).status, USBD_STATUS_STALL_PID)
        << "no memory 16";
}

TEST(SimMemoryOperations, DeleteAndEraseTakeTheirTime) {
    // Long operations, so that slow reads cannot outrun them, on a clock run
    // ten times faster for this test only.
    struct Scale {
        double before = kclock::scale();
        Scale() { kclock::setScale(10); }
        ~Scale() { kclock::setScale(before); }
    } scale;
    sim::Scenario s = quickScenario();
    s.timing.deleteMs = 3000;
    s.timing.eraseMs = 3000;
    Host host(s, smallStore());
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.memoryCommand(0x02, 0, 0, be32(3)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.memoryResult(), (std::vector<std::uint8_t>{0, 0xFF}));
    ASSERT_EQ(host.memoryCommand(0x03, 0, 0, be32(1)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.memoryResult(), (std::vector<std::uint8_t>{sim::kMemoryBusy, 0xFF}))
        << "busy while deleting";
    EXPECT_EQ(host.vendorIn(0x83, 0, 4).data, be32(5)) << "the object goes when the delete ends";
    ASSERT_TRUE(pavtest::waitFor([&] { return host.memoryResult()[1] == 0; }));
    EXPECT_EQ(host.memoryResult()[0], sim::kMemoryBusy)
        << "the open refused as busy stays refused once the delete is over";
    EXPECT_EQ(host.vendorIn(0x83, 0, 4).data, be32(4));
    bool gone = false;
    host.camera().withStore(
        [&](sim::ObjectStore& store) { gone = store.memory(0).find(3) == nullptr; });
    EXPECT_TRUE(gone);

    ASSERT_EQ(host.memoryCommand(0x02, 0, 0, be32(3)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.memoryResult(), (std::vector<std::uint8_t>{sim::kMemoryNoObject, 0}))
        << "already gone";

    ASSERT_EQ(host.memoryCommand(0x87, 0, 0, {}).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.memoryResult()[1], 0xFF);
    ASSERT_TRUE(pavtest::waitFor([&] { return host.memoryResult()[1] == 0; }));
    EXPECT_EQ(host.memoryResult(), (std::vector<std::uint8_t>{0, 0}));
    EXPECT_EQ(host.vendorIn(0x83, 0, 4).data, be32(0));
}

}  // namespace
