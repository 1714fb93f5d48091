// The diagnostic interface over the real driver and simulated cameras: the
// driver's version through the first camera, flag blocks numbered past the
// library's own, raw channels and what each operation does with an invalid
// one, vendor requests, a bulk transfer and interface selection reaching the
// camera, enumeration and the camera-number registry; and the error-bit
// recorder in the registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "library/device/device_registry.h"
#include "library/device/library.h"
#include "library/device/pavdebug_internal.h"
#include "library/device/registry_key.h"
#include "pav512/buffers.h"
#include "pav512u/pavdebug.h"
#include "sim/object_store.h"
#include "sim/sim_camera.h"
#include "tests/channels/channel_client.h"
#include "tests/channels/fake_driver.h"
#include "tests/library/cameras.h"
#include "tests/library_cti/recording_transport.h"
#include "tests/support/kernel_test.h"

namespace pavtest {
namespace {

using namespace pav512;
using Bytes = std::vector<std::uint8_t>;

class Diagnostics : public ::testing::Test {
  protected:
    void SetUp() override { pavu::processAttach(); }
    void TearDown() override {
        cameras_.reset();
        pavu::processDetach();
    }
    // Cameras plugged in by name, numbered, and the requests noted from here on.
    void plug(const std::vector<std::string>& names) {
        cameras_ = std::make_unique<SimulatedCameras>();
        for (const std::string& n : names) ASSERT_TRUE(cameras_->plug(n));
        unsigned before = pavu::refreshCount();
        ASSERT_TRUE(waitFor([&] {
            pavu::refreshDeviceRegistry();
            return pavu::refreshCount() > before;
        }));
        recorder_ = recordInProcess();
    }
    std::uint32_t numberOf(const std::string& path) {
        for (DWORD n = 1; n <= 16; ++n) {
            char registered[pavu::kPathRoom];
            if (pavu::pathOfCameraNumber(n, registered, sizeof registered) && path == registered)
                return n;
        }
        return 0;
    }
    std::unique_ptr<SimulatedCameras> cameras_;
    std::shared_ptr<RecordingTransport> recorder_;
};

TEST(DiagnosticTexts, ANameNeedsItsTerminatorsRoom) {
    char text[40];
    std::memset(text, 'x', sizeof text);
    const std::string name = "PAVDEBUG_STATUS_RELEASE_DRIVER";
    EXPECT_EQ(PAVDebug_GetStatusText(PAVDEBUG_STATUS_RELEASE_DRIVER, text,
                                     static_cast<uint32_t>(name.size())),
              PAVDEBUG_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(text[0], 'x') << "a buffer too small is left as it was";
    EXPECT_EQ(PAVDebug_GetStatusText(PAVDEBUG_STATUS_RELEASE_DRIVER, text,
                                     static_cast<uint32_t>(name.size() + 1)),
              PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(std::string(text), name);
    EXPECT_EQ(PAVDebug_GetStatusText(0x3003, text, sizeof text), PAVDEBUG_STATUS_UNKNOWN_CODE);
    EXPECT_EQ(PAVDebug_GetStatusText(PAVDEBUG_STATUS_UNKNOWN_FLAG_BLOCK, text, sizeof text),
              PAVDEBUG_STATUS_SUCCESS);
    EXPECT_STREQ(text, "PAVDEBUG_STATUS_UNKNOWN_FLAG_BLOCK");
    EXPECT_EQ(PAVDebug_GetStatusText(0, nullptr, 40), PAVDEBUG_STATUS_BAD_PARAMETER);
}

TEST_F(Diagnostics, TheVersionChecksTheDriverFirstAndThenWantsFourteenBytes) {
    plug({"version"});
    std::uint16_t version = 0;
    std::uint32_t build = 99;
    char text[20];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(PAVDebug_GetVersion(&version, &build, text, 13), PAVDEBUG_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(recorder_->count(IOCTL_DEBUG_VERSION), 1u);
    EXPECT_EQ(text[0], 'x');
    ASSERT_EQ(PAVDebug_GetVersion(&version, &build, text, 14), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(version, 0x0203);
    EXPECT_EQ(build, 0u);
    EXPECT_STREQ(text, "2-03 build 05");
    EXPECT_EQ(PAVDebug_GetVersion(nullptr, nullptr, nullptr, 0), PAVDEBUG_STATUS_SUCCESS);
    auto sent = recorder_->seen(IOCTL_DEBUG_VERSION);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].input.size(), 20u);
    EXPECT_EQ(u32At(sent[0].input, 4), 20u);
}

TEST_F(Diagnostics, WithoutACameraThereIsNoDriverToAsk) {
    plug({});
    std::uint16_t version = 0;
    EXPECT_EQ(PAVDebug_GetVersion(&version, nullptr, nullptr, 0), PAVDEBUG_STATUS_DRIVER_NOT_FOUND);
    EXPECT_EQ(PAVDebug_SetFlagInfo(5, 0, 1), PAVDEBUG_STATUS_DRIVER_NOT_FOUND);
    std::uint8_t descriptor[PAVDEBUG_DESCRIPTOR_LENGTH];
    EXPECT_EQ(PAVDebug_GetPropertyDescriptor(PAVDEBUG_INVALID_CHANNEL, 0, descriptor),
              PAVDEBUG_STATUS_DRIVER_NOT_FOUND);
    std::uint32_t numbers[2] = {}, count = 9;
    EXPECT_EQ(PAVDebug_EnumDevices(numbers, 2, &count), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
}

TEST_F(Diagnostics, FlagBlocksFromFiveAreTheDriversFromZero) {
    plug({"flags"});
    char name[16] = "old";
    // Blocks up to 4 are the library's own: refused before any request.
    EXPECT_EQ(PAVDebug_GetFlagName(4, 1, name, sizeof name), PAVDEBUG_STATUS_RELEASE_DRIVER);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(PAVDebug_GetFlagBlockName(0, name, sizeof name), PAVDEBUG_STATUS_RELEASE_DRIVER);
    EXPECT_EQ(PAVDebug_GetFlagInfo(3, 0, nullptr), PAVDEBUG_STATUS_RELEASE_DRIVER);
    EXPECT_EQ(PAVDebug_SetFlagInfo(4, 0, 0), PAVDEBUG_STATUS_RELEASE_DRIVER);
    EXPECT_EQ(recorder_->count(IOCTL_DEBUG_FLAG_NAME) + recorder_->count(IOCTL_DEBUG_FLAG_BLOCK_NAME) +
                  recorder_->count(IOCTL_DEBUG_SET_FLAG),
              0u);

    // Block 5 is the driver's block 0; this driver keeps no flags.
    EXPECT_EQ(PAVDebug_GetFlagName(5, 7, name, sizeof name), PAVDEBUG_STATUS_RELEASE_DRIVER);
    auto names = recorder_->seen(IOCTL_DEBUG_FLAG_NAME);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(u32At(names[0].input, 8), 0u);
    EXPECT_EQ(u32At(names[0].input, 12), 7u);
    EXPECT_EQ(names[0].input.size(), 20u + sizeof name);
    // Without a name buffer there is nothing to ask.
    EXPECT_EQ(PAVDebug_GetFlagName(5, 7, nullptr, 0), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(recorder_->count(IOCTL_DEBUG_FLAG_NAME), 1u);
    EXPECT_EQ(PAVDebug_GetFlagBlockName(5, nullptr, 8), PAVDEBUG_STATUS_BAD_PARAMETER);

    EXPECT_EQ(PAVDebug_GetFlagBlockName(7, name, sizeof name), PAVDEBUG_STATUS_RELEASE_DRIVER);
    EXPECT_EQ(u32At(recorder_->seen(IOCTL_DEBUG_FLAG_BLOCK_NAME).at(0).input, 8), 2u);
    EXPECT_EQ(PAVDebug_SetFlagInfo(6, 3, 0x1234), PAVDEBUG_STATUS_RELEASE_DRIVER);
    auto set = recorder_->seen(IOCTL_DEBUG_SET_FLAG);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(u32At(set[0].input, 8), 1u);
    EXPECT_EQ(u32At(set[0].input, 12), 3u);
    EXPECT_EQ(u32At(set[0].input, 16), 0x1234u);
    // The value is read only after the flag's name request succeeded.
    std::uint32_t value = 0xAB;
    EXPECT_EQ(PAVDebug_GetFlagInfo(5, 0, &value), PAVDEBUG_STATUS_RELEASE_DRIVER);
    EXPECT_EQ(recorder_->count(IOCTL_DEBUG_GET_FLAG), 0u);
    EXPECT_EQ(value, 0xABu);
}

TEST_F(Diagnostics, ChannelsOpenByNumberAndOnlyChannelsClose) {
    plug({"channel"});
    auto present = listInterfaces();
    ASSERT_EQ(present.size(), 1u);
    const std::uint32_t n = numberOf(present[0]);
    ASSERT_NE(n, 0u);
    PAVDEBUG_CHANNEL c = nullptr;
    EXPECT_EQ(PAVDebug_OpenDevice(0, &c), PAVDEBUG_STATUS_BAD_PARAMETER);
    EXPECT_EQ(c, PAVDEBUG_INVALID_CHANNEL);
    EXPECT_EQ(PAVDebug_OpenDevice(256, &c), PAVDEBUG_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PAVDebug_OpenDevice(n + 1, &c), PAVDEBUG_STATUS_DEVICE_NOT_FOUND);
    EXPECT_EQ(PAVDebug_OpenDevice(n, nullptr), PAVDEBUG_STATUS_BAD_PARAMETER);
    ASSERT_EQ(PAVDebug_OpenDevice(n, &c), PAVDEBUG_STATUS_SUCCESS);
    std::uint32_t vendor = 0, product = 0;
    ASSERT_EQ(PAVDebug_DeviceIDGet(c, &vendor, &product), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(vendor, 0xF1A5u);
    EXPECT_EQ(product, 0x0B2Du);
    EXPECT_EQ(PAVDebug_DeviceIDGet(c, nullptr, &product), PAVDEBUG_STATUS_BAD_PARAMETER);

    // The driver has no descriptors to give, on the caller's channel or on
    // one opened for the request.
    std::uint8_t descriptor[PAVDEBUG_DESCRIPTOR_LENGTH];
    EXPECT_EQ(PAVDebug_GetPropertyDescriptor(c, 0, descriptor), PAVDEBUG_STATUS_OPERATION_FAILED);
    EXPECT_EQ(PAVDebug_GetNotificationDescriptor(PAVDEBUG_INVALID_CHANNEL, 2, descriptor),
              PAVDEBUG_STATUS_OPERATION_FAILED);
    EXPECT_EQ(PAVDebug_GetPropertyInformation(PAVDEBUG_INVALID_CHANNEL, 1, descriptor, 8),
              PAVDEBUG_STATUS_OPERATION_FAILED);
    EXPECT_EQ(PAVDebug_GetPropertyDescriptor(c, 0, nullptr), PAVDEBUG_STATUS_BAD_PARAMETER);
    auto notifications = recorder_->seen(IOCTL_DEBUG_NOTIFICATION_DESCRIPTOR);
    ASSERT_EQ(notifications.size(), 1u);
    EXPECT_EQ(notifications[0].input.size(), 20u + 68);
    EXPECT_EQ(u32At(notifications[0].input, 8), 2u);
    EXPECT_EQ(recorder_->seen(IOCTL_DEBUG_PROPERTY_INFORMATION).at(0).input.size(), 28u);

    // The raw operations want a channel.
    std::uint8_t b[4] = {};
    EXPECT_EQ(PAVDebug_DeviceIDGet(PAVDEBUG_INVALID_CHANNEL, &vendor, &product),
              PAVDEBUG_STATUS_INVALID_HANDLE);
    EXPECT_EQ(PAVDebug_USB_Set_Interface(PAVDEBUG_INVALID_CHANNEL, 0, 1), PAVDEBUG_STATUS_INVALID_HANDLE);
    EXPECT_EQ(PAVDebug_USB_Command(PAVDEBUG_INVALID_CHANNEL, 1, 0x84, 0, b, 4),
              PAVDEBUG_STATUS_INVALID_HANDLE);
    EXPECT_EQ(PAVDebug_Command(nullptr, 1, 0x84, 0, b, 4), PAVDEBUG_STATUS_INVALID_HANDLE);
    EXPECT_EQ(PAVDebug_USB_Transfer(PAVDEBUG_INVALID_CHANNEL, 0x82, b, 4, 100),
              PAVDEBUG_STATUS_INVALID_HANDLE);

    // Something that is not a channel is not closed.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PAVDEBUG_CHANNEL notChannel = event;
    EXPECT_EQ(PAVDebug_CloseDevice(&notChannel), PAVDEBUG_STATUS_INVALID_HANDLE);
    EXPECT_TRUE(SetEvent(event));
    CloseHandle(event);
    ASSERT_EQ(PAVDebug_CloseDevice(&c), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(c, PAVDEBUG_INVALID_CHANNEL);
    EXPECT_EQ(PAVDebug_CloseDevice(&c), PAVDEBUG_STATUS_INVALID_HANDLE);
    EXPECT_EQ(PAVDebug_CloseDevice(nullptr), PAVDEBUG_STATUS_BAD_PARAMETER);
}

TEST_F(Diagnostics, VendorRequestsABulkTransferAndTheSettingReachTheCamera) {
    plug({"raw"});
    sim::SimCamera* camera = cameras_->camera("raw");
    PAVDEBUG_CHANNEL c = PAVDEBUG_INVALID_CHANNEL;
    ASSERT_EQ(PAVDebug_OpenDevice(numberOf(listInterfaces().at(0)), &c), PAVDEBUG_STATUS_SUCCESS);

    // The information block, read with request 0x84.
    auto info = camera->informationBlock();
    Bytes read(info.size(), 0);
    ASSERT_EQ(PAVDebug_USB_Command(c, 1, 0x84, 0, read.data(), static_cast<uint16_t>(read.size())),
              PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(read, Bytes(info.begin(), info.end()));
    auto sent = recorder_->seen(IOCTL_DEBUG_USB_COMMAND);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(u32At(sent[0].input, 4), 20u + info.size());
    EXPECT_EQ(u32At(sent[0].input, 8), 1u);
    EXPECT_EQ(sent[0].input[12], 0x84);
    EXPECT_EQ(sent[0].input[16], info.size());
    // A register written with request 0x01 (register 0x40 of space 3).
    std::uint8_t value = 0x77;
    ASSERT_EQ(PAVDebug_Command(c, 0, 0x01, 0x4003, &value, 1), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(camera->registerValue(3, 0x40), 0x77);
    EXPECT_EQ(PAVDebug_USB_Command(c, 1, 0x84, 0, nullptr, 4), PAVDEBUG_STATUS_BAD_PARAMETER);

    // The bulk pipes live in setting 1; the object table comes over bulk-in
    // after request 0x85.
    ASSERT_EQ(PAVDebug_USB_Set_Interface(c, 0, 1), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(camera->alternateSetting(), 1);
    Bytes table;
    camera->withStore([&](sim::ObjectStore& s) { table = s.memory(0).objectTable(); });
    ASSERT_GT(table.size(), 0u);
    ASSERT_EQ(PAVDebug_USB_Command(c, 0, 0x85, 0, nullptr, 0), PAVDEBUG_STATUS_SUCCESS);
    Bytes bulk(table.size(), 0);
    ASSERT_EQ(PAVDebug_USB_Transfer(c, 0x82, bulk.data(), static_cast<uint32_t>(bulk.size()), 5000),
              PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(bulk, table);
    auto transfer = recorder_->seen(IOCTL_DEBUG_USB_TRANSFER).at(0).input;
    EXPECT_EQ(transfer[8], 0x82);
    EXPECT_EQ(u32At(transfer, 12), table.size());
    EXPECT_EQ(u32At(transfer, 16), 5000u);
    ASSERT_EQ(PAVDebug_USB_Set_Interface(c, 0, 0), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(camera->alternateSetting(), 0);

    // Once the camera is gone the channel says so.
    cameras_->unplug("raw");
    std::uint32_t vendor = 0, product = 0;
    EXPECT_EQ(PAVDebug_DeviceIDGet(c, &vendor, &product), PAVDEBUG_STATUS_DEVICE_REMOVED);
    EXPECT_EQ(PAVDebug_CloseDevice(&c), PAVDEBUG_STATUS_SUCCESS);
}

TEST_F(Diagnostics, EnumerationCountsPastTheCapacityAndTheRegistryAnswersByNumberAndPath) {
    plug({"enum-a", "enum-b"});
    auto present = listInterfaces();
    ASSERT_EQ(present.size(), 2u);
    std::uint32_t numbers[2] = {0, 0}, count = 0;
    EXPECT_EQ(PAVDebug_EnumDevices(nullptr, 0, &count), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(PAVDebug_EnumDevices(numbers, 1, &count), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_NE(numbers[0], 0u);
    EXPECT_EQ(numbers[1], 0u);
    EXPECT_EQ(PAVDebug_EnumDevices(numbers, 2, nullptr), PAVDEBUG_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PAVDebug_EnumDevices(nullptr, 2, &count), PAVDEBUG_STATUS_BAD_PARAMETER);

    const std::uint32_t n = numberOf(present[1]);
    char path[PAVDEBUG_PATH_LENGTH];
    EXPECT_EQ(PAVDebug_GetConnectionString(n, path, PAVDEBUG_PATH_LENGTH - 1),
              PAVDEBUG_STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(PAVDebug_GetConnectionString(n, path, sizeof path), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(std::string(path), present[1]);
    EXPECT_EQ(PAVDebug_GetConnectionString(9, path, sizeof path), PAVDEBUG_STATUS_OPERATION_FAILED);

    std::uint32_t id = 99;
    EXPECT_EQ(PAVDebug_GetConnectionID(&id, present[0].c_str()), PAVDEBUG_STATUS_OPERATION_FAILED);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(PAVDebug_GetConnectionID(&id, "\\\\?\\not-yet-seen"), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(id, 3u);
    EXPECT_EQ(PAVDebug_GetConnectionID(nullptr, "x"), PAVDEBUG_STATUS_BAD_PARAMETER);
}

// A driver that keeps flags (the stand-in answers every flag request): the
// value comes from a second request that carries what the name request
// returned, and only when the caller wants it.
TEST_F(Diagnostics, AFlagsValueIsAskedForWithWhatItsNameRequestReturned) {
    plug({});
    auto fake = FakeDriver::create("USB\\VID_F1A5&PID_0B2D\\flags");
    ASSERT_NE(fake, nullptr);
    unsigned before = pavu::refreshCount();
    ASSERT_TRUE(waitFor([&] {
        pavu::refreshDeviceRegistry();
        return pavu::refreshCount() > before;
    }));
    EXPECT_EQ(PAVDebug_GetFlagInfo(8, 2, nullptr), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(fake->count(IOCTL_DEBUG_FLAG_NAME), 1u);
    EXPECT_EQ(fake->count(IOCTL_DEBUG_GET_FLAG), 0u);
    std::uint32_t value = 0xAB;
    EXPECT_EQ(PAVDebug_GetFlagInfo(8, 2, &value), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    std::vector<FakeDriver::Seen> asked;
    for (const auto& s : fake->seen())
        if (s.code == IOCTL_DEBUG_GET_FLAG) asked.push_back(s);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(u32At(asked[0].bytes, 8), 3u);
    EXPECT_EQ(u32At(asked[0].bytes, 12), 2u);
    // The driver's version word is what the version check reads.
    std::uint16_t version = 0;
    EXPECT_EQ(PAVDebug_GetVersion(&version, nullptr, nullptr, 0), PAVDEBUG_STATUS_SUCCESS);
    EXPECT_EQ(version, 0x0203);
}

// The recorder keeps every bit it was given, from earlier processes too.
TEST_F(Diagnostics, ErrorBitsAccumulateInTheRegistry) {
    auto stored = [] {
        pavu::RegistryKey key;
        DWORD value = 0;
        EXPECT_TRUE(key.open(HKEY_LOCAL_MACHINE, pavu::kProductKey, false, true));
        EXPECT_TRUE(key.readNumber(pavu::kUserModeErrorValue, &value));
        return value;
    };
    pavu::recordUserModeError(pavu::kErrorDecodeIntoBufferA);
    EXPECT_EQ(stored(), 0x10u);
    pavu::recordUserModeError(pavu::kErrorImagingLibraryNotLoaded);
    EXPECT_EQ(stored(), 0x11u);
    pavu::recordUserModeError(pavu::kErrorDecodeIntoBufferA);
    EXPECT_EQ(stored(), 0x11u);

    // What a later load finds is where it goes on from.
    {
        pavu::RegistryKey key;
        ASSERT_TRUE(key.open(HKEY_LOCAL_MACHINE, pavu::kProductKey, false, false));
        ASSERT_TRUE(key.writeNumber(pavu::kUserModeErrorValue, 0x40));
    }
    pavu::processDetach();
    pavu::processAttach();
    EXPECT_EQ(pavu::userModeErrors(), 0x40u);
    pavu::recordUserModeError(pavu::kErrorDecodeIntoBufferB);
    EXPECT_EQ(stored(), 0x60u);
}

}  // namespace
}  // namespace pavtest
