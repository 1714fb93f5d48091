// The camera's start-up over the simulated camera: what it reads and writes,
// the streams and the video format it leaves behind, and what it does with
// cameras that boot slowly or carry an unknown sensor.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/camera/camera_test_util.h"
#include "tests/support/unanswering_camera.h"

namespace {

using camtest::UpperModules;

bool wrote(const sim::SimCamera& camera, int space, int reg, int value) {
    auto writes = camera.registerWrites();
    return std::find(
               writes.begin(), writes.end(),
               sim::RegisterWrite{static_cast<std::uint8_t>(space), static_cast<std::uint8_t>(reg),
                                  static_cast<std::uint8_t>(value)}) != writes.end();
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override { UpperModules::reset(); }
};

TEST_F(Startup, DefaultCameraComesUpIdleWithItsSensorStreamsAndFormat) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    CameraState& c = d->camera;

    auto block = h.camera().informationBlock();
    ASSERT_NE(c.information, nullptr);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), c.information));
    EXPECT_EQ(c.sensorType, 16);

    // The four streams of the camera interface, by endpoint.
    struct Expected {
        UCHAR endpoint;
        const char* name;
        ULONG inFlight, packets;
    };
    for (const Expected& e :
         {Expected{0x82, "Bulk In Data Pipe", 1, 64}, Expected{0x05, "Bulk Out Data Pipe", 8, 64},
          Expected{0x81, "Isochronous Image Data", 8, 8},
          Expected{0x83, "Interrupt Status Data", 2, 1}}) {
        UsbStream* s = USBSTRM_Find(d, e.endpoint);
        ASSERT_NE(s, nullptr) << e.name;
        EXPECT_STREQ(s->name, e.name);
        EXPECT_EQ(s->transfersInFlight, e.inFlight) << e.name;
        EXPECT_EQ(s->packetsPerTransfer, e.packets) << e.name;
    }

    // Firmware above 0x0100 was asked for its report; the camera is idle at
    // setting 0 with the start-up register written.
    EXPECT_TRUE(wrote(h.camera(), 0, 2, 1));
    EXPECT_TRUE(c.message5.load());
    EXPECT_EQ(h.camera().registerValue(3, 1), 0x0D);
    EXPECT_EQ(h.camera().registerValue(3, 6), 0x26);
    EXPECT_EQ(h.camera().alternateSetting(), 0);

    // No patching step at all for chip release 1,4.
    EXPECT_FALSE(camtest::patchingStatus(sim::instancePathFor(h.camera().scenario())));

    auto formats = UpperModules::formats();
    ASSERT_EQ(formats.size(), 1u);
    const CameraVideoFormat& f = formats[0];
    EXPECT_EQ(f.compression, 0x47504A4Du);  // "MJPG"
    EXPECT_EQ(f.bitCount, 24);
    EXPECT_EQ(f.minimumWidth, 64u);
    EXPECT_EQ(f.minimumHeight, 56u);
    EXPECT_EQ(f.maximumWidth, 640u);
    EXPECT_EQ(f.maximumHeight, 480u);
    EXPECT_EQ(f.granularityX, 16u);
    EXPECT_EQ(f.granularityY, 8u);
    EXPECT_EQ(f.maximumFps, 30u);
    EXPECT_EQ(f.minimumFps, 1u);
    EXPECT_FALSE(f.fixedSize);
    EXPECT_TRUE(f.temporalCompression);
    EXPECT_EQ(f.subFormat, kMjpgSubFormat);
}

TEST_F(Startup, SmallSensorOffersCifAndShrinksALargerStoredSize) {
    for (auto [stored, expected] :
         {std::pair<std::pair<ULONG, ULONG>, std::pair<ULONG, ULONG>>{{640, 480}, {352, 288}},
          {{352, 320}, {352, 288}},
          {{320, 240}, {320, 240}}}) {
        UpperModules::reset();
        UpperModules::setImageSize(stored);
        sim::Scenario s = sim::defaultScenario();
        s.sensorType = 1;
        pavtest::CameraHarness h(camtest::cameraOptions(s));
        ASSERT_TRUE(h.started()) << h.arrivalText();
        EXPECT_EQ(h.device()->camera.sensorType, 1);
        EXPECT_EQ(UpperModules::imageSize(), expected) << stored.first << "x" << stored.second;
        auto formats = UpperModules::formats();
        ASSERT_EQ(formats.size(), 1u);
        EXPECT_EQ(formats[0].maximumWidth, 352u);
        EXPECT_EQ(formats[0].maximumHeight, 288u);
    }
}

TEST_F(Startup, LargeSensorLeavesTheStoredSizeAlone) {
    UpperModules::setImageSize(std::make_pair(640u, 480u));
    sim::Scenario s = sim::defaultScenario();
    s.sensorType = 96;
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    EXPECT_EQ(UpperModules::imageSize(), std::make_pair(640u, 480u));
    ASSERT_EQ(UpperModules::formats().size(), 1u);
    EXPECT_EQ(UpperModules::formats()[0].maximumWidth, 640u);
}

TEST_F(Startup, UnknownSensorTypeLeavesTheDeviceUnusable) {
    sim::Scenario s = sim::defaultScenario();
    s.sensorType = 7;
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_NE(h.device(), nullptr);
    EXPECT_FALSE(h.started());
    EXPECT_TRUE(h.device()->stopped.load());
    EXPECT_TRUE(UpperModules::formats().empty());
    // The stop that followed took the streams down again.
    EXPECT_EQ(USBSTRM_Find(h.device(), 0x81), nullptr);
}

TEST_F(Startup, OldFirmwareIsNotAskedForItsReport) {
    sim::Scenario s = sim::defaultScenario();
    s.firmwareLevel = 0x0100;
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    EXPECT_FALSE(wrote(h.camera(), 0, 2, 1));
    EXPECT_FALSE(h.device()->camera.message5Seen.load());
    EXPECT_EQ(h.device()->camera.sensorType, 16);
}

TEST_F(Startup, CameraThatNeverBootsIsWaitedForTenSecondsAndStillStarts) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.neverBoot = true;
    pavtest::CameraHarness h(camtest::cameraOptions(s, 50, false));
    ULONGLONG before = kclock::milliseconds();
    ASSERT_TRUE(h.plug());
    ULONGLONG spent = kclock::milliseconds() - before;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    EXPECT_GE(spent, 10000u);
    EXPECT_LT(spent, 20000u);
    // A sensor that never reports ready is read for its type all the same.
    EXPECT_EQ(h.device()->camera.sensorType, 16);
}

// A wedged camera enumerates but answers no vendor request. The first one
// of the start-up times out and ends it with that failure: no long polling of
// registers that never answer, no sensor made up from zeroes.
TEST_F(Startup, CameraThatAnswersNoVendorRequestEndsTheStartUpAtTheFirstTimeOut) {
    std::shared_ptr<pavtest::UnansweringCamera> front;
    pavtest::CameraHarness h(pavtest::withUnansweringCamera(
        camtest::cameraOptions(sim::defaultScenario(), 100, false), &front));
    ULONGLONG before = kclock::milliseconds();
    ASSERT_TRUE(h.plug());
    ULONGLONG spent = kclock::milliseconds() - before;
    ASSERT_NE(h.device(), nullptr);
    EXPECT_FALSE(h.started());
    EXPECT_TRUE(h.device()->stopped.load());
    EXPECT_EQ(front->taken(), 1) << "the start-up went on after a request timed out";
    // One submission's two waits of 10 s, and little besides.
    EXPECT_GE(spent, 20000u);
    EXPECT_LT(spent, 40000u);
    EXPECT_TRUE(UpperModules::formats().empty()) << "a sensor was registered";
    EXPECT_EQ(h.device()->camera.sensorType, 0);
    h.camera().unplug();  // what makes the bus let go of the request
}

TEST_F(Startup, RemovalRaisesTheRemovedEventAndGivesEverythingBack) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    camtest::EventLog log(h.device());
    log.forgetDevice();
    h.unplug();
    EXPECT_EQ(log.raised(false), std::vector<ULONG>{kCameraEventRemoved});
    // The harness checks every pool tag ("cam ", "usbs", "usbi") on teardown.
}

}  // namespace
