// Camera_Open programs the video processor and the sensor for a picture size.
// The expected tables are written out here from the chip's register tables,
// one literal row per register, not computed the way the driver computes
// them.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/camera/camera_test_util.h"

namespace {

using Pairs = std::vector<std::pair<std::uint8_t, std::uint8_t>>;

// Sensor registers in the order they are written.
constexpr std::uint8_t kSensorOrder[23] = {0xD9, 0xF3, 0xF2, 0xF0, 0xDD, 0xDE, 0xE4, 0xE5,
                                           0xDF, 0xE0, 0xE1, 0xE2, 0xE3, 0xE6, 0xE7, 0xE8,
                                           0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF};

Pairs sensor(std::vector<int> values) {
    Pairs p;
    for (std::size_t i = 0; i < 23; ++i)
        p.emplace_back(kSensorOrder[i], static_cast<std::uint8_t>(values.at(i)));
    return p;
}

Pairs videoProcessor(int r13, int r14) {
    return {
        {0x13, static_cast<std::uint8_t>(r13)}, {0x14, static_cast<std::uint8_t>(r14)}, {0x12, 1}};
}

struct Case {
    ULONG width, height;
    Pairs vp;
    Pairs sensor;
};

// Sensor types 1, 2 and 4.
std::vector<Case> smallSensorCases() {
    return {
        // CIF: 0xDD = 9, 0xE6 = (88 - 88) / 2.
        {352, 288, videoProcessor(1, 2), sensor({0,  70, 50, 60, 9, 0,  88, 72, 88, 1,   160, 1,
                                                 64, 0,  0,  0,  0, 31, 31, 0,  0,  129, 129})},
        // QVGA: 0xE6 = (88 - 80) / 2, 0xE7 = (72 - 60) / 2.
        {320, 240, videoProcessor(1, 1), sensor({0,  70, 50, 60, 1, 0,  80, 60, 88, 1,   160, 1,
                                                 64, 4,  6,  0,  0, 31, 31, 0,  0,  129, 129})},
        // QCIF: 0xDE = 128, 0xE6 = (44 - 44) / 2.
        {176, 144, videoProcessor(2, 2), sensor({0,   70, 50, 60, 1, 128, 44, 36, 44, 0,   208, 0,
                                                 160, 0,  0,  0,  0, 31,  31, 0,  0,  129, 129})},
        // Smaller than QCIF: 0xE6 = (44 - 40) / 2, 0xE7 = (36 - 30) / 2.
        {160, 120, videoProcessor(2, 2), sensor({0,   70, 50, 60, 1, 128, 40, 30, 44, 0,   208, 0,
                                                 160, 2,  3,  0,  0, 31,  31, 0,  0,  129, 129})},
    };
}

// Sensor types 0, 16, 32 and 96.
std::vector<Case> largeSensorCases() {
    return {
        {640, 480, videoProcessor(32, 32),
         sensor({0,  50, 50, 60, 1, 0,  160, 120, 160, 2,   250, 2,
                 12, 0,  0,  0,  0, 31, 31,  0,   0,   129, 129})},
        {352, 288, videoProcessor(8, 32), sensor({0,  50, 50, 60, 1,  128, 88, 72, 80, 1,  160, 1,
                                                  64, 0,  0,  36, 32, 26,  21, 0,  0,  43, 19})},
        {320, 240, videoProcessor(8, 32), sensor({0,  50, 50, 60, 1, 128, 80, 60, 80, 1,   160, 1,
                                                  64, 0,  0,  0,  0, 31,  31, 0,  0,  129, 129})},
        // QVGA class below 320 x 240: 0xE6 = (80 - 64) / 2, 0xE7 = (60 - 48) / 2.
        {256, 192, videoProcessor(8, 32), sensor({0,  50, 50, 60, 1, 128, 64, 48, 80, 1,   160, 1,
                                                  64, 8,  6,  0,  0, 31,  31, 0,  0,  129, 129})},
    };
}

// Opens every case on one camera and compares the two tables each open sent.
void checkOpens(int sensorType, const std::vector<Case>& cases) {
    camtest::UpperModules::reset();
    sim::Scenario s = sim::defaultScenario();
    s.sensorType = sensorType;
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    for (const Case& c : cases) {
        std::size_t before = h.camera().tables().size();
        ULONG frameBuffer = 0;
        ASSERT_EQ(Camera_Open(h.device(), c.width, c.height, &frameBuffer), STATUS_SUCCESS);
        EXPECT_EQ(frameBuffer, 2 * c.width * c.height + 608);
        auto tables = h.camera().tables();
        ASSERT_EQ(tables.size(), before + 2);
        const sim::RegisterTable& vp = tables[before];
        const sim::RegisterTable& vc = tables[before + 1];
        EXPECT_EQ(vp.space, 2);
        EXPECT_EQ(vp.pairs, c.vp) << "type " << sensorType << ", " << c.width << "x" << c.height;
        EXPECT_EQ(vc.space, 1);
        EXPECT_EQ(vc.pairs, c.sensor)
            << "type " << sensorType << ", " << c.width << "x" << c.height;
        EXPECT_EQ(camtest::UpperModules::imageSize(), std::make_pair(c.width, c.height));
    }
}

class Open : public ::testing::Test {
  protected:
    void SetUp() override { camtest::UpperModules::reset(); }
};

TEST_F(Open, TypeOneSensorTablesForEverySizeClass) {
    checkOpens(1, smallSensorCases());
}

TEST_F(Open, TypeSixteenSensorTablesForEverySizeClass) {
    checkOpens(16, largeSensorCases());
}

TEST_F(Open, EverySensorTypeOfAFamilyGetsItsFamilysTables) {
    for (int type : {2, 4}) checkOpens(type, {smallSensorCases()[0]});
    for (int type : {0, 32, 96}) checkOpens(type, {largeSensorCases()[1]});
}

TEST_F(Open, PowersVideoWaitsForTheSensorAndFinishesWithRegister2F) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    std::size_t before = h.camera().registerWrites().size();
    int appliedBefore = camtest::UpperModules::applied();
    ASSERT_EQ(Camera_Open(h.device(), 320, 240, nullptr), STATUS_SUCCESS);
    auto writes = h.camera().registerWrites();
    writes.erase(writes.begin(), writes.begin() + static_cast<std::ptrdiff_t>(before));
    ASSERT_GE(writes.size(), 2u + 3u + 23u);
    EXPECT_EQ(writes.front(), (sim::RegisterWrite{3, 1, 0xCD}));
    EXPECT_EQ(writes.back(), (sim::RegisterWrite{3, 0x2F, 0}));
    // Between them the video-processor table, then the sensor table.
    EXPECT_EQ(writes[1].space, 2);
    EXPECT_EQ(writes[4].space, 1);
    EXPECT_EQ(h.device()->camera.openState, 1);
    EXPECT_EQ(camtest::UpperModules::applied(), appliedBefore + 1);
    // The sensor now runs at that size.
    EXPECT_EQ(h.camera().registerValue(1, 0xE4), 80);
}

TEST_F(Open, SensorThatNeverGetsReadyFailsTheOpenBeforeAnyTable) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario(), 20));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    h.camera().changeFaults([](sim::Faults& f) { f.sensorNeverReady = true; });
    std::size_t tables = h.camera().tables().size();
    ULONGLONG before = kclock::milliseconds();
    EXPECT_EQ(Camera_Open(h.device(), 320, 240, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_GE(kclock::milliseconds() - before, 500u) << "50 polls, 10 ms apart";
    EXPECT_EQ(h.camera().tables().size(), tables);
    EXPECT_EQ(h.device()->camera.openState, 0);
}

TEST_F(Open, SizesThatAreNoPictureAreRefusedWithoutTouchingTheCamera) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    std::size_t writes = h.camera().registerWrites().size();
    for (auto [w, hgt] :
         {std::pair<ULONG, ULONG>{0, 240}, {320, 0}, {100000, 240}, {320, 0xFFFFFFFF}})
        EXPECT_EQ(Camera_Open(h.device(), w, hgt, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h.camera().registerWrites().size(), writes);
}

TEST_F(Open, CloseReturnsToIdleAtSettingZero) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    ASSERT_EQ(Camera_Open(d, 320, 240, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Camera_SetMode(d, 7), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().alternateSetting(), 7);
    EXPECT_EQ(Camera_Close(d), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_EQ(h.camera().registerValue(3, 1), 0x0D);
    EXPECT_EQ(d->camera.openState, 0);
    EXPECT_FALSE(d->camera.isochronousMode.load());
}

}  // namespace
