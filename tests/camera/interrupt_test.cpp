// The camera's interrupt messages: input changes and buttons become events of
// the input event set in a fixed order, the ready and report messages set
// their flags, and messages too short for their fields are ignored.
#include <gtest/gtest.h>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/camera/camera_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

class Interrupts : public ::testing::Test {
  protected:
    void SetUp() override { camtest::UpperModules::reset(); }
};

// Events of input i (0-7) changing: set raises i and 16 + i, clear raises
// 32 + i and 24 + i; input 8 + i raises 8 + i when set and 40 + i when clear.
// Identifiers 16 to 31 are no items of the input event set, so no watcher can
// hear them; the lists below hold what a watcher hears.
TEST_F(Interrupts, InputsAndButtonsRaiseTheirEventsInOrder) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    camtest::EventLog log(d);
    ASSERT_EQ(Camera_SetMode(d, 1), STATUS_SUCCESS);  // the interrupt stream runs

    // Inputs 0 and 2 and 8 change: 0 is now set, 2 and 8 clear.
    h.camera().injectInputs(0x0105, 0x0001);
    ASSERT_TRUE(log.waitFor(true, 3));
    EXPECT_EQ(log.raised(true), (std::vector<ULONG>{0, 34, 40}));
    EXPECT_EQ(d->camera.inputState.load(), 0x0001);

    log.clear();
    // Inputs 7 and 15 set, 3 and 12 clear, input 1 unchanged though its bit is set.
    h.camera().injectInputs(0x9088, 0x8082);
    ASSERT_TRUE(log.waitFor(true, 4));
    EXPECT_EQ(log.raised(true), (std::vector<ULONG>{35, 7, 44, 15}));
    EXPECT_EQ(d->camera.inputState.load(), 0x8082);

    log.clear();
    for (std::uint8_t button : {1, 3, 2, 4}) h.camera().injectButton(button);
    ASSERT_TRUE(log.waitFor(true, 3));
    // Give a stray event from button 3 the time to show up.
    kclock::sleepMs(100);
    EXPECT_EQ(log.raised(true), (std::vector<ULONG>{48, 50, 49}));
    EXPECT_TRUE(log.raised(false).empty()) << "nothing on the camera event set";
}

TEST_F(Interrupts, ReadyAndReportMessagesSetTheirFlags) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    CameraState& c = d->camera;
    ASSERT_EQ(Camera_SetMode(d, 1), STATUS_SUCCESS);

    h.camera().injectInterrupt({1, 0, 1, 0, 0, 0, 0, 0});
    ASSERT_TRUE(pavtest::waitFor([&] { return c.ready.load(); }));
    h.camera().injectInterrupt({4, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(pavtest::waitFor([&] { return !c.ready.load(); }));
    h.camera().injectInterrupt({4, 0, 1, 0, 0, 0, 0, 0});
    ASSERT_TRUE(pavtest::waitFor([&] { return c.ready.load(); }));

    c.message5Seen.store(false);
    h.camera().injectInterrupt({5, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(pavtest::waitFor([&] { return c.message5Seen.load(); }));
    EXPECT_FALSE(c.message5.load());
    h.camera().injectInterrupt({5, 0, 1, 0, 0, 0, 0, 0});
    ASSERT_TRUE(pavtest::waitFor([&] { return c.message5.load(); }));
}

// Each message is handed over in a buffer of exactly its length, so a read
// past its end would be caught by the address sanitizer.
TEST_F(Interrupts, MessagesShorterThanTheirFieldsAreIgnored) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    CameraState& c = d->camera;
    camtest::EventLog log(d);
    const std::vector<std::vector<std::uint8_t>> shortOnes = {{},
                                                              {2},
                                                              {2, 0},
                                                              {2, 0, 0xFF},
                                                              {2, 0, 0xFF, 0xFF},
                                                              {2, 0, 0xFF, 0xFF, 0xFF},
                                                              {3},
                                                              {3, 0},
                                                              {1},
                                                              {1, 0},
                                                              {4, 0},
                                                              {5},
                                                              {5, 0}};
    c.ready.store(false);
    c.message5Seen.store(false);
    c.inputState.store(0x1234);
    for (const auto& m : shortOnes) {
        auto* bytes = new std::uint8_t[m.size() + (m.empty() ? 1 : 0)];
        std::copy(m.begin(), m.end(), bytes);
        Camera_InterruptMessage(d, bytes, static_cast<ULONG>(m.size()));
        delete[] bytes;
    }
    EXPECT_TRUE(log.raised(true).empty());
    EXPECT_FALSE(c.ready.load());
    EXPECT_EQ(c.inputState.load(), 0x1234);
    EXPECT_FALSE(c.message5Seen.load());

    // The shortest whole messages do count.
    std::vector<std::uint8_t> inputs = {2, 0, 0x01, 0x00, 0x01, 0x00};
    Camera_InterruptMessage(d, inputs.data(), static_cast<ULONG>(inputs.size()));
    std::vector<std::uint8_t> ready = {1, 0, 1};
    Camera_InterruptMessage(d, ready.data(), static_cast<ULONG>(ready.size()));
    EXPECT_EQ(log.raised(true), std::vector<ULONG>{0});
    EXPECT_TRUE(c.ready.load());
    EXPECT_EQ(c.inputState.load(), 0x0001);
}

}  // namespace
