// The device set: identity of the camera and its sensor, flip and mirror,
// the banding filter, the picture size and the clock divider.
#include <gtest/gtest.h>

#include <atomic>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/camera/camera_test_util.h"
#include "tests/properties/prop_test_util.h"

using namespace proptest;

namespace {

const GUID& kDevice = pav512::kPropertySetDevice;
using Writes = std::vector<sim::RegisterWrite>;

std::string testName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

TEST(DeviceSet, IdentityOfTheCameraAndItsSensor) {
    sim::Scenario s = scenarioFor(testName());
    s.chipRelease[0] = 1;
    s.chipRelease[1] = 4;
    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    EXPECT_EQ(p.get(kDevice, 0, 2).data, (Bytes{1, 4}));
    EXPECT_EQ(p.get(kDevice, 8, 1).data, Bytes{7});
    EXPECT_EQ(p.get(kDevice, 16, 8).data, words({640, 480}));
    EXPECT_EQ(p.get(kDevice, 17, 8).data, words({320, 240}));
    // The sensor code follows registers 6 and 7 as the camera reads them now.
    struct Code {
        std::uint8_t type, high, low;
    };
    const Code codes[] = {{0, 0x00, 0x00}, {1, 0x19, 0xA0}, {2, 0x19, 0xB0}, {4, 0x19, 0xD0},
                          {16, 0x1F, 0x40}, {32, 0x1F, 0x50}, {96, 0x1F, 0x60}, {7, 0xFF, 0xFF}};
    ASSERT_EQ(Camera_WriteRegister(h.device(), CAMERAACCESS_VP, 7, 0x35), STATUS_SUCCESS);
    for (const Code& c : codes) {
        ASSERT_EQ(Camera_WriteRegister(h.device(), CAMERAACCESS_VP, 6, c.type), STATUS_SUCCESS);
        EXPECT_EQ(p.get(kDevice, 1, 2).data,
                  (Bytes{c.high, static_cast<std::uint8_t>(c.low | 0x05)}))
            << "type " << int(c.type);
    }
}

TEST(DeviceSet, SmallSensorsOfferSmallerNativeSizes) {
    sim::Scenario s = scenarioFor(testName());
    s.sensorType = 2;
    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    EXPECT_EQ(p.get(kDevice, 16, 8).data, words({352, 288}));
    EXPECT_EQ(p.get(kDevice, 17, 8).data, words({176, 144}));
}

TEST(DeviceSet, FlipAndMirrorChangeOnlyTheirBits) {
    sim::Scenario s = scenarioFor(testName());
    s.powerOnRegisters = {{2, 0x15, 0x83}};
    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    auto set = [&](ULONG id, std::uint8_t v) {
        const std::size_t before = h.camera().registerWrites().size();
        EXPECT_TRUE(p.set(kDevice, id, Bytes{v}).ok());
        return writesSince(h, before);
    };
    EXPECT_EQ(set(4, 1), (Writes{{2, 0x15, 0xC3}}));
    EXPECT_EQ(set(5, 9), (Writes{{2, 0x15, 0xC7}}));
    EXPECT_EQ(set(4, 0), (Writes{{2, 0x15, 0x87}}));
    EXPECT_EQ(set(5, 0), (Writes{{2, 0x15, 0x83}}));
    EXPECT_EQ(p.get(kDevice, 5, 1).data, Bytes{0});
    EXPECT_EQ(p.get(kDevice, 4, 1).data, Bytes{0});
}

TEST(DeviceSet, TheBandingFilterWritesTheFlickerSettingAndSendsItInADataBlock) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    for (auto [value, filter] : {std::pair<std::uint8_t, std::uint8_t>{1, 100}, {0, 120}}) {
        const std::size_t before = h.camera().registerWrites().size();
        const std::size_t blocks = h.camera().dataBlocks().size();
        ASSERT_TRUE(p.set(kDevice, 6, Bytes{value}).ok());
        EXPECT_EQ(writesSince(h, before), (Writes{{2, 0x26, filter}, {2, 0x27, 0}}));
        auto sent = h.camera().dataBlocks();
        ASSERT_EQ(sent.size(), blocks + 1);
        EXPECT_EQ(sent.back().item, 0);
        EXPECT_EQ(sent.back().data, Bytes{filter});
        EXPECT_EQ(p.get(kDevice, 6, 1).data, Bytes{value});
    }
}

std::atomic<ULONG> changedWidth{0}, changedHeight{0};
std::atomic<NTSTATUS> sizeAnswer{STATUS_SUCCESS};
NTSTATUS sizeChange(DeviceContext*, ULONG width, ULONG height) {
    changedWidth = width;
    changedHeight = height;
    return sizeAnswer.load();
}

TEST(DeviceSet, ThePictureSizeGoesToTheFrameManager) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    h.device()->camprop.sizeChange.store(sizeChange);
    Properties p(h);
    sizeAnswer = STATUS_SUCCESS;
    ASSERT_TRUE(p.set(kDevice, 7, words({320, 240})).ok());
    EXPECT_EQ(changedWidth.load(), 320u);
    EXPECT_EQ(changedHeight.load(), 240u);
    EXPECT_EQ(p.get(kDevice, 7, 8).data, words({320, 240}));
    // A size the frame manager refuses is not kept.
    sizeAnswer = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(p.set(kDevice, 7, words({100, 100})).moduleStatus, 1);
    EXPECT_EQ(p.get(kDevice, 7, 8).data, words({320, 240}));
    h.device()->camprop.sizeChange.store(nullptr);
}

// ---------------------------------------------------------------------------
// Clock divider

class ClockDivider : public ::testing::Test {
  protected:
    void start(std::uint32_t fpga) {
        camtest::writeSetting("FPGA", words({fpga}));
        sim::Scenario s = scenarioFor(testName());
        s.powerOnRegisters = {{2, 0x25, 0x15}};
        h_ = std::make_unique<pavtest::CameraHarness>(options(s));
        ASSERT_TRUE(h_->started()) << h_->arrivalText();
        p_ = std::make_unique<Properties>(*h_);
        ULONG frame = 0;
        ASSERT_EQ(Camera_Open(h_->device(), 320, 240, &frame), STATUS_SUCCESS);
    }
    void TearDown() override {
        p_.reset();
        h_.reset();
        camtest::writeSetting("FPGA", words({0}));
    }
    void clocks(std::uint8_t m, std::uint8_t n) {
        const UCHAR mn[2] = {m, n};
        ASSERT_EQ(Camera_WriteRegisters(h_->device(), CAMERAACCESS_VP, 19, mn, 2), STATUS_SUCCESS);
    }
    // Sets the divider; the writes it caused and the module status.
    Writes set(std::uint8_t value, std::uint8_t* module) {
        const std::size_t before = h_->camera().registerWrites().size();
        *module = p_->set(kDevice, 9, Bytes{value}).moduleStatus;
        return writesSince(*h_, before);
    }
    std::unique_ptr<pavtest::CameraHarness> h_;
    std::unique_ptr<Properties> p_;
};

Writes sequence(std::uint8_t reg20, std::array<std::uint8_t, 3> triple, std::uint8_t load) {
    // The ASIC held (register 1 was 0xCD since the open), the clock hold bit
    // of register 0x25 around the new register 20, the triple, the load.
    return {{3, 1, 0x4D},        {2, 0x25, 0x95},      {2, 20, reg20},       {2, 0x25, 0x15},
            {3, 25, triple[0]},  {3, 26, triple[1]},   {3, 27, triple[2]},   {3, 0xC1, 0x80},
            {3, 0xC1, load},     {3, 1, 0xCD}};
}

TEST_F(ClockDivider, EveryClockAndValueWritesItsTripleAndRegister20InOrder) {
    start(0);
    struct Expect {
        std::uint8_t reg20;
        std::array<std::uint8_t, 3> triple;
    };
    for (std::uint8_t m : {1, 2, 8, 32}) {
        for (std::uint8_t n : {1, 4, 16, 2}) {
            const bool smallN = n != 2;
            const bool slowM = m == 1 || m == 2;
            const std::pair<std::uint8_t, Expect> rows[] = {
                {1, slowM ? Expect{std::uint8_t(smallN ? 16 : 32), {5, 2, 2}} : Expect{32, {1, 0, 1}}},
                {2, slowM ? Expect{std::uint8_t(smallN ? 4 : 8), {11, 5, 5}} : Expect{8, {3, 1, 3}}},
                {4, slowM ? Expect{std::uint8_t(smallN ? 1 : 2), {23, 11, 11}} : Expect{2, {7, 3, 7}}},
            };
            for (const auto& [value, e] : rows) {
                clocks(m, n);
                std::uint8_t module = 0xFF;
                EXPECT_EQ(set(value, &module), sequence(e.reg20, e.triple, 0))
                    << "m " << int(m) << " n " << int(n) << " value " << int(value);
                EXPECT_EQ(module, 0);
                // Read back from the triple now in the camera.
                EXPECT_EQ(p_->get(kDevice, 9, 1).data, Bytes{value});
            }
        }
    }
}

TEST_F(ClockDivider, AnFpgaCameraIsLoadedWith0x40) {
    start(1);
    clocks(8, 32);
    std::uint8_t module = 0xFF;
    EXPECT_EQ(set(2, &module), sequence(8, {3, 1, 3}, 0x40));
    EXPECT_EQ(module, 0);
}

TEST_F(ClockDivider, UnknownClocksOrValuesAndClosedVideoAreRefused) {
    start(0);
    clocks(1, 1);
    std::uint8_t module = 0;
    ASSERT_EQ(set(2, &module).size(), 10u);
    clocks(4, 1);
    EXPECT_EQ(set(1, &module), Writes{});
    EXPECT_EQ(module, 1);
    clocks(1, 1);
    for (std::uint8_t value : {0, 3, 0x81}) {
        EXPECT_EQ(set(value, &module), Writes{}) << int(value);
        EXPECT_EQ(module, 1);
    }
    // A triple of no known divider reads as 0 while video is open.
    const UCHAR odd[3] = {9, 9, 9};
    ASSERT_EQ(Camera_WriteRegisters(h_->device(), CAMERAACCESS_ASIC, 25, odd, 3), STATUS_SUCCESS);
    EXPECT_EQ(p_->get(kDevice, 9, 1).data, Bytes{0});
    // Closed: the stored value, and no set at all.
    ASSERT_EQ(Camera_Close(h_->device()), STATUS_SUCCESS);
    EXPECT_EQ(p_->get(kDevice, 9, 1).data, Bytes{2});
    EXPECT_EQ(set(4, &module), Writes{});
    EXPECT_EQ(module, 1);
    EXPECT_EQ(p_->get(kDevice, 9, 1).data, Bytes{2});
}

}  // namespace
