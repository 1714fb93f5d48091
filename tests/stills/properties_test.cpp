// The property streams and the command of the still camera interface against
// a simulated camera: what a stream holds for the device, a storage and a
// picture, the in-memory get, set and default, what a stream write sends, and
// deleting pictures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pav512u/paci.h"
#include "pav512u/pavpi.h"
#include "sim/object_store.h"
#include "tests/stills/still_cameras.h"

namespace stillstest {
namespace {

constexpr PACI_ID kStorage = 0x10000000;
const PAV_GUID kObject = PACI_SET_OBJECT;
const PAV_GUID kDevice = PACI_SET_DEVICE;
const PAV_GUID kStorageSet = PACI_SET_STORAGE;
const PAV_GUID kImage = PACI_SET_IMAGE;
const PAV_GUID kCommand = PACI_SET_COMMAND;

class StillProperties : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(cameras_.plug(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        ASSERT_EQ(PACI_HandleOpen(0, &h_), PACI_STATUS_SUCCESS);
        cameras_.camera()->withStore([&](sim::ObjectStore& store) {
            const sim::Memory& m = store.memory(store.currentMemory());
            memory_ = m.number();
            capacity_ = m.capacity();
            freeBytes_ = m.freeBytes();
            freePictures_ = m.freePictures();
            for (const sim::StoredObject& o : m.objects()) {
                PACI_ID id = 0x10000000u | (std::uint32_t(m.number()) << 24) | o.number;
                if (o.kind == sim::ObjectKind::PictureWithThumbnail && !picture_) {
                    picture_ = id;
                    pictureSize_ = static_cast<std::uint32_t>(o.picture.size());
                }
            }
        });
        ASSERT_NE(picture_, 0u);
    }
    void TearDown() override {
        if (h_) {
            EXPECT_EQ(PACI_HandleClose(&h_), PACI_STATUS_SUCCESS);
        }
    }
    PACI_PROPERTY_STREAM* read(PACI_ID id) {
        PACI_PROPERTY_STREAM* s = nullptr;
        EXPECT_EQ(PACI_PropertyStreamRead(h_, id, &s), PACI_STATUS_SUCCESS);
        return s;
    }
    template <typename T>
    T get(PACI_PROPERTY_STREAM* s, const PAV_GUID& set, std::uint32_t key) {
        T v{};
        EXPECT_EQ(PACI_PropertyGet(h_, s, &set, key, sizeof v, &v), PACI_STATUS_SUCCESS) << key;
        return v;
    }
    std::string text(PACI_PROPERTY_STREAM* s, const PAV_GUID& set, std::uint32_t key) {
        char v[33] = {};
        EXPECT_EQ(PACI_PropertyGet(h_, s, &set, key, 32, v), PACI_STATUS_SUCCESS) << key;
        return v;
    }
    void free(PACI_PROPERTY_STREAM* s) { EXPECT_EQ(PACI_PropertyStreamFree(h_, s), PACI_STATUS_SUCCESS); }

    StillCameras cameras_;
    PACI_HANDLE h_ = nullptr;
    PACI_ID picture_ = 0;
    std::uint32_t pictureSize_ = 0;
    int memory_ = 0;
    std::uint64_t capacity_ = 0;
    std::uint32_t freeBytes_ = 0, freePictures_ = 0;
};

TEST_F(StillProperties, AStreamHasEighteenEntriesInTableOrder) {
    PACI_PROPERTY_STREAM* s = read(PACI_ID_DEVICE);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->Count, 18u);
    const char* names[18] = {"Object Format",       "Object Size",          "Device Name",
                             "Firmware Version",    "Sensor ID",            "50Hz Banding Filter",
                             "Vendor Description",  "Firmware PatchID",     "Storage Type",
                             "File System Type",    "Access Capability",    "Max Capacity (Bytes)",
                             "Free Space (Bytes)",  "Free Space (Images)",  "Storage Description",
                             "Volume Label",        "Image Width",          "Image Height"};
    const std::uint32_t sizes[18] = {2, 4, 32, 2, 2, 1, 32, 32, 2, 2, 2, 8, 8, 4, 32, 32, 4, 4};
    for (int i = 0; i < 18; ++i) {
        const PACI_PROPERTY_ENTRY& e = s->Entries[i];
        EXPECT_STREQ(e.Name, names[i]);
        EXPECT_EQ(e.Size, sizes[i]) << names[i];
        // Only the device name and the banding filter may be written.
        EXPECT_EQ(e.ReadOnly == 0, i == 2 || i == 5) << names[i];
        EXPECT_EQ(e.Type, i == 5 ? 1u : (e.Size == 32 ? 2u : 0u)) << names[i];
        for (std::uint8_t b : e.Default) ASSERT_EQ(b, 0) << names[i];
        EXPECT_EQ(e.Reserved1, 0u);
        EXPECT_EQ(e.Reserved2, 0u);
    }
    EXPECT_EQ(std::memcmp(&s->Entries[0].Set, &kObject, 16), 0);
    EXPECT_EQ(std::memcmp(&s->Entries[6].Set, &kDevice, 16), 0);
    EXPECT_EQ(std::memcmp(&s->Entries[8].Set, &kStorageSet, 16), 0);
    EXPECT_EQ(std::memcmp(&s->Entries[17].Set, &kImage, 16), 0);
    EXPECT_EQ(s->Entries[7].Key, 19u);
    free(s);
}

TEST_F(StillProperties, TheDevicesStreamNamesTheCameraAndItsSettings) {
    PACI_PROPERTY_STREAM* s = read(PACI_ID_DEVICE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(get<std::uint16_t>(s, kObject, 1), 0xFFFF);
    EXPECT_EQ(get<std::uint32_t>(s, kObject, 3), 0u);
    std::string vendor = text(s, kDevice, 0);
    ASSERT_GT(vendor.size(), 5u);
    EXPECT_EQ(vendor.substr(vendor.size() - 5), " 0-01");
    // Settings the driver keeps, read as the video property interface reads them.
    std::uint32_t numbers[4] = {}, count = 0;
    ASSERT_EQ(PACI_CameraEnum(0, 0, numbers, 4, &count), PACI_STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    PAVPI_HANDLE v = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(numbers[0], &v), PAVPI_STATUS_SUCCESS);
    PAV_GUID deviceSet = {0x2BBD8342, 0x6AA2, 0x11D3, {0xA0, 0x76, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
    std::uint16_t firmware = 0;
    ASSERT_EQ(PAVPI_PropertyGet(v, &deviceSet, 0, 2, &firmware), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(get<std::uint16_t>(s, kDevice, 4), firmware);
    std::uint8_t banding = 0xEE;
    ASSERT_EQ(PAVPI_PropertyGet(v, &deviceSet, 6, 1, &banding), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(get<std::uint8_t>(s, kDevice, 7), banding);
    EXPECT_EQ(PAVPI_HandleClose(&v), PAVPI_STATUS_SUCCESS);
    // No storage or picture was read for the device.
    EXPECT_EQ(get<std::uint16_t>(s, kStorageSet, 0), 0);
    EXPECT_EQ(get<std::uint32_t>(s, kImage, 1), 0u);
    free(s);
}

TEST_F(StillProperties, AStoragesStreamHasItsFiguresAndNoPicture) {
    PACI_PROPERTY_STREAM* s = read(kStorage);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(get<std::uint16_t>(s, kObject, 1), 0xF000);
    EXPECT_EQ(get<std::uint32_t>(s, kObject, 3), 0u);
    EXPECT_EQ(get<std::uint32_t>(s, kImage, 1), 0u);
    EXPECT_EQ(get<std::uint32_t>(s, kImage, 2), 0u);
    EXPECT_EQ(get<std::uint16_t>(s, kStorageSet, 0), 3);  // fixed RAM
    EXPECT_EQ(get<std::uint16_t>(s, kStorageSet, 1), 3);  // DCF
    EXPECT_EQ(get<std::uint16_t>(s, kStorageSet, 2), 2);  // read-only with deletion
    EXPECT_EQ(get<std::uint64_t>(s, kStorageSet, 3), capacity_ & 0xFFFFFFFFu);
    EXPECT_EQ(get<std::uint64_t>(s, kStorageSet, 4), freeBytes_);
    EXPECT_EQ(get<std::uint32_t>(s, kStorageSet, 5), freePictures_);
    EXPECT_EQ(text(s, kStorageSet, 6), "");
    EXPECT_EQ(text(s, kStorageSet, 7), "");
    EXPECT_EQ(text(s, kDevice, 0), "");
    free(s);
}

TEST_F(StillProperties, APicturesStreamHasItsFormatSizeAndDimensions) {
    PACI_PROPERTY_STREAM* s = read(picture_);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(get<std::uint16_t>(s, kObject, 1), 0x3801);
    EXPECT_EQ(get<std::uint32_t>(s, kObject, 3), pictureSize_);
    EXPECT_EQ(get<std::uint32_t>(s, kImage, 1), 640u);
    EXPECT_EQ(get<std::uint32_t>(s, kImage, 2), 480u);
    EXPECT_EQ(get<std::uint16_t>(s, kStorageSet, 0), 0);
    free(s);
    // An object the camera does not have: the read fails, nothing is handed out.
    PACI_PROPERTY_STREAM* none = reinterpret_cast<PACI_PROPERTY_STREAM*>(this);
    EXPECT_EQ(PACI_PropertyStreamRead(h_, 0x10FFFFFE, &none), PACI_STATUS_PTP_RESPONSE_BASE + 0x2002);
    EXPECT_EQ(none, nullptr);
}

TEST_F(StillProperties, GetSetAndDefaultWorkOnTheCallersCopy) {
    PACI_PROPERTY_STREAM* s = read(PACI_ID_DEVICE);
    ASSERT_NE(s, nullptr);
    std::uint8_t value[32] = {};
    // Get wants the entry's exact size; set takes a shorter one.
    EXPECT_EQ(PACI_PropertyGet(h_, s, &kDevice, 3, 31, value), PACI_STATUS_BAD_BUFFER_LENGTH);
    EXPECT_EQ(PACI_PropertyGet(h_, s, &kDevice, 3, 33, value), PACI_STATUS_BAD_BUFFER_LENGTH);
    const char* longName = "ABCDEFGHIJ";
    ASSERT_EQ(PACI_PropertySet(h_, s, &kDevice, 3, 11, longName), PACI_STATUS_SUCCESS);
    ASSERT_EQ(PACI_PropertySet(h_, s, &kDevice, 3, 3, "xyz"), PACI_STATUS_SUCCESS);
    EXPECT_EQ(text(s, kDevice, 3), "xyzDEFGHIJ");
    EXPECT_EQ(PACI_PropertySet(h_, s, &kDevice, 3, 33, value), PACI_STATUS_BAD_BUFFER_LENGTH);
    // Read-only entries and entries that are not there.
    EXPECT_EQ(PACI_PropertySet(h_, s, &kDevice, 0, 4, "abc"), PACI_STATUS_PROP_READ_ONLY);
    EXPECT_EQ(PACI_PropertySet(h_, s, &kObject, 3, 4, value), PACI_STATUS_PROP_READ_ONLY);
    EXPECT_EQ(PACI_PropertyGet(h_, s, &kDevice, 99, 4, value), PACI_STATUS_PROP_NOT_FOUND);
    EXPECT_EQ(PACI_PropertySet(h_, s, &kCommand, 0, 4, value), PACI_STATUS_PROP_NOT_FOUND);
    EXPECT_EQ(PACI_PropertyDefault(h_, s, &kImage, 7), PACI_STATUS_PROP_NOT_FOUND);
    // Default puts back zero bytes.
    ASSERT_EQ(PACI_PropertyDefault(h_, s, &kDevice, 3), PACI_STATUS_SUCCESS);
    EXPECT_EQ(text(s, kDevice, 3), "");
    for (std::uint8_t b : s->Entries[2].Current) ASSERT_EQ(b, 0);

    // The checks in their order.
    EXPECT_EQ(PACI_PropertyGet(nullptr, nullptr, nullptr, 3, 0, nullptr), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_PropertyGet(h_, s, &kDevice, 3, 32, nullptr), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_PropertySet(h_, s, nullptr, 3, 32, value), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_PropertyDefault(h_, nullptr, &kDevice, 3), PACI_STATUS_NULL_POINTER);
    PACI_PROPERTY_STREAM empty = {0, s->Entries};
    EXPECT_EQ(PACI_PropertyGet(h_, &empty, &kDevice, 3, 32, value), PACI_STATUS_BAD_PROP_STREAM);
    PACI_PROPERTY_STREAM noArray = {18, nullptr};
    EXPECT_EQ(PACI_PropertySet(h_, &noArray, &kDevice, 3, 32, value), PACI_STATUS_BAD_PROP_STREAM);
    EXPECT_EQ(PACI_PropertyDefault(h_, &noArray, &kDevice, 3), PACI_STATUS_BAD_PROP_STREAM);
    // An entry claiming more than its value area is refused, not copied.
    PACI_PROPERTY_ENTRY forged = s->Entries[2];
    forged.Size = 129;
    PACI_PROPERTY_STREAM one = {1, &forged};
    std::vector<std::uint8_t> big(200);
    EXPECT_EQ(PACI_PropertyGet(h_, &one, &kDevice, 3, 129, big.data()), PACI_STATUS_BAD_PROP_STREAM);
    free(s);
}

TEST_F(StillProperties, AStreamIsFreedOnceAndOnlyByTheLibrary) {
    PACI_PROPERTY_STREAM* s = read(PACI_ID_DEVICE);
    ASSERT_NE(s, nullptr);
    PACI_PROPERTY_STREAM copy = *s;
    EXPECT_EQ(PACI_PropertyStreamFree(h_, &copy), PACI_STATUS_BAD_PROP_STREAM);
    EXPECT_EQ(PACI_PropertyStreamFree(nullptr, s), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_PropertyStreamFree(h_, nullptr), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_PropertyStreamFree(h_, s), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_PropertyStreamFree(h_, s), PACI_STATUS_BAD_PROP_STREAM);
    PACI_PROPERTY_STREAM* out = nullptr;
    EXPECT_EQ(PACI_PropertyStreamRead(h_, 0, &out), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_PropertyStreamRead(nullptr, PACI_ID_DEVICE, &out), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_PropertyStreamRead(h_, PACI_ID_DEVICE, nullptr), PACI_STATUS_NULL_POINTER);
}

TEST_F(StillProperties, AStreamWriteSendsTheWritableValuesOfTheDevice) {
    PACI_PROPERTY_STREAM* s = read(PACI_ID_DEVICE);
    ASSERT_NE(s, nullptr);
    // Only the device's stream goes back to the camera.
    EXPECT_EQ(PACI_PropertyStreamWrite(h_, kStorage, s), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_PropertyStreamWrite(h_, picture_, s), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_PropertyStreamWrite(h_, 0, s), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_PropertyStreamWrite(h_, PACI_ID_DEVICE, nullptr), PACI_STATUS_NULL_POINTER);

    char name[32] = "Kitchen camera";
    ASSERT_EQ(PACI_PropertySet(h_, s, &kDevice, 3, 32, name), PACI_STATUS_SUCCESS);
    std::uint8_t banding = get<std::uint8_t>(s, kDevice, 7) ? 0 : 1;
    ASSERT_EQ(PACI_PropertySet(h_, s, &kDevice, 7, 1, &banding), PACI_STATUS_SUCCESS);
    ASSERT_EQ(PACI_PropertyStreamWrite(h_, PACI_ID_DEVICE, s), PACI_STATUS_SUCCESS);
    // The flicker register of the mains frequency chosen.
    EXPECT_EQ(cameras_.camera()->registerValue(2, 0x26), banding ? 100 : 120);
    PACI_PROPERTY_STREAM* back = read(PACI_ID_DEVICE);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(text(back, kDevice, 3), "Kitchen camera");
    EXPECT_EQ(get<std::uint8_t>(back, kDevice, 7), banding);

    // After the default, the write sends an empty name.
    ASSERT_EQ(PACI_PropertyDefault(h_, back, &kDevice, 3), PACI_STATUS_SUCCESS);
    ASSERT_EQ(PACI_PropertyStreamWrite(h_, PACI_ID_DEVICE, back), PACI_STATUS_SUCCESS);
    PACI_PROPERTY_STREAM* cleared = read(PACI_ID_DEVICE);
    ASSERT_NE(cleared, nullptr);
    EXPECT_EQ(text(cleared, kDevice, 3), "");

    // Entries go to rows by position: a read-only row made writable by the
    // caller is refused by its handler, the last one called.
    cleared->Entries[17].ReadOnly = 0;
    EXPECT_EQ(PACI_PropertyStreamWrite(h_, PACI_ID_DEVICE, cleared), PACI_STATUS_PROP_READ_ONLY);
    free(cleared);
    free(back);
    free(s);
}

TEST_F(StillProperties, DeleteObjectRemovesOnePictureOrEveryOne) {
    std::uint32_t before = 0, after = 0;
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, kStorage, nullptr, 0, &before), PACI_STATUS_SUCCESS);
    ASSERT_GE(before, 3u);
    ASSERT_EQ(PACI_Command(h_, &kCommand, PACI_COMMAND_DELETE_OBJECT, picture_, 77),
              PACI_STATUS_SUCCESS);
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, kStorage, nullptr, 0, &after), PACI_STATUS_SUCCESS);
    EXPECT_EQ(after, before - 1);
    bool gone = true;
    cameras_.camera()->withStore([&](sim::ObjectStore& store) {
        gone = store.memory(memory_).find(picture_ & 0xFFFFFF) == nullptr;
    });
    EXPECT_TRUE(gone);

    // Unknown commands, and the checks.
    EXPECT_EQ(PACI_Command(h_, &kCommand, 1, PACI_ID_DEVICE, 0), PACI_STATUS_PROP_NOT_FOUND);
    EXPECT_EQ(PACI_Command(h_, &kDevice, 0, PACI_ID_DEVICE, 0), PACI_STATUS_PROP_NOT_FOUND);
    EXPECT_EQ(PACI_Command(h_, nullptr, 0, PACI_ID_DEVICE, 0), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_Command(nullptr, &kCommand, 0, PACI_ID_DEVICE, 0), PACI_STATUS_NULL_POINTER);

    // Every picture with one command.
    ASSERT_EQ(PACI_Command(h_, &kCommand, PACI_COMMAND_DELETE_OBJECT, PACI_ID_DEVICE, 0),
              PACI_STATUS_SUCCESS);
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, kStorage, nullptr, 0, &after), PACI_STATUS_SUCCESS);
    EXPECT_EQ(after, 0u);
    std::size_t left = 1;
    cameras_.camera()->withStore(
        [&](sim::ObjectStore& store) { left = store.memory(memory_).objects().size(); });
    EXPECT_EQ(left, 0u);
    PACI_ID ids[4] = {};
    ASSERT_EQ(PACI_ObjectEnum(h_, 0, 0, ids, 4, &after), PACI_STATUS_SUCCESS);
    EXPECT_EQ(after, 2u);  // the device and its storage are still there
}

}  // namespace
}  // namespace stillstest
