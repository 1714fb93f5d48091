// The still camera interface against simulated cameras through the real
// driver: handles and their locks, enumeration, object information, whole and
// block reads, previews, a camera that goes away and the imaging service's
// open.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "library/stills/paci_internal.h"
#include "pav512u/paci.h"
#include "sim/object_store.h"
#include "tests/stills/still_cameras.h"
#include "tests/support/kernel_test.h"

namespace stillstest {
namespace {

constexpr PACI_ID kStorage = 0x10000000;  // the camera's memory 0

struct Stored {
    PACI_ID id;
    sim::StoredObject object;
};

// What the camera holds in its current memory, in the order it lists it.
std::vector<Stored> storedObjects(sim::SimCamera* camera) {
    std::vector<Stored> out;
    camera->withStore([&](sim::ObjectStore& store) {
        int m = store.currentMemory();
        for (const sim::StoredObject& o : store.memory(m).objects())
            out.push_back({0x10000000u | (std::uint32_t(m) << 24) | o.number, o});
    });
    return out;
}

const Stored* firstOfKind(const std::vector<Stored>& all, sim::ObjectKind kind, int width = 0) {
    for (const Stored& s : all)
        if (s.object.kind == kind && (width == 0 || s.object.directoryEntry[73] * 256 +
                                                            s.object.directoryEntry[74] ==
                                                        width))
            return &s;
    return nullptr;
}

bool isPicture(const sim::StoredObject& o) {
    return o.kind == sim::ObjectKind::Picture || o.kind == sim::ObjectKind::PictureWithThumbnail;
}

// One camera of the default content with a handle open on it.
class StillCamera : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(cameras_.plug(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        ASSERT_EQ(PACI_HandleOpen(0, &h_), PACI_STATUS_SUCCESS);
        ASSERT_NE(h_, nullptr);
        objects_ = storedObjects(cameras_.camera());
        ASSERT_GE(objects_.size(), 5u);
    }
    void TearDown() override {
        if (h_) {
            EXPECT_EQ(PACI_HandleClose(&h_), PACI_STATUS_SUCCESS);
        }
    }
    const Stored& picture640() {
        const Stored* s = firstOfKind(objects_, sim::ObjectKind::PictureWithThumbnail, 640);
        EXPECT_NE(s, nullptr);
        return *s;
    }
    const Stored& sound() {
        const Stored* s = firstOfKind(objects_, sim::ObjectKind::Sound);
        EXPECT_NE(s, nullptr);
        return *s;
    }

    StillCameras cameras_;
    PACI_HANDLE h_ = nullptr;
    std::vector<Stored> objects_;
};

TEST_F(StillCamera, EnumerationFromTheTopListsDeviceStoragesThenPictures) {
    std::vector<PACI_ID> ids(32, 0);
    std::uint32_t total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, 0, ids.data(), 32, &total), PACI_STATUS_SUCCESS);
    ASSERT_EQ(total, 2 + objects_.size());
    EXPECT_EQ(ids[0], PACI_ID_DEVICE);
    EXPECT_EQ(ids[1], kStorage);
    for (std::size_t i = 0; i < objects_.size(); ++i) EXPECT_EQ(ids[2 + i], objects_[i].id) << i;
    EXPECT_EQ(ids[total], 0u);

    // A shorter array holds the first entries; the total still counts them all.
    std::vector<PACI_ID> three(4, 0);
    total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, 0, three.data(), 3, &total), PACI_STATUS_SUCCESS);
    EXPECT_EQ(total, 2 + objects_.size());
    EXPECT_EQ(three[0], PACI_ID_DEVICE);
    EXPECT_EQ(three[1], kStorage);
    EXPECT_EQ(three[2], objects_[0].id);
    EXPECT_EQ(three[3], 0u);

    // Without an array the count comes from GetNumObjects, formed the same way.
    total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, 0, nullptr, 0, &total), PACI_STATUS_SUCCESS);
    EXPECT_EQ(total, 2 + objects_.size());

    // The storages of the device.
    total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, PACI_ID_DEVICE, ids.data(), 32, &total), PACI_STATUS_SUCCESS);
    EXPECT_EQ(total, 1u);
    EXPECT_EQ(ids[0], kStorage);
}

TEST_F(StillCamera, EnumerationByFormatLeavesOutDeviceAndStorages) {
    std::size_t pictures = 0;
    for (const Stored& s : objects_) pictures += isPicture(s.object);
    ASSERT_GE(pictures, 2u);
    std::vector<PACI_ID> ids(32, 0);
    std::uint32_t total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h_, 0x3801, 0, ids.data(), 32, &total), PACI_STATUS_SUCCESS);
    EXPECT_EQ(total, pictures);
    std::size_t k = 0;
    for (const Stored& s : objects_)
        if (isPicture(s.object)) {
            EXPECT_EQ(ids[k++], s.id);
        }
    // Of one storage: the same pictures, the storage asked for parent 0.
    total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h_, 0x3801, kStorage, ids.data(), 32, &total), PACI_STATUS_SUCCESS);
    EXPECT_EQ(total, pictures);
    total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, kStorage, ids.data(), 32, &total), PACI_STATUS_SUCCESS);
    EXPECT_EQ(total, objects_.size());
    EXPECT_EQ(ids[0], objects_[0].id);
    total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, kStorage, nullptr, 0, &total), PACI_STATUS_SUCCESS);
    EXPECT_EQ(total, objects_.size());
    // A picture as parent is passed on as it is; the camera knows no
    // associations and says Invalid_Parameter.
    EXPECT_EQ(PACI_ObjectEnum(h_, 0, objects_[0].id, ids.data(), 32, &total),
              PACI_STATUS_PTP_RESPONSE_BASE + 0x201D);
}

TEST_F(StillCamera, EnumerationArgumentsAreCheckedFirst) {
    PACI_ID ids[4];
    std::uint32_t total = 0;
    EXPECT_EQ(PACI_ObjectEnum(nullptr, 0, 0, ids, 4, &total), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_ObjectEnum(h_, 0, 0, ids, 4, nullptr), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_ObjectEnum(h_, 0, 0, ids, 0, &total), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ObjectEnum(h_, 0, 0, nullptr, 4, &total), PACI_STATUS_BAD_PARAMETER);
}

TEST_F(StillCamera, ObjectInformationOfDeviceStorageAndPictures) {
    PACI_OBJECT_INFO info;
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(PACI_GetObjectInfo(h_, PACI_ID_DEVICE, &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(info.ObjectFormat, 0xFFFF);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info);
    for (std::size_t i = 0; i < sizeof info; ++i)
        if (i != 4 && i != 5) {
            ASSERT_EQ(bytes[i], 0) << i;
        }
    ASSERT_EQ(PACI_GetObjectInfo(h_, kStorage, &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(info.ObjectFormat, 0xF000);
    EXPECT_EQ(info.ObjectSize, 0u);

    // The 640 x 480 picture: its own figures, and the preview as thumbnail.
    const Stored& p = picture640();
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(PACI_GetObjectInfo(h_, p.id, &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(info.ObjectFormat, 0x3801);
    EXPECT_EQ(info.ObjectSize, p.object.picture.size());
    EXPECT_EQ(info.ThumbFormat, 0x3804);
    EXPECT_EQ(info.ThumbSize, 14440u);
    EXPECT_EQ(info.ThumbWidth, 80u);
    EXPECT_EQ(info.ThumbHeight, 60u);
    EXPECT_EQ(info.ImageWidth, 640u);
    EXPECT_EQ(info.ImageHeight, 480u);
    EXPECT_EQ(info.Reserved3[0], 0);
    EXPECT_EQ(info.Reserved3[259], 0);

    // A picture without a thumbnail of its own gets the same thumbnail fields.
    const Stored* plain = firstOfKind(objects_, sim::ObjectKind::Picture);
    ASSERT_NE(plain, nullptr);
    ASSERT_EQ(PACI_GetObjectInfo(h_, plain->id, &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(info.ThumbFormat, 0x3804);
    EXPECT_EQ(info.ThumbSize, 14440u);

    // A sound recording: no thumbnail, the camera's figures.
    ASSERT_EQ(PACI_GetObjectInfo(h_, sound().id, &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(info.ObjectFormat, 0x3008);
    EXPECT_EQ(info.ThumbFormat, 0);
    EXPECT_EQ(info.ThumbSize, 0u);

    EXPECT_EQ(PACI_GetObjectInfo(h_, 0, &info), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_GetObjectInfo(h_, p.id, nullptr), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_GetObjectInfo(nullptr, p.id, &info), PACI_STATUS_BAD_PARAMETER);
    // An object the camera does not have: its response code.
    EXPECT_EQ(PACI_GetObjectInfo(h_, 0x10FFFFFE, &info), PACI_STATUS_PTP_RESPONSE_BASE + 0x2002);
    // ...and the camera answers the next request as usual.
    EXPECT_EQ(PACI_GetObjectInfo(h_, sound().id, &info), PACI_STATUS_SUCCESS);
}

TEST_F(StillCamera, LockAndUnlockAreRefusedTwiceAndDeviceInformationNeedsNoCamera) {
    PACI_HANDLE other = nullptr;
    ASSERT_EQ(PACI_HandleOpen(0, &other), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_HandleUnLock(h_), PACI_STATUS_NOT_LOCKED);
    ASSERT_EQ(PACI_HandleLock(h_, 2000), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_HandleLock(h_, 2000), PACI_STATUS_ALREADY_LOCKED);
    // A handle opens only while it can take the lock for its session.
    PACI_HANDLE third = reinterpret_cast<PACI_HANDLE>(&other);
    PACI_STATUS refused = PACI_HandleOpen(0, &third);
    EXPECT_TRUE(refused == PACI_STATUS_LOCKED || refused == PACI_STATUS_TIMEDOUT) << refused;
    EXPECT_EQ(third, nullptr);

    // While this handle holds the camera, the other one's device and storage
    // information still comes, since it needs no transaction...
    PACI_OBJECT_INFO info;
    EXPECT_EQ(PACI_GetObjectInfo(other, PACI_ID_DEVICE, &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_GetObjectInfo(other, kStorage, &info), PACI_STATUS_SUCCESS);
    // ...but a picture's does not, nor can it take the lock.
    PACI_STATUS st = PACI_GetObjectInfo(other, picture640().id, &info);
    EXPECT_TRUE(st == PACI_STATUS_LOCKED || st == PACI_STATUS_TIMEDOUT) << st;
    st = PACI_HandleLock(other, 0);
    EXPECT_TRUE(st == PACI_STATUS_LOCKED || st == PACI_STATUS_TIMEDOUT) << st;
    EXPECT_EQ(PACI_HandleUnLock(other), PACI_STATUS_NOT_LOCKED);

    // Several calls under the lock this handle holds.
    std::uint32_t total = 0;
    EXPECT_EQ(PACI_ObjectEnum(h_, 0, 0, nullptr, 0, &total), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_GetObjectInfo(h_, picture640().id, &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_HandleUnLock(h_), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_HandleUnLock(h_), PACI_STATUS_NOT_LOCKED);

    EXPECT_EQ(PACI_GetObjectInfo(other, picture640().id, &info), PACI_STATUS_SUCCESS);
    EXPECT_EQ(info.ImageWidth, 640u);
    EXPECT_EQ(PACI_HandleClose(&other), PACI_STATUS_SUCCESS);
    EXPECT_EQ(other, nullptr);
}

TEST_F(StillCamera, AWholeObjectReadNeedsRoomForAllOfIt) {
    const Stored& p = picture640();
    std::vector<std::uint8_t> buffer(p.object.picture.size() + 16, 0);
    ASSERT_EQ(PACI_ReadObject(h_, p.id, buffer.data(), static_cast<std::uint32_t>(buffer.size()), 0),
              PACI_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(p.object.picture.begin(), p.object.picture.end(), buffer.begin()));
    EXPECT_EQ(PACI_ReadObject(h_, p.id, buffer.data(), 1000, 0), PACI_STATUS_BUFFER_TOO_SMALL);
    // The camera is ready for the next read after the short one.
    std::fill(buffer.begin(), buffer.end(), 0);
    ASSERT_EQ(PACI_ReadObject(h_, p.id, buffer.data(), static_cast<std::uint32_t>(buffer.size()), 7),
              PACI_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(p.object.picture.begin(), p.object.picture.end(), buffer.begin()));

    EXPECT_EQ(PACI_ReadObject(h_, 0, buffer.data(), 10, 0), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadObject(h_, PACI_ID_DEVICE, buffer.data(), 10, 0), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadObject(h_, kStorage, buffer.data(), 10, 0), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadObject(h_, p.id, nullptr, 10, 0), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadObject(h_, p.id, buffer.data(), 0, 0), PACI_STATUS_BAD_PARAMETER);
}

TEST_F(StillCamera, ABlockTransferDeliversThePictureInPiecesAndEndsIdle) {
    const Stored& p = picture640();
    const std::uint32_t size = static_cast<std::uint32_t>(p.object.picture.size());
    constexpr std::uint32_t kBlock = 4096;
    ASSERT_GT(size, 3 * kBlock);
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> block(kBlock + 100);
    std::uint32_t got = 0, sofar = 0;
    ASSERT_EQ(PACI_ReadFirstBlock(h_, p.id, block.data(), kBlock, &got), PACI_STATUS_MORE_DATA);
    EXPECT_EQ(got, kBlock);
    out.insert(out.end(), block.begin(), block.begin() + got);
    // One transfer at a time, whatever the other arguments.
    EXPECT_EQ(PACI_ReadFirstBlock(h_, p.id, block.data(), 0, &got),
              PACI_STATUS_BLOCK_TRANSFER_IN_PROGRESS);
    EXPECT_EQ(PACI_ReadNextBlock(h_, block.data(), 0, &got, &sofar), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadNextBlock(h_, nullptr, kBlock, &got, &sofar), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_ReadNextBlock(h_, block.data(), kBlock, nullptr, &sofar),
              PACI_STATUS_NULL_POINTER);
    PACI_STATUS st;
    int rounds = 0;
    // Blocks larger than the rest: the last one brings only what is left.
    while ((st = PACI_ReadNextBlock(h_, block.data(), kBlock + 100, &got, &sofar)) ==
           PACI_STATUS_MORE_DATA) {
        out.insert(out.end(), block.begin(), block.begin() + got);
        EXPECT_EQ(sofar, out.size());
        ASSERT_LT(++rounds, 1000);
    }
    ASSERT_EQ(st, PACI_STATUS_SUCCESS);
    out.insert(out.end(), block.begin(), block.begin() + got);
    EXPECT_EQ(got, (size - kBlock) % (kBlock + 100) ? (size - kBlock) % (kBlock + 100) : kBlock + 100);
    EXPECT_EQ(sofar, size);
    EXPECT_EQ(out, p.object.picture);
    EXPECT_EQ(PACI_ReadNextBlock(h_, block.data(), kBlock, &got, &sofar),
              PACI_STATUS_NO_CURRENT_BLOCK_TRANSFER);
}

TEST_F(StillCamera, AFirstBlockAsLargeAsThePictureLeavesNoTransferOpen) {
    const Stored& p = picture640();
    std::vector<std::uint8_t> buffer(p.object.picture.size() + 512);
    std::uint32_t got = 0, sofar = 0;
    ASSERT_EQ(PACI_ReadFirstBlock(h_, p.id, buffer.data(), static_cast<std::uint32_t>(buffer.size()),
                                  &got),
              PACI_STATUS_SUCCESS);
    EXPECT_EQ(got, p.object.picture.size());
    EXPECT_TRUE(std::equal(p.object.picture.begin(), p.object.picture.end(), buffer.begin()));
    EXPECT_EQ(PACI_ReadNextBlock(h_, buffer.data(), 100, &got, &sofar),
              PACI_STATUS_NO_CURRENT_BLOCK_TRANSFER);
    // The checks of a first block, in their order.
    EXPECT_EQ(PACI_ReadFirstBlock(h_, p.id, buffer.data(), 0, &got), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadFirstBlock(h_, kStorage, nullptr, 10, &got), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadFirstBlock(h_, PACI_ID_DEVICE, buffer.data(), 10, &got),
              PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadFirstBlock(h_, p.id, nullptr, 10, &got), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_ReadFirstBlock(h_, p.id, buffer.data(), 10, nullptr), PACI_STATUS_NULL_POINTER);
}

TEST_F(StillCamera, ACancelledTransferIsIdleAndTheCameraReadsAgain) {
    const Stored& p = picture640();
    std::vector<std::uint8_t> block(2048);
    std::uint32_t got = 0, sofar = 0;
    ASSERT_EQ(PACI_ReadFirstBlock(h_, p.id, block.data(), 2048, &got), PACI_STATUS_MORE_DATA);
    ASSERT_EQ(PACI_ReadNextBlock(h_, block.data(), 2048, &got, &sofar), PACI_STATUS_MORE_DATA);
    EXPECT_EQ(sofar, 4096u);
    EXPECT_EQ(PACI_CancelBlockTransfer(h_), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_ReadNextBlock(h_, block.data(), 2048, &got, &sofar),
              PACI_STATUS_NO_CURRENT_BLOCK_TRANSFER);
    std::vector<std::uint8_t> whole(p.object.picture.size());
    ASSERT_EQ(PACI_ReadObject(h_, p.id, whole.data(), static_cast<std::uint32_t>(whole.size()), 0),
              PACI_STATUS_SUCCESS);
    EXPECT_EQ(whole, p.object.picture);
    // With nothing under way the cancel still reaches the camera and succeeds.
    EXPECT_EQ(PACI_CancelBlockTransfer(h_), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_CancelBlockTransfer(nullptr), PACI_STATUS_NULL_POINTER);
}

TEST_F(StillCamera, TheBlocksOfOneTransferMayRunUnderTheApplicationsLock) {
    const Stored& p = picture640();
    ASSERT_EQ(PACI_HandleLock(h_, PAV_INFINITE), PACI_STATUS_SUCCESS);
    std::vector<std::uint8_t> out(p.object.picture.size());
    std::uint32_t got = 0, sofar = 0, at = 0;
    PACI_STATUS st = PACI_ReadFirstBlock(h_, p.id, out.data(), 10000, &got);
    at = got;
    while (st == PACI_STATUS_MORE_DATA) {
        st = PACI_ReadNextBlock(h_, out.data() + at, 10000, &got, &sofar);
        at += got;
    }
    EXPECT_EQ(st, PACI_STATUS_SUCCESS);
    EXPECT_EQ(at, p.object.picture.size());
    EXPECT_EQ(out, p.object.picture);
    EXPECT_EQ(PACI_HandleUnLock(h_), PACI_STATUS_SUCCESS);
}

TEST_F(StillCamera, APreviewIsAn80x60BitmapOfWhichAShortBufferGetsTheStart) {
    const Stored& p = picture640();
    std::vector<std::uint8_t> full(20000, 0xCD);
    ASSERT_EQ(PACI_ReadPreview(h_, p.id, full.data(), static_cast<std::uint32_t>(full.size())),
              PACI_STATUS_SUCCESS);
    std::uint32_t biSize, biSizeImage;
    std::int32_t width, height;
    std::uint16_t planes, bits;
    std::memcpy(&biSize, full.data(), 4);
    std::memcpy(&width, full.data() + 4, 4);
    std::memcpy(&height, full.data() + 8, 4);
    std::memcpy(&planes, full.data() + 12, 2);
    std::memcpy(&bits, full.data() + 14, 2);
    std::memcpy(&biSizeImage, full.data() + 20, 4);
    EXPECT_EQ(biSize, 40u);
    EXPECT_EQ(width, 80);
    EXPECT_EQ(height, 60);
    EXPECT_EQ(planes, 1);
    EXPECT_EQ(bits, 24);
    EXPECT_EQ(biSizeImage, 14400u);
    // Exactly 14440 bytes, and the pixels are a picture, not a blank.
    for (std::size_t i = 14440; i < full.size(); ++i) ASSERT_EQ(full[i], 0xCD) << i;
    std::size_t distinct = 0;
    for (std::size_t i = 41; i < 14440; ++i) distinct += full[i] != full[40];
    EXPECT_GT(distinct, 1000u);

    std::vector<std::uint8_t> start(120, 0xCD);
    ASSERT_EQ(PACI_ReadPreview(h_, p.id, start.data(), 100), PACI_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(start.begin(), start.begin() + 100, full.begin()));
    EXPECT_EQ(start[100], 0xCD);
}

TEST_F(StillCamera, OnlyJpegPicturesHavePreviews) {
    std::vector<std::uint8_t> buffer(14440, 0xCD);
    EXPECT_EQ(PACI_ReadPreview(h_, sound().id, buffer.data(), 14440), PACI_STATUS_NO_PREVIEW);
    const Stored* clip = firstOfKind(objects_, sim::ObjectKind::Clip);
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(PACI_ReadPreview(h_, clip->id, buffer.data(), 14440), PACI_STATUS_NO_PREVIEW);
    EXPECT_EQ(buffer[0], 0xCD);
    EXPECT_EQ(PACI_ReadPreview(h_, 0, buffer.data(), 14440), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadPreview(h_, PACI_ID_DEVICE, buffer.data(), 14440), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadPreview(h_, kStorage, buffer.data(), 14440), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadPreview(h_, sound().id, nullptr, 14440), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadPreview(h_, sound().id, buffer.data(), 0), PACI_STATUS_BAD_PARAMETER);
}

TEST_F(StillCamera, ClosingOneHandleLeavesTheOthersPreviewsWorking) {
    PACI_HANDLE other = nullptr;
    ASSERT_EQ(PACI_HandleOpen(0, &other), PACI_STATUS_SUCCESS);
    // The other handle's lock around its close lets its CloseSession through
    // to the camera, whose one session this handle shares.
    ASSERT_EQ(PACI_HandleLock(other, 2000), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_HandleClose(&other), PACI_STATUS_SUCCESS);
    std::vector<std::uint8_t> buffer(14440);
    EXPECT_EQ(PACI_ReadPreview(h_, picture640().id, buffer.data(), 14440), PACI_STATUS_SUCCESS);
    PACI_OBJECT_INFO info;
    EXPECT_EQ(PACI_GetObjectInfo(h_, sound().id, &info), PACI_STATUS_SUCCESS);
}

TEST(StillCameraLibraries, WithoutTheScalerHandlesOpenAndPreviewsSayDllLoadError) {
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug("no-scaler"));
    PACI_HANDLE bare = nullptr;
    {
        LibraryNames names(nullptr, "/nonexistent/libpavscale.so");
        ASSERT_EQ(PACI_HandleOpen(0, &bare), PACI_STATUS_SUCCESS);
    }
    PACI_HANDLE scaled = nullptr;
    ASSERT_EQ(PACI_HandleOpen(0, &scaled), PACI_STATUS_SUCCESS);
    std::vector<Stored> objects = storedObjects(cameras.camera());
    const Stored* p = firstOfKind(objects, sim::ObjectKind::PictureWithThumbnail, 640);
    ASSERT_NE(p, nullptr);
    std::vector<std::uint8_t> buffer(14440, 0xCD);
    EXPECT_EQ(PACI_ReadPreview(bare, p->id, buffer.data(), 14440), PACI_STATUS_DLL_LOAD_ERROR);
    EXPECT_EQ(buffer[0], 0xCD);
    // Everything else of that handle works, and the other handle has its own scaler.
    std::vector<std::uint8_t> whole(p->object.picture.size());
    EXPECT_EQ(PACI_ReadObject(bare, p->id, whole.data(), static_cast<std::uint32_t>(whole.size()), 0),
              PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_ReadPreview(scaled, p->id, buffer.data(), 14440), PACI_STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 40);
    EXPECT_EQ(PACI_HandleClose(&scaled), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_ReadPreview(bare, p->id, buffer.data(), 14440), PACI_STATUS_DLL_LOAD_ERROR);
    EXPECT_EQ(PACI_HandleClose(&bare), PACI_STATUS_SUCCESS);
}

TEST(StillCameraLibraries, WithoutTheJpegLibraryNoHandleOpens) {
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug("no-jpeg"));
    LibraryNames names("/nonexistent/libturbojpeg.so.0", nullptr);
    PACI_HANDLE h = reinterpret_cast<PACI_HANDLE>(&cameras);
    EXPECT_EQ(PACI_HandleOpen(0, &h), PACI_STATUS_DLL_LOAD_ERROR);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(PACI_HandleOpenWIA(0, &h), PACI_STATUS_DLL_LOAD_ERROR);
    EXPECT_EQ(h, nullptr);
}

TEST(StillCameraHandles, OpenChecksItsCameraNumber) {
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug("numbers"));
    PACI_HANDLE h = reinterpret_cast<PACI_HANDLE>(&cameras);
    EXPECT_EQ(PACI_HandleOpen(256, &h), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(PACI_HandleOpen(200, &h), PACI_STATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
}

TEST(StillCameraHandles, AnUnpluggedCameraOrphansTheHandleAndOnlyCloseIsLeft) {
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug("orphan"));
    PACI_HANDLE h = nullptr;
    ASSERT_EQ(PACI_HandleOpen(0, &h), PACI_STATUS_SUCCESS);
    std::uint32_t total = 0;
    ASSERT_EQ(PACI_ObjectEnum(h, 0, 0, nullptr, 0, &total), PACI_STATUS_SUCCESS);
    cameras.unplug();
    // The worker closes the channel on the notification: from then on every
    // picture operation answers the PTP client's invalid handle.
    EXPECT_TRUE(pavtest::waitFor(
        [&] { return PACI_ObjectEnum(h, 0, 0, nullptr, 0, &total) == paci::kPtpInvalidHandle; }));
    PACI_OBJECT_INFO info;
    EXPECT_EQ(PACI_GetObjectInfo(h, 0x10000001, &info), paci::kPtpInvalidHandle);
    EXPECT_EQ(PACI_HandleLock(h, 0), paci::kPtpInvalidHandle);
    EXPECT_EQ(PACI_HandleClose(&h), paci::kPtpInvalidHandle);
    EXPECT_EQ(h, nullptr);
}

TEST(StillCameraHandles, TheImagingServicesOpenPassesOverACameraThatRefusesIt) {
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug("wia-one", 1));
    ASSERT_TRUE(cameras.plug("wia-two", 2));
    // Each camera serves one imaging-service connection: the second open goes
    // on to the next camera, the third finds none left.
    PACI_HANDLE a = nullptr, b = nullptr, c = nullptr;
    ASSERT_EQ(PACI_HandleOpenWIA(0, &a), PACI_STATUS_SUCCESS);
    ASSERT_EQ(PACI_HandleOpenWIA(0, &b), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_HandleOpenWIA(0, &c), PACI_STATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(c, nullptr);
    // The plain open is not limited that way.
    ASSERT_EQ(PACI_HandleOpen(0, &c), PACI_STATUS_SUCCESS);
    std::uint32_t ta = 0, tb = 0;
    EXPECT_EQ(PACI_ObjectEnum(a, 0, 0, nullptr, 0, &ta), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_ObjectEnum(b, 0, 0, nullptr, 0, &tb), PACI_STATUS_SUCCESS);
    EXPECT_GT(ta, 2u);
    EXPECT_EQ(ta, tb);
    for (PACI_HANDLE* h : {&a, &b, &c}) EXPECT_EQ(PACI_HandleClose(h), PACI_STATUS_SUCCESS);
    // Once closed, the imaging service may connect again.
    ASSERT_EQ(PACI_HandleOpenWIA(0, &a), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_HandleClose(&a), PACI_STATUS_SUCCESS);
}

TEST(StillCameraHandles, NotificationsGoToTheHandlesVideoPropertyHandle) {
    StillCameras cameras;
    ASSERT_TRUE(cameras.plug("notify"));
    PACI_HANDLE h = nullptr;
    ASSERT_EQ(PACI_HandleOpen(0, &h), PACI_STATUS_SUCCESS);
    PAV_EVENT event = PAV_CreateEvent(1, 0);
    PAV_GUID cameraSet = {0x00A242B0, 0x920E, 0x11D3, {0xA0, 0x8F, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
    EXPECT_EQ(PACI_NotificationSet(h, &cameraSet, 0, event), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_NotificationSet(h, nullptr, 0, event), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_NotificationSet(nullptr, &cameraSet, 0, event), PACI_STATUS_NULL_POINTER);
    cameras.unplug();
    EXPECT_EQ(PAV_WaitForEvent(event, 10000), PAV_WAIT_OBJECT_0);
    PACI_HandleClose(&h);
    PAV_CloseEvent(event);
}

}  // namespace
}  // namespace stillstest
