// What reached the camera, request by request, and what a request the
// camera refuses does to a property: the set fails with the camera's status
// and the stored value stays as it was.
#include <gtest/gtest.h>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/properties/prop_test_util.h"

using namespace proptest;

namespace {

const GUID& kPicture = pav512::kPropertySetPicture;
const GUID& kDevice = pav512::kPropertySetDevice;
const GUID& kSensor = pav512::kPropertySetSensor;
const GUID& kRegisters = pav512::kPropertySetD58F;
const NTSTATUS kStalled = static_cast<NTSTATUS>(USBD_STATUS_STALL_PID);
using Writes = std::vector<sim::RegisterWrite>;

std::uint16_t registerValue(int space, int reg) {
    return static_cast<std::uint16_t>((reg << 8) | space);
}

class CameraRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Scenario s =
            scenarioFor(::testing::UnitTest::GetInstance()->current_test_info()->name());
        s.powerOnRegisters = {{2, 0x15, 0x83}, {2, 0x25, 0x15}};
        h_ = std::make_unique<pavtest::CameraHarness>(options(s));
        ASSERT_TRUE(h_->started()) << h_->arrivalText();
        p_ = std::make_unique<Properties>(*h_);
    }
    void TearDown() override {
        p_.reset();
        h_.reset();
    }
    // The camera refuses its next `count` requests of this kind.
    void refuse(int request, int value, int count = 1) {
        h_->camera().changeFaults([&](sim::Faults& f) {
            f.failedRequests.push_back({request, value, -1, count});
        });
    }
    DeviceContext* device() { return h_->device(); }
    std::unique_ptr<pavtest::CameraHarness> h_;
    std::unique_ptr<Properties> p_;
};

TEST_F(CameraRequests, TheBandingFilterAndARegisterTransferGoOutAsTheseRequests) {
    h_->camera().clearRequestLog();
    ASSERT_TRUE(p_->set(kDevice, 6, Bytes{1}).ok());
    auto log = h_->camera().requestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].request, 0x01);
    EXPECT_EQ(log[0].value, registerValue(2, 0x26));
    EXPECT_EQ(log[0].data, Bytes{100});
    EXPECT_EQ(log[1].value, registerValue(2, 0x27));
    EXPECT_EQ(log[1].data, Bytes{0});
    EXPECT_EQ(log[2].request, 0x0B);
    EXPECT_EQ(log[2].value, 0);
    EXPECT_EQ(log[2].data, Bytes{100});

    // Identifier 11 writes the registers in one request, 12 reads them in one.
    p_->get(kRegisters, 10, 6);
    Bytes descriptor = {3, 0x30, 0, 0, 0, 3, 0, 1, 0, 0, 0};
    request(device(), kRegisters, 13, descriptor, true);
    h_->camera().clearRequestLog();
    Bytes data(65535, 0);
    data[0] = 7, data[1] = 8, data[2] = 9;
    ASSERT_EQ(request(device(), kRegisters, 11, data, true), STATUS_SUCCESS);
    ASSERT_EQ(request(device(), kRegisters, 12, data, false), STATUS_SUCCESS);
    log = h_->camera().requestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request, 0x01);
    EXPECT_EQ(log[0].value, registerValue(3, 0x30));
    EXPECT_EQ(log[0].data, (Bytes{7, 8, 9}));
    EXPECT_EQ(log[1].request, 0x81);
    EXPECT_TRUE(log[1].in);
    EXPECT_EQ(log[1].value, registerValue(3, 0x30));
    EXPECT_EQ(log[1].length, 3);
}

TEST_F(CameraRequests, ARefusedWriteFailsTheSetWithTheCamerasStatusAndKeepsTheValue) {
    ASSERT_TRUE(p_->set(kPicture, 0, words({40, 0, 0, 0})).ok());
    refuse(0x01, registerValue(2, 0x23));
    Bytes raw = words({70, 0, 0, 0});
    EXPECT_EQ(request(device(), kPicture, 0, raw, true), kStalled);
    EXPECT_EQ(wordAt(p_->get(kPicture, 0, 16).data, 0), 40u);
    // Through the channel: module status 1; the camera takes it next time.
    refuse(0x01, registerValue(2, 0x23));
    EXPECT_EQ(p_->set(kPicture, 0, words({70, 0, 0, 0})).moduleStatus, 1);
    EXPECT_TRUE(p_->set(kPicture, 0, words({70, 0, 0, 0})).ok());
    EXPECT_EQ(wordAt(p_->get(kPicture, 0, 16).data, 0), 70u);

    // A read-modify-write whose write is refused.
    refuse(0x01, registerValue(2, 0x15));
    Bytes on{1};
    EXPECT_EQ(request(device(), kDevice, 4, on, true), kStalled);
    EXPECT_EQ(p_->get(kDevice, 4, 1).data, Bytes{0});
    EXPECT_EQ(h_->camera().registerValue(2, 0x15), 0x83);

    // The banding filter's data block refused after its registers went.
    refuse(0x0B, 0);
    EXPECT_EQ(request(device(), kDevice, 6, on, true), kStalled);
    EXPECT_EQ(p_->get(kDevice, 6, 1).data, Bytes{0});
}

TEST_F(CameraRequests, AFailingStepEndsTheClockSequence) {
    ULONG frame = 0;
    ASSERT_EQ(Camera_Open(device(), 320, 240, &frame), STATUS_SUCCESS);
    const UCHAR mn[2] = {8, 32};
    ASSERT_EQ(Camera_WriteRegisters(device(), CAMERAACCESS_VP, 19, mn, 2), STATUS_SUCCESS);
    ASSERT_TRUE(p_->set(kDevice, 9, Bytes{2}).ok());
    refuse(0x01, registerValue(2, 20));
    const std::size_t before = h_->camera().registerWrites().size();
    Bytes four{4};
    EXPECT_EQ(request(device(), kDevice, 9, four, true), kStalled);
    EXPECT_EQ(writesSince(*h_, before), (Writes{{3, 1, 0x4D}, {2, 0x25, 0x95}}));
    // Still the divider the camera runs with.
    EXPECT_EQ(p_->get(kDevice, 9, 1).data, Bytes{2});
}

TEST_F(CameraRequests, AFirmwareTextThatCannotBeReadSaysSo) {
    // The driver key lists the camera's level (0x0103) as having a text.
    p_.reset();
    h_.reset();
    sim::Scenario s = scenarioFor("AFirmwareTextThatCannotBeReadSaysSo");
    Bytes levels(32, 0);
    levels[0] = 1, levels[1] = 0x01, levels[2] = 0x03;
    store(s, kSensor, 5, u"Value", levels);
    h_ = std::make_unique<pavtest::CameraHarness>(options(s));
    ASSERT_TRUE(h_->started()) << h_->arrivalText();
    p_ = std::make_unique<Properties>(*h_);
    refuse(0x8B, 0x100);
    Bytes expected(32, 0);
    std::memcpy(expected.data(), "  N/A.", 6);
    EXPECT_EQ(p_->get(kSensor, 5, 32).data, expected);
}

}  // namespace
