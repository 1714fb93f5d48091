#include <gtest/gtest.h>

#include <stdexcept>

#include "content_test_util.h"

using simtest::be32;
using simtest::clipSpec;
using simtest::entry16;
using simtest::findFrames;

namespace {

sim::ObjectSpec small(sim::ObjectKind kind = sim::ObjectKind::Picture, std::uint32_t number = 0) {
    sim::ObjectSpec s;
    s.kind = kind;
    s.width = 64;
    s.height = 48;
    s.thumbnailWidth = 16;
    s.thumbnailHeight = 12;
    s.frames = 2;
    s.soundBytes = 500;
    s.number = number;
    return s;
}

std::uint64_t itemBytes(const sim::StoredObject& o) {
    return o.picture.size() + o.thumbnail.size() + o.sound.size() + o.clipVideo.size();
}

TEST(Memory, NumbersRunFromOneAndHonourGivenOnes) {
    sim::Memory m(2);
    EXPECT_EQ(m.add(small()).number, 1u);
    EXPECT_EQ(m.add(small(sim::ObjectKind::Sound)).number, 2u);
    EXPECT_EQ(m.add(small(sim::ObjectKind::Picture, 40)).number, 40u);
    EXPECT_EQ(m.add(small()).number, 41u);
    EXPECT_THROW(m.add(small(sim::ObjectKind::Picture, 2)), std::invalid_argument);
    ASSERT_EQ(m.objects().size(), 4u);
    EXPECT_EQ(m.objects()[2].number, 40u);
    ASSERT_NE(m.find(40), nullptr);
    EXPECT_EQ(m.find(40)->kind, sim::ObjectKind::Picture);
    EXPECT_EQ(m.find(3), nullptr);

    // A hand-made object without a number gets one, and its first block says so.
    sim::StoredObject loose = sim::generateObject(small(), 7);
    loose.number = 0;
    const sim::StoredObject& placed = m.add(loose);
    EXPECT_EQ(placed.number, 42u);
    EXPECT_EQ(be32(&placed.firstBlock[86]), 42u);
    EXPECT_THROW(m.add(sim::generateObject(small(), 41)), std::invalid_argument);

    m.erase();
    EXPECT_TRUE(m.objects().empty());
    EXPECT_EQ(m.add(small()).number, 1u);
}

TEST(Memory, FreeSpaceFollowsTheStoredItems) {
    sim::Memory m(0, 1u << 20);
    EXPECT_EQ(m.freeBytes(), 1u << 20);
    const std::uint32_t emptyPictures = m.freePictures();
    EXPECT_GT(emptyPictures, 0u);
    std::uint64_t used = 0;
    for (auto kind : {sim::ObjectKind::PictureWithThumbnail, sim::ObjectKind::Sound,
                      sim::ObjectKind::ClipWithSound}) {
        const std::uint32_t before = m.freeBytes();
        used += itemBytes(m.add(small(kind)));
        EXPECT_LT(m.freeBytes(), before);
        EXPECT_EQ(m.freeBytes(), (1u << 20) - used);
    }
    const std::uint64_t sound = itemBytes(m.objects()[1]);
    EXPECT_TRUE(m.remove(2));
    EXPECT_FALSE(m.remove(2));
    EXPECT_EQ(m.freeBytes(), (1u << 20) - used + sound);
    m.erase();
    EXPECT_EQ(m.freeBytes(), 1u << 20);
    EXPECT_EQ(m.freePictures(), emptyPictures);

    // Overfilled: nothing left, never a wrapped-around figure.
    sim::Memory tiny(1, 100);
    tiny.add(small());
    EXPECT_EQ(tiny.freeBytes(), 0u);
    EXPECT_EQ(tiny.freePictures(), 0u);
}

TEST(Memory, StorageDescriptionAndObjectTable) {
    sim::Memory m(5, 0x01234567);
    auto d = m.storageDescription();
    EXPECT_EQ(d[3], 1);
    EXPECT_EQ(be32(&d[8]), 0x01234567u);
    EXPECT_EQ(sim::Memory(0, 1ull << 33).storageDescription()[8], 0xFF);  // clamped to 32 bits

    m.add(small(sim::ObjectKind::PictureWithThumbnail));
    m.add(small(sim::ObjectKind::ClipWithSound, 0xABCDEF));
    m.add(small(sim::ObjectKind::Sound));
    m.remove(1);
    std::vector<std::uint8_t> table = m.objectTable();
    ASSERT_EQ(table.size(), 8u);
    EXPECT_EQ(be32(&table[0]), 0x53ABCDEFu);
    EXPECT_EQ(be32(&table[4]), 0x52ABCDF0u);
    EXPECT_EQ(m.objects()[0].tableWord(15), 0xF3ABCDEFu);
}

TEST(ObjectStore, SixteenMemoriesAndACurrentOne) {
    sim::ObjectStore store;
    for (int i = 0; i < sim::kMemoryCount; ++i) EXPECT_EQ(store.memory(i).number(), i);
    store.memory(9).add(small());
    EXPECT_EQ(be32(store.memory(9).objectTable().data()), 0x98000001u);
    EXPECT_THROW(store.memory(16), std::out_of_range);
    EXPECT_THROW(store.memory(-1), std::out_of_range);
    store.setCurrentMemory(9);
    EXPECT_THROW(store.setCurrentMemory(16), std::out_of_range);
    EXPECT_EQ(store.currentMemory(), 9);
}

TEST(ObjectStore, DefaultContentHasOneOfEverything) {
    const sim::ObjectStore store = sim::ObjectStore::defaultContent();
    const sim::Memory& m = store.memory(store.currentMemory());
    bool big = false, cif = false, sound = false, clip = false, clipWithSound = false;
    for (const sim::StoredObject& o : m.objects()) {
        const auto w = entry16(o, 73), h = entry16(o, 75);
        big |= o.kind == sim::ObjectKind::PictureWithThumbnail && w == 640 && h == 480 &&
               !o.thumbnail.empty();
        cif |= w == 352 && h == 288;
        if (o.kind == sim::ObjectKind::Sound) {
            const double seconds = double(o.sound.size()) / (entry16(o, 41) * o.directoryEntry[39] *
                                                             o.directoryEntry[40] / 8);
            sound |= seconds >= 2 && seconds <= 10;
        }
        if (o.kind == sim::ObjectKind::Clip || o.kind == sim::ObjectKind::ClipWithSound) {
            const auto frames = entry16(o, 26);
            EXPECT_GE(frames, 10u);
            EXPECT_LE(frames, 20u);
            EXPECT_EQ(entry16(o, 22), 320u);
            EXPECT_EQ(findFrames(o.clipVideo).size(), frames);
            (o.kind == sim::ObjectKind::Clip ? clip : clipWithSound) = true;
        }
    }
    EXPECT_TRUE(big && cif && sound && clip && clipWithSound);
    EXPECT_LT(m.freeBytes(), m.capacity());
}

TEST(ObjectStore, DefaultContentHasPicturesADecoderMustBeCarefulWith) {
    const sim::ObjectStore store = sim::ObjectStore::defaultContent();
    // Rows of width x 3 bytes that are no multiple of 4, sides that are no
    // multiple of the 8 x 8 block, a progressive and a grey picture, in the
    // current memory and in a second one.
    for (int memory : {0, 1}) {
        SCOPED_TRACE(memory);
        bool unaligned = false, progressive = false, grey = false;
        const sim::Memory& m = store.memory(memory);
        ASSERT_FALSE(m.objects().empty());
        for (const sim::StoredObject& o : m.objects()) {
            if (o.kind != sim::ObjectKind::Picture && o.kind != sim::ObjectKind::PictureWithThumbnail)
                continue;
            const auto w = entry16(o, 73), h = entry16(o, 75);
            unaligned |= (w * 3) % 4 != 0 && w % 8 != 0 && h % 8 != 0;
            for (std::size_t i = 2; i + 1 < o.picture.size(); ++i) {
                if (o.picture[i] != 0xFF) continue;
                if (o.picture[i + 1] == 0xC2) progressive = true;
                if (o.picture[i + 1] == 0xC0 && i + 9 < o.picture.size() && o.picture[i + 9] == 1)
                    grey = true;
                if (o.picture[i + 1] == 0xC0 || o.picture[i + 1] == 0xC2) break;
            }
        }
        EXPECT_TRUE(unaligned);
        EXPECT_TRUE(progressive);
        EXPECT_TRUE(grey);
    }
    bool vga = false;
    for (const sim::StoredObject& o : store.memory(1).objects())
        vga |= entry16(o, 73) == 640 && entry16(o, 75) == 480;
    EXPECT_TRUE(vga);
}

}  // namespace
