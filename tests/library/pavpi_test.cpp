// The video property interface over stand-in drivers whose answers the test
// chooses: argument checks in their order, the status texts, the requests as
// they reach the driver, the removal watcher, camera enumeration and the
// video-capture lock within one process; and over the real driver with a
// simulated camera, what unplugging does to a handle.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "library/device/device_registry.h"
#include "library/device/library.h"
#include "library/device/pavpi_internal.h"
#include "library/device/registry_key.h"
#include "library/device/request.h"
#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "pav512u/pavpi.h"
#include "platform/user/channel_transport.h"
#include "platform/user/runtime_dir.h"
#include "platform/user/socket_client.h"
#include "platform/user/synch.h"
#include "tests/channels/channel_client.h"
#include "tests/channels/fake_driver.h"
#include "tests/library/cameras.h"
#include "tests/support/kernel_test.h"

#include "host/inprocess_transport.h"

namespace pavtest {
namespace {

// The holder's heartbeat thread writes the record's fields with atomic
// 32-bit stores; the tests read them the same way.
std::uint32_t loaded(std::uint32_t& field) {
    return std::atomic_ref<std::uint32_t>(field).load(std::memory_order_acquire);
}

using namespace pav512;

PAV_GUID pav(const GUID& g) {
    PAV_GUID out;
    std::memcpy(&out, &g, sizeof out);
    return out;
}

const PAV_GUID kDeviceSet = pav(kPropertySetDevice);
constexpr std::uint32_t kBandingFilter = 6;

// The library loaded, with stand-in drivers registered by the test and the
// device list refreshed to see them.
class Pavpi : public ::testing::Test {
  protected:
    void SetUp() override {
        uchannel::setTransport(host::makeInProcessTransport());
        pavu::processAttach();
    }
    void TearDown() override {
        pavu::processDetach();
        fakes_.clear();
        uchannel::setTransport(nullptr);
    }
    FakeDriver& addCamera(const std::string& serial) {
        fakes_.push_back(FakeDriver::create("USB\\VID_F1A5&PID_0B2D\\" + serial));
        EXPECT_NE(fakes_.back(), nullptr);
        refreshNow();
        return *fakes_.back();
    }
    static void refreshNow() {
        unsigned before = pavu::refreshCount();
        EXPECT_TRUE(waitFor([&] {
            pavu::refreshDeviceRegistry();
            return pavu::refreshCount() > before;
        }));
    }
    // The number the device list gave the fake's interface.
    static std::uint32_t numberOf(const FakeDriver& f) {
        for (DWORD n = 1; n <= 16; ++n) {
            char path[pavu::kPathRoom];
            if (pavu::pathOfCameraNumber(n, path, sizeof path) && f.interfacePath() == path) return n;
        }
        return 0;
    }
    static std::vector<FakeDriver::Seen> seenOf(const FakeDriver& f, ULONG code) {
        std::vector<FakeDriver::Seen> out;
        for (auto& s : f.seen())
            if (s.code == code) out.push_back(s);
        return out;
    }
    std::vector<std::unique_ptr<FakeDriver>> fakes_;
};

TEST(PavpiTexts, NamesFitOrSayTheBufferIsTooSmall) {
    char text[40];
    EXPECT_EQ(PAVPI_GetErrorText(PAVPI_STATUS_IN_USE, text, 19), PAVPI_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(PAVPI_GetErrorText(0x30, text, 20), PAVPI_STATUS_SUCCESS);
    EXPECT_STREQ(text, "PAVPI_STATUS_IN_USE");
    EXPECT_EQ(PAVPI_GetErrorText(0x30, nullptr, 20), PAVPI_STATUS_NULL_POINTER);
    EXPECT_EQ(PAVPI_GetErrorText(0x30, text, 0), PAVPI_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(PAVPI_GetErrorText(0x31, text, sizeof text), PAVPI_STATUS_INVALID_STATUS);
    EXPECT_EQ(PAVPI_GetErrorText(PAVPI_STATUS_DRIVER_VERSION_MISMATCH, text, sizeof text),
              PAVPI_STATUS_SUCCESS);
    EXPECT_STREQ(text, "PAVPI_STATUS_DRIVER_VERSION_MISMATCH");
    std::uint16_t v = 0;
    EXPECT_EQ(PAVPI_GetVersion(&v), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(v, 0x0203);
    EXPECT_EQ(PAVPI_GetVersion(nullptr), PAVPI_STATUS_SUCCESS);
}

TEST_F(Pavpi, ArgumentsAreCheckedInTheirOrder) {
    FakeDriver& f = addCamera("args");
    PAVPI_HANDLE h = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(numberOf(f), &h), PAVPI_STATUS_SUCCESS);
    std::uint8_t value = 1;
    auto bogus = reinterpret_cast<PAVPI_HANDLE>(&value);
    // Set and get: null value or set first, then a zero size or bad handle.
    for (auto op : {PAVPI_PropertySet, PAVPI_PropertyGet}) {
        EXPECT_EQ(op(nullptr, nullptr, 1, 0, &value), PAVPI_STATUS_NULL_POINTER);
        EXPECT_EQ(op(nullptr, &kDeviceSet, 1, 0, nullptr), PAVPI_STATUS_NULL_POINTER);
        EXPECT_EQ(op(nullptr, &kDeviceSet, 1, 1, &value), PAVPI_STATUS_BAD_PARAMETER);
        EXPECT_EQ(op(h, &kDeviceSet, 1, 0, &value), PAVPI_STATUS_BAD_PARAMETER);
        EXPECT_EQ(op(bogus, &kDeviceSet, 1, 1, &value), PAVPI_STATUS_BAD_PARAMETER);
    }
    // Default: the handle first, then the set.
    EXPECT_EQ(PAVPI_PropertyDefault(nullptr, nullptr, 1), PAVPI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PAVPI_PropertyDefault(h, nullptr, 1), PAVPI_STATUS_NULL_POINTER);
    // Notification set: the set first, then the handle.
    EXPECT_EQ(PAVPI_NotificationSet(nullptr, nullptr, 0, nullptr), PAVPI_STATUS_NULL_POINTER);
    EXPECT_EQ(PAVPI_NotificationSet(nullptr, &kDeviceSet, 0, nullptr), PAVPI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PAVPI_NotificationClear(nullptr, nullptr), PAVPI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PAVPI_HandleAbortVfW(nullptr), PAVPI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PAVPI_HandleLockVfWOpen(bogus), PAVPI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PAVPI_HandleUnLockVfWOpen(nullptr), PAVPI_STATUS_BAD_PARAMETER);
    // Open and close.
    PAVPI_HANDLE other = bogus;
    EXPECT_EQ(PAVPI_HandleOpen(0, &other), PAVPI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(PAVPI_HandleOpen(1, nullptr), PAVPI_STATUS_NULL_POINTER);
    EXPECT_EQ(PAVPI_HandleOpen(200, &other), PAVPI_STATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(PAVPI_HandleClose(nullptr), PAVPI_STATUS_NULL_POINTER);
    EXPECT_EQ(PAVPI_HandleClose(&other), PAVPI_STATUS_BAD_PARAMETER);
    std::uint32_t numbers[1], count = 0;
    EXPECT_EQ(PAVPI_CameraEnum(0, 0, numbers, 1, nullptr), PAVPI_STATUS_NULL_POINTER);
    EXPECT_EQ(PAVPI_CameraEnum(0, 0, nullptr, 1, &count), PAVPI_STATUS_NULL_POINTER);
    EXPECT_EQ(PAVPI_CameraNotifyNew(0, 0, nullptr), PAVPI_STATUS_ALLOC_FAILED);
    // Nothing of this reached the driver as a property request.
    EXPECT_TRUE(seenOf(f, IOCTL_VPI_PROPERTY_SET).empty());
    EXPECT_TRUE(seenOf(f, IOCTL_VPI_PROPERTY_GET).empty());
    EXPECT_EQ(PAVPI_HandleClose(&h), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(PAVPI_HandleClose(&bogus), PAVPI_STATUS_BAD_PARAMETER);
}

TEST_F(Pavpi, PropertyRequestsReachTheDriverAsBuiltAndComeBack) {
    FakeDriver& f = addCamera("requests");
    PAVPI_HANDLE h = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(numberOf(f), &h), PAVPI_STATUS_SUCCESS);
    // The removal event is registered at open.
    auto registered = seenOf(f, IOCTL_VPI_NOTIFICATION_SET);
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].bytes.size(), sizeof(PropertyHeader));
    EXPECT_EQ(std::memcmp(registered[0].bytes.data() + 4, &kEventSetCamera, 16), 0);
    EXPECT_EQ(u32At(registered[0].bytes, 20), kEventCameraRemoved);
    EXPECT_NE(registered[0].at24, 0u);
    EXPECT_EQ(f.registeredEvents(), 1u);

    // The banding filter: the device set, identifier 6, one byte 1.
    std::uint8_t banding = 1;
    EXPECT_EQ(PAVPI_PropertySet(h, &kDeviceSet, kBandingFilter, 1, &banding), PAVPI_STATUS_SUCCESS);
    auto set = seenOf(f, IOCTL_VPI_PROPERTY_SET);
    ASSERT_EQ(set.size(), 1u);
    ASSERT_EQ(set[0].bytes.size(), 29u);
    EXPECT_EQ(set[0].bytes[0], kModuleStatusUnanswered);
    EXPECT_EQ(std::memcmp(set[0].bytes.data() + 4, &kPropertySetDevice, 16), 0);
    EXPECT_EQ(u32At(set[0].bytes, 20), kBandingFilter);
    EXPECT_EQ(u32At(set[0].bytes, 24), 1u);
    EXPECT_EQ(set[0].bytes[28], 1);

    // A get sends the caller's bytes too and returns the driver's.
    std::uint8_t value[4] = {9, 8, 7, 6};
    EXPECT_EQ(PAVPI_PropertyGet(h, &kDeviceSet, 0x10, 4, value), PAVPI_STATUS_SUCCESS);
    auto get = seenOf(f, IOCTL_VPI_PROPERTY_GET);
    ASSERT_EQ(get.size(), 1u);
    ASSERT_EQ(get[0].bytes.size(), 32u);
    EXPECT_EQ(get[0].bytes[28], 9);
    EXPECT_EQ(u32At(get[0].bytes, 24), 4u);
    EXPECT_EQ(value[0], 0xA0);
    EXPECT_EQ(value[3], 0xA3);

    EXPECT_EQ(PAVPI_PropertyDefault(h, &kDeviceSet, kBandingFilter), PAVPI_STATUS_SUCCESS);
    auto def = seenOf(f, IOCTL_VPI_PROPERTY_DEFAULT);
    ASSERT_EQ(def.size(), 1u);
    ASSERT_EQ(def[0].bytes.size(), 28u);
    EXPECT_EQ(std::memcmp(def[0].bytes.data() + 4, &kPropertySetDevice, 16), 0);
    EXPECT_EQ(u32At(def[0].bytes, 20), kBandingFilter);

    // The driver's statuses in this family's terms; a failed get leaves the
    // caller's value alone.
    struct Case {
        std::uint8_t module;
        PAVPI_STATUS status;
    };
    for (Case c : {Case{0x01, PAVPI_STATUS_BAD_PARAMETER}, Case{0x04, PAVPI_STATUS_BUFFER_TOO_SMALL},
                   Case{0x05, PAVPI_STATUS_BUFFER_TOO_LARGE}, Case{0x20, PAVPI_STATUS_BAD_GUID},
                   Case{0x21, PAVPI_STATUS_BAD_ID}, Case{0x22, PAVPI_STATUS_IN_USE},
                   Case{0x06, PAVPI_STATUS_INVALID_STATUS}}) {
        f.setPropertyStatus(c.module);
        std::uint8_t v[2] = {0x55, 0x66};
        EXPECT_EQ(PAVPI_PropertyGet(h, &kDeviceSet, 1, 2, v), c.status) << int(c.module);
        EXPECT_EQ(v[0], 0x55);
    }
    f.setPropertyStatus(0);

    // Events of the caller's choosing are registered and cleared by handle.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(PAVPI_NotificationSet(h, &kDeviceSet, 3, event), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(f.registeredEvents(), 2u);
    EXPECT_EQ(PAVPI_NotificationClear(h, event), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(f.registeredEvents(), 1u);
    EXPECT_EQ(PAVPI_HandleAbortVfW(h), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(f.count(IOCTL_VPI_ABORT_VFW), 1u);
    // Closing forgets the removal event in the driver.
    EXPECT_EQ(PAVPI_HandleClose(&h), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(f.registeredEvents(), 0u);
    CloseHandle(event);
}

TEST_F(Pavpi, TheRequestWrapperTellsARefusedRequestFromALostCamera) {
    FakeDriver& f = addCamera("wrapper");
    HANDLE channel = openChannel(f.interfacePath());
    ASSERT_NE(channel, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> b(sizeof(PropertyHeader), 0);
    EXPECT_EQ(pavu::sendRequest(channel, IOCTL_VPI_DEVICE_ID, b.data(), 28), 0u);
    EXPECT_EQ(u32At(b, 4), 0xF1A5u);
    // A code the driver does not know: refused, and the channel stays usable.
    EXPECT_EQ(pavu::sendRequest(channel, 0x220FFC, b.data(), 28), pavu::kResultShortReply);
    EXPECT_EQ(b[0], kModuleStatusUnanswered);
    EXPECT_EQ(pavu::sendRequest(channel, IOCTL_VPI_DEVICE_ID, b.data(), 28), 0u);
    CloseHandle(channel);
    // A closed channel never reaches the driver.
    std::size_t asked = f.count(IOCTL_VPI_DEVICE_ID);
    EXPECT_EQ(pavu::sendRequest(INVALID_HANDLE_VALUE, IOCTL_VPI_DEVICE_ID, b.data(), 28),
              pavu::kResultRemoved);
    EXPECT_EQ(pavu::sendRequest(channel, IOCTL_VPI_DEVICE_ID, b.data(), 28), pavu::kResultRemoved);
    EXPECT_EQ(f.count(IOCTL_VPI_DEVICE_ID), asked);
}

TEST_F(Pavpi, TheRemovalEventClosesTheHandlesChannel) {
    FakeDriver& f = addCamera("removal");
    PAVPI_HANDLE h = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(numberOf(f), &h), PAVPI_STATUS_SUCCESS);
    std::uint8_t v = 0;
    EXPECT_EQ(PAVPI_PropertyGet(h, &kDeviceSet, 1, 1, &v), PAVPI_STATUS_SUCCESS);
    f.signalEvents();
    // The driver still answers, but the handle no longer asks it.
    EXPECT_TRUE(waitFor([&] {
        return PAVPI_PropertyGet(h, &kDeviceSet, 1, 1, &v) == PAVPI_STATUS_CAMERA_REMOVED;
    }));
    std::size_t asked = f.count(IOCTL_VPI_PROPERTY_GET);
    EXPECT_EQ(PAVPI_PropertyGet(h, &kDeviceSet, 1, 1, &v), PAVPI_STATUS_CAMERA_REMOVED);
    EXPECT_EQ(PAVPI_PropertySet(h, &kDeviceSet, 1, 1, &v), PAVPI_STATUS_CAMERA_REMOVED);
    EXPECT_EQ(f.count(IOCTL_VPI_PROPERTY_GET), asked);
    EXPECT_EQ(f.count(IOCTL_VPI_PROPERTY_SET), 0u);
    EXPECT_EQ(PAVPI_HandleClose(&h), PAVPI_STATUS_SUCCESS);
}

TEST_F(Pavpi, EnumerationCountsEveryMatchAndStoresWhatFits) {
    FakeDriver& a = addCamera("enum-a");
    FakeDriver& b = addCamera("enum-b");
    FakeDriver& c = addCamera("enum-c");
    FakeDriver& odd = addCamera("enum-odd");
    odd.setDeviceIds(0x1234, 0x5678);
    std::uint32_t numbers[8] = {};
    std::uint32_t count = 99;
    ASSERT_EQ(PAVPI_CameraEnum(0xF1A5, 0x0B2D, numbers, 1, &count), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(numbers[0], numberOf(a));
    EXPECT_EQ(numbers[1], 0u);
    ASSERT_EQ(PAVPI_CameraEnum(0xF1A5, 0x0B2D, numbers, 8, &count), PAVPI_STATUS_SUCCESS);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(numbers[1], numberOf(b));
    EXPECT_EQ(numbers[2], numberOf(c));
    ASSERT_EQ(PAVPI_CameraEnum(0x1234, 0x5678, numbers, 8, &count), PAVPI_STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(numbers[0], numberOf(odd));
    ASSERT_EQ(PAVPI_CameraEnum(0, 0, numbers, 8, &count), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(count, 4u);
    ASSERT_EQ(PAVPI_CameraEnum(0xF1A5, 0, numbers, 8, &count), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
}

TEST_F(Pavpi, TheVideoCaptureLockHasOneHolderAndOnlyItsCameraUnlocks) {
    FakeDriver& a = addCamera("lock-a");
    FakeDriver& b = addCamera("lock-b");
    PAVPI_HANDLE ha = nullptr, hb = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(numberOf(a), &ha), PAVPI_STATUS_SUCCESS);
    ASSERT_EQ(PAVPI_HandleOpen(numberOf(b), &hb), PAVPI_STATUS_SUCCESS);
    ASSERT_EQ(PAVPI_HandleLockVfWOpen(ha), PAVPI_STATUS_SUCCESS);
    pavu::VfwLockRecord* r = pavu::lockRecord();
    EXPECT_EQ(r->camera, numberOf(a));
    EXPECT_EQ(r->processId, GetCurrentProcessId());
    EXPECT_EQ(r->vendorId, 0xF1A5u);
    EXPECT_EQ(r->productId, 0x0B2Du);
    // The heartbeat keeps the record fresh.
    DWORD beat = loaded(r->heartbeat);
    EXPECT_TRUE(waitFor([&] { return loaded(r->heartbeat) != beat; }));
    EXPECT_EQ(PAVPI_HandleLockVfWOpen(hb), PAVPI_STATUS_IN_USE);
    EXPECT_EQ(PAVPI_HandleUnLockVfWOpen(hb), PAVPI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(r->camera, numberOf(a));
    EXPECT_EQ(PAVPI_HandleUnLockVfWOpen(ha), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(r->camera, 0u);
    EXPECT_EQ(r->vendorId, 0xF1A5u);  // the ids stay
    EXPECT_EQ(PAVPI_HandleUnLockVfWOpen(ha), PAVPI_STATUS_BAD_PARAMETER);
    // Closing the holder's handle lets the lock go.
    ASSERT_EQ(PAVPI_HandleLockVfWOpen(hb), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(PAVPI_HandleLockVfWOpen(ha), PAVPI_STATUS_IN_USE);
    EXPECT_EQ(PAVPI_HandleClose(&hb), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(r->camera, 0u);
    EXPECT_EQ(PAVPI_HandleLockVfWOpen(ha), PAVPI_STATUS_SUCCESS);
    // Unloading the library releases a lock the process still holds.
    pavu::processDetach();
    EXPECT_EQ(r->camera, 0u);
    pavu::processAttach();
}

TEST_F(Pavpi, AStaleRecordIsTakenOverAfterASecond) {
    FakeDriver& a = addCamera("stale");
    PAVPI_HANDLE h = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(numberOf(a), &h), PAVPI_STATUS_SUCCESS);
    // A holder in another process that stopped beating.
    pavu::VfwLockRecord* r = pavu::lockRecord();
    *r = pavu::VfwLockRecord{7, 0x7FFFFFF0, 1, GetTickCount(), 1, 2};
    EXPECT_EQ(PAVPI_HandleLockVfWOpen(h), PAVPI_STATUS_IN_USE);
    DWORD stamped = r->heartbeat;
    EXPECT_TRUE(waitFor([&] { return PAVPI_HandleLockVfWOpen(h) == PAVPI_STATUS_SUCCESS; }));
    EXPECT_GT(GetTickCount() - stamped, 1000u);
    EXPECT_EQ(r->camera, numberOf(a));
    EXPECT_EQ(PAVPI_HandleClose(&h), PAVPI_STATUS_SUCCESS);
}

TEST_F(Pavpi, NewCameraAndWokeSystemNotificationsFollowTheRegistry) {
    addCamera("notify-a");
    HANDLE added = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE woke = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(PAVPI_CameraNotifyNew(0xF1A5, 0x0B2D, added), PAVPI_STATUS_SUCCESS);
    ASSERT_EQ(PAVPI_CameraNotifyWokeSystem(woke), PAVPI_STATUS_SUCCESS);
    // The caller may close its handle: the watch keeps a duplicate.
    HANDLE mine = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), added, GetCurrentProcess(), &mine, 0, FALSE, 2));
    CloseHandle(added);

    pavu::RegistryKey change;
    ASSERT_TRUE(change.open(HKEY_LOCAL_MACHINE, "Software\\Veltra\\USB Camera (PAV512)\\CameraChange",
                            true, false));
    // A camera leaving does not count as a new one. (Its device stays, so
    // that a count under way still finds what it opened.)
    fakes_.back()->disableInterface();
    change.writeNumber("CameraChange", 1);
    unsigned rounds = pavu::watchRounds();
    EXPECT_TRUE(waitFor([&] { return pavu::watchRounds() >= rounds + 4; }, std::chrono::seconds(20)));
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(woke, 0), WAIT_TIMEOUT);

    // Two cameras where there were none now: signalled after the recheck.
    addCamera("notify-b");
    addCamera("notify-c");
    change.writeNumber("CameraChange", 2);
    EXPECT_EQ(WaitForSingleObject(mine, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(woke, 0), WAIT_TIMEOUT);

    pavu::RegistryKey product;
    ASSERT_TRUE(product.open(HKEY_LOCAL_MACHINE, pavu::kProductKey, true, false));
    product.writeNumber("CameraWokeSystem", 1);
    EXPECT_EQ(WaitForSingleObject(woke, 10000), WAIT_OBJECT_0);
    CloseHandle(mine);
    CloseHandle(woke);
}

TEST_F(Pavpi, UnpluggingTheCameraMakesTheHandlesRequestsAnswerRemoved) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("unplugged"));
    refreshNow();
    std::vector<std::string> present = listInterfaces();
    ASSERT_EQ(present.size(), 1u);
    DWORD number = pavu::numberForPath(present[0].c_str());
    ASSERT_EQ(number, 0u);  // registered
    std::uint32_t n = 0;
    for (DWORD i = 1; i <= 16 && !n; ++i) {
        char path[pavu::kPathRoom];
        if (pavu::pathOfCameraNumber(i, path, sizeof path) && present[0] == path) n = i;
    }
    ASSERT_NE(n, 0u);
    PAVPI_HANDLE h = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(n, &h), PAVPI_STATUS_SUCCESS);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The driver answers the notification codes.
    EXPECT_EQ(PAVPI_NotificationSet(h, &kDeviceSet, 1, event), PAVPI_STATUS_SUCCESS);
    cameras.unplug("unplugged");
    std::uint8_t v = 0;
    EXPECT_EQ(PAVPI_PropertyGet(h, &kDeviceSet, kBandingFilter, 1, &v), PAVPI_STATUS_CAMERA_REMOVED);
    EXPECT_EQ(PAVPI_NotificationClear(h, event), PAVPI_STATUS_CAMERA_REMOVED);
    EXPECT_EQ(PAVPI_HandleClose(&h), PAVPI_STATUS_SUCCESS);
    CloseHandle(event);
}

}  // namespace
}  // namespace pavtest

namespace pavtest {
namespace {

// The same over the real driver and simulated cameras: enumeration by the
// cameras' own identifiers, and a new camera noticed from the driver's
// "CameraChange" counter.
TEST_F(Pavpi, EnumerationAndTheNewCameraEventFollowTheRealDriver) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("enum-one"));
    ASSERT_TRUE(cameras.plug("enum-two"));
    // Within a second of another refresh the new paths would not be known yet.
    refreshNow();
    std::uint32_t numbers[4] = {};
    std::uint32_t count = 0;
    ASSERT_EQ(PAVPI_CameraEnum(0xF1A5, 0x0B2D, numbers, 1, &count), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_NE(numbers[0], 0u);
    EXPECT_EQ(numbers[1], 0u);

    HANDLE added = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(PAVPI_CameraNotifyNew(0xF1A5, 0x0B2D, added), PAVPI_STATUS_SUCCESS);
    // Unplugging changes the counter too, but is no new camera.
    unsigned rounds = pavu::watchRounds();
    cameras.unplug("enum-two");
    EXPECT_TRUE(waitFor([&] { return pavu::watchRounds() >= rounds + 3; }, std::chrono::seconds(20)));
    EXPECT_EQ(WaitForSingleObject(added, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(cameras.plug("enum-three"));
    EXPECT_EQ(WaitForSingleObject(added, 10000), WAIT_OBJECT_0);
    CloseHandle(added);
}

}  // namespace
}  // namespace pavtest

namespace pavtest {
namespace {

// A property set from the library reaches the camera's registers through the
// driver's property path, and the default puts back what the driver starts with.
TEST_F(Pavpi, TheBandingFilterSetReachesTheCameraAndTheDefaultRestoresIt) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("banding"));
    refreshNow();
    std::vector<std::string> present = listInterfaces();
    ASSERT_EQ(present.size(), 1u);
    std::uint32_t n = 0;
    for (DWORD i = 1; i <= 256 && !n; ++i) {
        char path[pavu::kPathRoom];
        if (pavu::pathOfCameraNumber(i, path, sizeof path) && present[0] == path) n = i;
    }
    ASSERT_NE(n, 0u);
    sim::SimCamera* camera = cameras.camera("banding");
    ASSERT_NE(camera, nullptr);
    PAVPI_HANDLE h = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(n, &h), PAVPI_STATUS_SUCCESS);
    // The flicker setting register of each mains frequency.
    auto flicker = [](std::uint8_t on50Hz) { return on50Hz ? 100 : 120; };

    ASSERT_EQ(PAVPI_PropertyDefault(h, &kDeviceSet, kBandingFilter), PAVPI_STATUS_SUCCESS);
    std::uint8_t initial = 0xEE;
    ASSERT_EQ(PAVPI_PropertyGet(h, &kDeviceSet, kBandingFilter, 1, &initial), PAVPI_STATUS_SUCCESS);
    ASSERT_LE(initial, 1u);
    EXPECT_EQ(camera->registerValue(2, 0x26), flicker(initial));

    std::uint8_t other = initial ? 0 : 1;
    EXPECT_EQ(PAVPI_PropertySet(h, &kDeviceSet, kBandingFilter, 1, &other), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(camera->registerValue(2, 0x26), flicker(other));
    std::uint8_t read = 0xEE;
    EXPECT_EQ(PAVPI_PropertyGet(h, &kDeviceSet, kBandingFilter, 1, &read), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(read, other);

    EXPECT_EQ(PAVPI_PropertyDefault(h, &kDeviceSet, kBandingFilter), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(camera->registerValue(2, 0x26), flicker(initial));
    read = 0xEE;
    EXPECT_EQ(PAVPI_PropertyGet(h, &kDeviceSet, kBandingFilter, 1, &read), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(read, initial);
    EXPECT_EQ(PAVPI_HandleClose(&h), PAVPI_STATUS_SUCCESS);
}

}  // namespace
}  // namespace pavtest

namespace pavtest {
namespace {

// With no host serving the runtime directory, the library finds no camera and
// says so at once, instead of hanging or reporting a broken handle.
TEST_F(Pavpi, WithNoHostAnsweringNoCameraIsFound) {
    const std::string dir = privateDir() + "/no-host";
    std::filesystem::create_directories(dir);
    const char* before = std::getenv("PAV512_RUNTIME_DIR");
    const std::string saved = before ? before : "";
    ::setenv("PAV512_RUNTIME_DIR", dir.c_str(), 1);
    uchannel::setTransport(uchannel::makeSocketTransport(uruntime::socketPathIn(dir)));
    pavu::refreshDeviceRegistry();

    PAVPI_HANDLE h = nullptr;
    EXPECT_EQ(PAVPI_HandleOpen(1, &h), PAVPI_STATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    std::uint32_t numbers[2] = {9, 9};
    std::uint32_t count = 7;
    EXPECT_EQ(PAVPI_CameraEnum(0xF1A5, 0x0B2D, numbers, 2, &count), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);

    uchannel::setTransport(host::makeInProcessTransport());
    if (before)
        ::setenv("PAV512_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("PAV512_RUNTIME_DIR");
}

}  // namespace
}  // namespace pavtest
