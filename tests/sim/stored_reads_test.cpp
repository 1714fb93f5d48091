// What the camera does with reads of its stored objects when it is strict
// about them, answers that misbehave on purpose, and the content helpers
// tests build clips and memories with.
#include <gtest/gtest.h>

#include "tests/sim/sim_test_util.h"

using namespace simtest;

namespace {

std::vector<std::uint8_t> readCommand(std::uint32_t object, std::uint32_t length) {
    auto cmd = be32(object);
    auto l = be32(length);
    cmd.insert(cmd.end(), l.begin(), l.end());
    return cmd;
}

std::unique_ptr<Host> camera(const sim::Faults& faults) {
    sim::Scenario s = quickScenario();
    s.faults = faults;
    auto host = std::make_unique<Host>(s, smallStore());
    EXPECT_EQ(host->select(1), USBD_STATUS_SUCCESS);
    return host;
}

TEST(StrictReads, OnlyWholeBlocksOfAtMost64KiBAndSoundOnlyFromAFreshOpening) {
    sim::Faults f;
    f.strictReads = true;
    auto host = camera(f);
    ASSERT_EQ(host->memoryCommand(0x03, 0, 0, be32(1)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->memoryCommand(0x05, 0, sim::kItemPicture, readCommand(1, 100)).status,
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(host->memoryCommand(0x05, 0, sim::kItemPicture, readCommand(1, 65536 + 512)).status,
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(host->memoryResult()[0], sim::kMemoryBadLength);
    ASSERT_EQ(host->memoryCommand(0x05, 0, sim::kItemPicture, readCommand(1, 65536)).status,
              USBD_STATUS_SUCCESS);

    // Object 5 is a clip with sound: after its video, its sound needs the
    // object closed and opened again.
    ASSERT_EQ(host->memoryCommand(0x03, 0, 0, be32(5)).status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(host->memoryCommand(0x05, 0, sim::kItemSound, readCommand(5, 512)).status,
              USBD_STATUS_SUCCESS)
        << "sound before any video is fine";
    ASSERT_EQ(host->memoryCommand(0x05, 0, sim::kItemClipVideo, readCommand(5, 512)).status,
              USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->memoryCommand(0x05, 0, sim::kItemSound, readCommand(5, 512)).status,
              USBD_STATUS_STALL_PID);
    ASSERT_EQ(host->memoryCommand(0x09, 0, 0, be32(5)).status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(host->memoryCommand(0x03, 0, 0, be32(5)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->memoryCommand(0x05, 0, sim::kItemSound, readCommand(5, 512)).status,
              USBD_STATUS_SUCCESS);
}

ControlResult entry(Host& host, std::size_t room) {
    auto cmd = be32(1);
    cmd.insert(cmd.end(), {0x00, 0x56});
    EXPECT_EQ(host.vendorOut(0x0A, 0, cmd).status, USBD_STATUS_SUCCESS);
    return host.bulkIn(room, std::chrono::milliseconds(300));
}

TEST(BulkAnswerFaults, TheChosenAnswerComesShortPartialLateOrLonger) {
    using Kind = sim::BulkAnswerFault::Kind;
    sim::Faults f;
    f.bulkAnswers = {{Kind::Short, 0x0A, 1, 20, 0},
                     {Kind::Longer, 0x0A, 2, 10, 0},
                     {Kind::Partial, 0x0A, 3, 30, 0},
                     {Kind::Late, 0x0A, 4, 0, 100}};
    auto host = camera(f);
    EXPECT_EQ(entry(*host, 128).data.size(), 20u) << "cut short";
    EXPECT_EQ(entry(*host, 128).data.size(), 96u) << "ten bytes more";
    ControlResult partial = entry(*host, 128);
    EXPECT_EQ(partial.data.size(), 30u);
    EXPECT_EQ(host->bulkIn(128, std::chrono::milliseconds(100)).status, USBD_STATUS_CANCELED)
        << "the rest never comes";
    EXPECT_EQ(entry(*host, 128).data.size(), 86u) << "late, but whole";
    EXPECT_EQ(entry(*host, 128).data.size(), 86u) << "the faults are used up";
}

TEST(StoredContent, ClipsFromChosenFramesAndCheapCopies) {
    auto frame = sim::syntheticFrame(70001, 3);
    ASSERT_EQ(frame.size(), 70001u);
    EXPECT_EQ(frame[0], 0xFF);
    EXPECT_EQ(frame[1], 0xD8);
    EXPECT_EQ(frame[70000], 0xD9);
    EXPECT_EQ(std::count(frame.begin() + 2, frame.end() - 2, 0xFF), 0);

    sim::ObjectSpec recipe;
    recipe.kind = sim::ObjectKind::ClipWithSound;
    recipe.width = 32;
    recipe.height = 24;
    recipe.frameRateHalfFps = 20;
    recipe.channels = 2;
    recipe.bitsPerSample = 16;
    recipe.sampleRate = 22050;
    sim::ClipBytes bytes;
    bytes.video = frame;
    bytes.frameLengths = {frame.size()};
    bytes.sound.assign(1001, 1);
    sim::StoredObject clip = sim::clipObject(recipe, bytes, 9);
    const auto& e = clip.directoryEntry;
    EXPECT_EQ(e[0], 3);
    EXPECT_EQ(readBe32(&e[18]), 70001u);
    EXPECT_EQ((e[26] << 8) | e[27], 1);
    EXPECT_EQ((e[28] << 8) | e[29], 20);
    EXPECT_EQ(readBe32(&e[35]), 1001u);
    EXPECT_EQ(e[39], 2);
    EXPECT_EQ(e[40], 16);
    EXPECT_EQ((e[41] << 8) | e[42], 22050);
    EXPECT_EQ(readBe32(&clip.firstBlock[86]), 9u);

    sim::Memory m(4);
    m.add(clip);
    m.addCopies(*m.find(9), 3);
    ASSERT_EQ(m.objects().size(), 4u);
    EXPECT_EQ(m.objects().back().number, 12u);
    EXPECT_EQ(readBe32(&m.objects().back().firstBlock[86]), 12u);
    EXPECT_EQ(m.storageDescription()[3], 1);
    m.setDcf(false);
    EXPECT_EQ(m.storageDescription()[3], 0);
}

}  // namespace
