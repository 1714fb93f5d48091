// The still camera interface over the pictures a camera may really hold:
// odd sizes, progressive and grey pictures, a second memory, stores built by
// hand with thumbnails of their own sizes or a directory entry that disagrees
// with its picture; and two handles used from two threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "pav512u/paci.h"
#include "sim/object_store.h"
#include "tests/stills/still_cameras.h"

namespace stillstest {
namespace {

struct Picture {
    PACI_ID id;
    std::vector<std::uint8_t> bytes;
    int width, height;
};

std::vector<Picture> picturesOf(sim::SimCamera* camera) {
    std::vector<Picture> out;
    camera->withStore([&](sim::ObjectStore& store) {
        int m = store.currentMemory();
        for (const sim::StoredObject& o : store.memory(m).objects()) {
            if (o.kind != sim::ObjectKind::Picture && o.kind != sim::ObjectKind::PictureWithThumbnail)
                continue;
            const auto& e = o.directoryEntry;
            out.push_back({0x10000000u | (std::uint32_t(m) << 24) | o.number, o.picture,
                           e[73] * 256 + e[74], e[75] * 256 + e[76]});
        }
    });
    return out;
}

void expectPreviewHeader(const std::vector<std::uint8_t>& b) {
    std::int32_t w = 0, h = 0;
    std::memcpy(&w, b.data() + 4, 4);
    std::memcpy(&h, b.data() + 8, 4);
    EXPECT_EQ(w, 80);
    EXPECT_EQ(h, 60);
}

TEST(StillContent, EveryPictureOfBothMemoriesHasAPreview) {
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug("every-picture"));
    PACI_HANDLE h = nullptr;
    ASSERT_EQ(PACI_HandleOpen(0, &h), PACI_STATUS_SUCCESS);
    for (int memory : {0, 1}) {
        cameras.camera()->withStore([&](sim::ObjectStore& s) { s.setCurrentMemory(memory); });
        const PACI_ID storage = 0x10000000u | (std::uint32_t(memory) << 24);
        PACI_ID ids[4] = {};
        std::uint32_t total = 0;
        ASSERT_EQ(PACI_ObjectEnum(h, 0, PACI_ID_DEVICE, ids, 4, &total), PACI_STATUS_SUCCESS);
        ASSERT_EQ(total, 1u);
        EXPECT_EQ(ids[0], storage);
        std::vector<Picture> pictures = picturesOf(cameras.camera());
        ASSERT_GE(pictures.size(), 3u) << memory;
        for (const Picture& p : pictures) {
            SCOPED_TRACE(testing::Message() << std::hex << p.id << std::dec << " " << p.width
                                            << "x" << p.height);
            PACI_OBJECT_INFO info;
            ASSERT_EQ(PACI_GetObjectInfo(h, p.id, &info), PACI_STATUS_SUCCESS);
            EXPECT_EQ(info.ImageWidth, std::uint32_t(p.width));
            EXPECT_EQ(info.ImageHeight, std::uint32_t(p.height));
            EXPECT_EQ(info.ObjectSize, p.bytes.size());
            std::vector<std::uint8_t> preview(14440, 0);
            ASSERT_EQ(PACI_ReadPreview(h, p.id, preview.data(), 14440), PACI_STATUS_SUCCESS);
            expectPreviewHeader(preview);
            // The block transfer of the same picture brings its bytes.
            std::vector<std::uint8_t> out(p.bytes.size() + 1000);
            std::uint32_t got = 0, sofar = 0, at = 0;
            PACI_STATUS st = PACI_ReadFirstBlock(h, p.id, out.data(), 3000, &got);
            at = got;
            while (st == PACI_STATUS_MORE_DATA) {
                st = PACI_ReadNextBlock(h, out.data() + at, 3000, &got, &sofar);
                at += got;
            }
            ASSERT_EQ(st, PACI_STATUS_SUCCESS);
            out.resize(at);
            EXPECT_EQ(out, p.bytes);
        }
    }
    EXPECT_EQ(PACI_HandleClose(&h), PACI_STATUS_SUCCESS);
}

TEST(StillContent, AThumbnailOfTheCamerasOwnSizeIsReportedAsThePreview) {
    sim::ObjectStore store;
    sim::ObjectSpec shape;
    shape.kind = sim::ObjectKind::PictureWithThumbnail;
    shape.width = 320;
    shape.height = 240;
    shape.thumbnailWidth = 40;
    shape.thumbnailHeight = 32;
    store.memory(0).add(shape);
    sim::ObjectSpec clip;
    clip.kind = sim::ObjectKind::Clip;
    clip.width = 160;
    clip.height = 120;
    clip.frames = 3;
    store.memory(0).add(clip);
    sim::Scenario s = sim::defaultScenario();
    s.name = "own-thumbnail";
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug(s, 1, std::move(store)));
    PACI_HANDLE h = nullptr;
    ASSERT_EQ(PACI_HandleOpen(0, &h), PACI_STATUS_SUCCESS);
    PACI_ID ids[8] = {};
    std::uint32_t total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h, 0, 0, ids, 8, &total), PACI_STATUS_SUCCESS);
    ASSERT_EQ(total, 4u);
    PACI_OBJECT_INFO info;
    ASSERT_EQ(PACI_GetObjectInfo(h, ids[2], &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(info.ThumbFormat, 0x3804);
    EXPECT_EQ(info.ThumbSize, 14440u);  // the camera says 40 x 32 x 3 + 40
    EXPECT_EQ(info.ThumbWidth, 80u);
    EXPECT_EQ(info.ThumbHeight, 60u);
    ASSERT_EQ(PACI_GetObjectInfo(h, ids[3], &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(info.ObjectFormat, 0x300A);
    EXPECT_EQ(info.ThumbFormat, 0);
    EXPECT_EQ(info.ThumbWidth, 0u);
    EXPECT_EQ(PACI_HandleClose(&h), PACI_STATUS_SUCCESS);
}

TEST(StillContent, APictureWhoseEntryNamesAnotherSizeIsRefusedNotOverrun) {
    sim::ObjectSpec shape;
    shape.kind = sim::ObjectKind::Picture;
    shape.width = 320;
    shape.height = 240;
    sim::StoredObject wrong = sim::generateObject(shape, 1);
    // The entry claims 160 x 120: a decoder that trusted it would write a
    // 320 x 240 picture into a block a quarter of its size.
    wrong.directoryEntry[73] = 0;
    wrong.directoryEntry[74] = 160;
    wrong.directoryEntry[75] = 0;
    wrong.directoryEntry[76] = 120;
    sim::writeFirstBlock(wrong);
    sim::ObjectStore store;
    store.memory(0).add(std::move(wrong));
    sim::Scenario s = sim::defaultScenario();
    s.name = "wrong-size";
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug(s, 1, std::move(store)));
    PACI_HANDLE h = nullptr;
    ASSERT_EQ(PACI_HandleOpen(0, &h), PACI_STATUS_SUCCESS);
    PACI_OBJECT_INFO info;
    ASSERT_EQ(PACI_GetObjectInfo(h, 0x10000001, &info), PACI_STATUS_SUCCESS);
    ASSERT_EQ(info.ImageWidth, 160u);
    std::vector<std::uint8_t> preview(14440, 0xCD);
    EXPECT_EQ(PACI_ReadPreview(h, 0x10000001, preview.data(), 14440), PACI_STATUS_DECODE_FAILED);
    EXPECT_EQ(preview[0], 0xCD);
    // The handle carries on.
    std::vector<std::uint8_t> whole(info.ObjectSize);
    EXPECT_EQ(PACI_ReadObject(h, 0x10000001, whole.data(), info.ObjectSize, 0), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_HandleClose(&h), PACI_STATUS_SUCCESS);
}

TEST(StillContent, TwoHandlesOnTwoThreadsTakeTurnsAtTheCamera) {
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug("two-threads"));
    std::vector<Picture> pictures = picturesOf(cameras.camera());
    ASSERT_GE(pictures.size(), 2u);
    PACI_HANDLE a = nullptr, b = nullptr;
    ASSERT_EQ(PACI_HandleOpen(0, &a), PACI_STATUS_SUCCESS);
    ASSERT_EQ(PACI_HandleOpen(0, &b), PACI_STATUS_SUCCESS);
    // Each call either gets the camera within its 2000 ms and brings the
    // right bytes, or is refused by the lock; never another handle's data.
    std::atomic<int> good[2] = {0, 0};
    std::atomic<int> wrong{0};
    auto refused = [](PACI_STATUS st) {
        return st == PACI_STATUS_LOCKED || st == PACI_STATUS_TIMEDOUT;
    };
    auto run = [&](int n, PACI_HANDLE h, const Picture& p) {
        for (int i = 0; i < 4; ++i) {
            std::vector<std::uint8_t> out(p.bytes.size());
            PACI_STATUS st =
                PACI_ReadObject(h, p.id, out.data(), static_cast<std::uint32_t>(out.size()), 0);
            if (st == PACI_STATUS_SUCCESS && out == p.bytes)
                ++good[n];
            else if (!refused(st))
                ++wrong;
            std::vector<std::uint8_t> preview(14440);
            st = PACI_ReadPreview(h, p.id, preview.data(), 14440);
            if (st == PACI_STATUS_SUCCESS && preview[0] == 40)
                ++good[n];
            else if (!refused(st))
                ++wrong;
        }
    };
    std::thread one(run, 0, a, pictures[0]);
    std::thread two(run, 1, b, pictures[1]);
    one.join();
    two.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(good[0].load(), 0);
    EXPECT_GT(good[1].load(), 0);
    EXPECT_EQ(PACI_HandleClose(&a), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_HandleClose(&b), PACI_STATUS_SUCCESS);
}

}  // namespace
}  // namespace stillstest
