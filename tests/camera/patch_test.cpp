// The firmware patch decision over the simulated camera: which registry
// settings lead to a download, what goes over the wire, and how the camera
// comes back after its port is cycled.
#include <gtest/gtest.h>

#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/camera/camera_test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

sim::Scenario patchableCamera(std::uint8_t release = 2) {
    sim::Scenario s = sim::defaultScenario();
    s.chipRelease[0] = 1;
    s.chipRelease[1] = release;
    return s;
}

Bytes littleEndian16(std::size_t v) {
    return {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)};
}

std::string instance(const sim::Scenario& s) {
    return sim::instancePathFor(s);
}

class Patching : public ::testing::Test {
  protected:
    void SetUp() override { camtest::UpperModules::reset(); }
};

TEST_F(Patching, ChipReleaseOneFourTakesNoPatchingStepAtAll) {
    Bytes image = camtest::patchImage(2000, false);
    camtest::storePatch(1, 2, image);
    camtest::writeSetting("WebCamPatching", {1});
    camtest::writeSetting("ForcePatch", {1, 2});
    camtest::writeSetting("TotalPatchLength", littleEndian16(image.size()));
    sim::Scenario s = patchableCamera(4);
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    EXPECT_FALSE(camtest::patchingStatus(instance(s))) << "not even status 0 is written";
    EXPECT_EQ(h.camera().patchState(), sim::PatchState::None);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 0u);
    EXPECT_EQ(camtest::readSetting("ForcePatch"), Bytes({1, 2}));
}

TEST_F(Patching, ForcePatchZeroSendsNothingAndReportsNoPatch) {
    for (std::uint8_t release : {1, 2, 3}) {
        camtest::storePatch(0, 0, camtest::patchImage(2000, false));
        camtest::storePatch(1, 2, camtest::patchImage(2000, false));
        camtest::writeSetting("WebCamPatching", {1});
        camtest::writeSetting("ForcePatch", {0, 0});
        camtest::writeSetting("TotalPatchLength", littleEndian16(2000));
        sim::Scenario s = patchableCamera(release);
        pavtest::CameraHarness h(camtest::cameraOptions(s));
        ASSERT_TRUE(h.started()) << h.arrivalText();
        EXPECT_EQ(camtest::patchingStatus(instance(s)), 4) << "release 1," << int(release);
        EXPECT_EQ(h.camera().patchState(), sim::PatchState::None);
        EXPECT_EQ(h.camera().counters().bulkOutBytes, 0u);
    }
}

TEST_F(Patching, MissingSettingsMeanNoPatch) {
    camtest::storePatch(1, 2, camtest::patchImage(2000, false));
    camtest::writeSetting("ForcePatch", {1, 2});  // "WebCamPatching" absent
    camtest::writeSetting("TotalPatchLength", littleEndian16(2000));
    sim::Scenario s = patchableCamera();
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    EXPECT_EQ(camtest::patchingStatus(instance(s)), 4);
    EXPECT_EQ(h.camera().patchState(), sim::PatchState::None);
}

// "WebCamPatching" 0 with "ForcePatch" 1,2: the patch goes once, the camera
// comes back running it, and "ForcePatch" is 0,0 so the next start-up sends
// nothing.
TEST_F(Patching, PatchIsSentOnceAndTheCameraComesBackPatched) {
    Bytes image = camtest::patchImage(5000, false);  // two registry blocks
    camtest::storePatch(1, 2, image);
    camtest::writeSetting("WebCamPatching", {0});
    camtest::writeSetting("ForcePatch", {1, 2});
    camtest::writeSetting("TotalPatchLength", littleEndian16(image.size()));
    sim::Scenario s = patchableCamera();
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    h.settle();
    ASSERT_TRUE(h.started()) << h.arrivalText();

    EXPECT_EQ(h.camera().patchState(), sim::PatchState::Accepted) << h.camera().patchProblem();
    EXPECT_EQ(h.camera().firmwareLevel(), 0x0102);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, image.size()) << "sent exactly once";
    const std::uint8_t sum = camtest::expectedChecksum(image);
    auto header = h.camera().patchHeader();
    EXPECT_EQ(Bytes(header.begin(), header.end()), Bytes({0, 0, 0x13, 0x88, 1, 2, 0, 0, sum, 0}));

    EXPECT_EQ(camtest::readSetting("ForcePatch"), Bytes({0, 0}));
    EXPECT_EQ(camtest::patchingStatus(instance(s)), 4) << "the second start-up found no patch";
    EXPECT_EQ(h.device()->camera.sensorType, 16);
}

TEST_F(Patching, ForcePatchAlwaysIsCopiedBackByTheStartUpThatSendsNoPatch) {
    Bytes image = camtest::patchImage(1769, true);
    camtest::storePatch(1, 2, image);
    camtest::writeSetting("WebCamPatching", {0});
    camtest::writeSetting("ForcePatch", {1, 2});
    camtest::writeSetting("ForcePatchAlways", {1, 2});
    camtest::writeSetting("TotalPatchLength", littleEndian16(image.size()));
    sim::Scenario s = patchableCamera(3);
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    h.settle();
    ASSERT_TRUE(h.started()) << h.arrivalText();
    EXPECT_EQ(h.camera().patchState(), sim::PatchState::Accepted) << h.camera().patchProblem();
    EXPECT_EQ(h.camera().counters().bulkOutBytes, image.size());
    EXPECT_EQ(camtest::patchingStatus(instance(s)), 4);
    EXPECT_EQ(camtest::readSetting("ForcePatch"), Bytes({1, 2}));
}

TEST_F(Patching, Version9999SendsItsOwnLengthWhateverTotalPatchLengthSays) {
    Bytes image = camtest::patchImage(3000, true);
    camtest::storePatch(0x99, 0x99, image);
    camtest::writeSetting("WebCamPatching", {0});
    camtest::writeSetting("ForcePatch", {0x99, 0x99});
    camtest::writeSetting("TotalPatchLength", littleEndian16(10000));
    sim::Scenario s = patchableCamera(1);
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    h.settle();
    ASSERT_TRUE(h.started()) << h.arrivalText();
    EXPECT_EQ(h.camera().patchState(), sim::PatchState::Accepted) << h.camera().patchProblem();
    EXPECT_EQ(h.camera().firmwareLevel(), 0x9999);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 3000u);
    const std::uint8_t sum = camtest::expectedChecksum(image);
    auto header = h.camera().patchHeader();
    EXPECT_EQ(Bytes(header.begin(), header.end()),
              Bytes({0, 0, 0x0B, 0xB8, 0x99, 0x99, 0, 0, sum, 0}));
    // A "52" image takes the plain checksum.
    std::uint8_t plain = 0xFF;
    for (std::size_t i = 6; i < image.size(); ++i) plain ^= image[i];
    EXPECT_EQ(sum, plain);
}

TEST_F(Patching, APatchedStartUpEndsWithStatusFiveAndThePortCycled) {
    Bytes image = camtest::patchImage(1769, false);
    camtest::storePatch(1, 2, image);
    camtest::writeSetting("WebCamPatching", {1});
    camtest::writeSetting("ForcePatch", {1, 2});
    camtest::writeSetting("TotalPatchLength", littleEndian16(image.size()));
    sim::Scenario s = patchableCamera();
    s.faults.noReturnAfterCycle = true;
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    h.settle();
    EXPECT_FALSE(h.camera().present()) << "the port was cycled";
    EXPECT_EQ(h.device(), nullptr);
    EXPECT_EQ(h.camera().patchState(), sim::PatchState::Accepted);
    EXPECT_EQ(camtest::patchingStatus(instance(s)), 5);
    // What the camera received (it keeps it until it powers on again).
    const std::uint8_t sum = camtest::expectedChecksum(image);
    Bytes sent = h.camera().patchBytes();
    ASSERT_EQ(sent.size(), image.size());
    EXPECT_EQ(sent[4], 0);
    EXPECT_EQ(sent[5], sum);
    sent[4] = image[4];
    sent[5] = image[5];
    EXPECT_EQ(sent, image) << "the rest of the image passes unchanged";
    // With patching on, "ForcePatch" stays for the next start-up.
    EXPECT_EQ(camtest::readSetting("ForcePatch"), Bytes({1, 2}));
}

TEST_F(Patching, MissingTotalPatchLengthEndsTheDownloadBeforeAnythingIsSent) {
    camtest::storePatch(1, 2, camtest::patchImage(1769, false));
    camtest::writeSetting("WebCamPatching", {0});
    camtest::writeSetting("ForcePatch", {1, 2});
    sim::Scenario s = patchableCamera();
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    h.settle();
    ASSERT_TRUE(h.started()) << h.arrivalText();
    EXPECT_EQ(h.camera().patchState(), sim::PatchState::None) << "no header went out";
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 0u);
    // The port was cycled all the same, and the start-up after it found no patch.
    EXPECT_EQ(camtest::patchingStatus(instance(s)), 4);
    EXPECT_EQ(h.camera().firmwareLevel(), 0x0103);
}

TEST_F(Patching, DownloadThatNeverDrainsGivesUpAndTheCameraStartsUnpatched) {
    Bytes image = camtest::patchImage(1769, false);
    camtest::storePatch(1, 2, image);
    camtest::writeSetting("WebCamPatching", {0});
    camtest::writeSetting("ForcePatch", {1, 2});
    camtest::writeSetting("TotalPatchLength", littleEndian16(image.size()));
    sim::Scenario s = patchableCamera();
    s.faults.stalledEndpoints = {0x05};
    pavtest::CameraHarness h(camtest::cameraOptions(s, 50, false));
    ULONGLONG before = kclock::milliseconds();
    ASSERT_TRUE(h.plug());
    h.settle();
    ULONGLONG spent = kclock::milliseconds() - before;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    EXPECT_GE(spent, 5000u) << "the bulk transfer was waited for";
    EXPECT_NE(h.camera().patchState(), sim::PatchState::Accepted);
    EXPECT_TRUE(h.camera().patchBytes().empty());
    EXPECT_EQ(h.camera().firmwareLevel(), 0x0103);
    EXPECT_EQ(camtest::patchingStatus(instance(s)), 4);
}

}  // namespace
