// The picture controls: what each value writes to the video processor,
// worked out here by hand from the controls' arithmetic, the range check and
// the colour control's flags and table.
#include <gtest/gtest.h>

#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/properties/prop_test_util.h"

using namespace proptest;

namespace {

const GUID& kPicture = pav512::kPropertySetPicture;
using Writes = std::vector<sim::RegisterWrite>;

class PictureSet : public ::testing::Test {
  protected:
    void SetUp() override {
        h_ = std::make_unique<pavtest::CameraHarness>(
            options(scenarioFor(::testing::UnitTest::GetInstance()->current_test_info()->name())));
        ASSERT_TRUE(h_->started()) << h_->arrivalText();
        p_ = std::make_unique<Properties>(*h_);
    }
    void TearDown() override {
        p_.reset();
        h_.reset();
    }
    // Sets (value, flags) and returns the register writes it caused.
    Writes set(ULONG id, std::uint32_t value, std::uint32_t flags, std::uint8_t* module = nullptr) {
        const std::size_t before = h_->camera().registerWrites().size();
        Answer a = p_->set(kPicture, id, words({value, flags, 0, 0}));
        EXPECT_EQ(a.status, STATUS_SUCCESS);
        if (module) *module = a.moduleStatus;
        else EXPECT_EQ(a.moduleStatus, 0) << "id " << id << " value " << value;
        return writesSince(*h_, before);
    }
    Bytes get(ULONG id) { return p_->get(kPicture, id, 16).data; }

    std::unique_ptr<pavtest::CameraHarness> h_;
    std::unique_ptr<Properties> p_;
};

TEST_F(PictureSet, EveryPlainControlWritesItsRegister) {
    struct Case {
        ULONG id;
        std::uint32_t v;
        std::uint8_t reg, value;
    };
    const Case cases[] = {
        {0, 0, 0x23, 1},     // 0 becomes 1
        {0, 50, 0x23, 70},   // 70 stays
        {0, 51, 0x23, 72},   // 71: (71 + 93) x 2 mod 256
        {0, 100, 0x23, 210}, // 140: (140 + 93) x 2 mod 256
        {1, 50, 0x3E, 147},  // 127 x 149 / 128
        {1, 51, 0x3E, 155},  // 130 + (255 - 130) / 5
        {1, 100, 0x3E, 255},
        {3, 50, 0x40, 127},
        {4, 50, 0x37, 32},
        {5, 100, 0x36, 31},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(set(c.id, c.v, 0), (Writes{{2, c.reg, c.value}})) << "id " << c.id << " v " << c.v;
        // The stored value comes back marked as a plain control.
        EXPECT_EQ(get(c.id), words({c.v, 0, 2, 0})) << "id " << c.id;
    }
}

TEST_F(PictureSet, ValuesOutsideTheRangeAreRefusedBeforeAnythingIsStoredOrWritten) {
    set(0, 40, 0);
    for (std::uint32_t v : {101u, 0xFFFFFFFFu, 0x80000000u}) {
        std::uint8_t module = 0;
        EXPECT_EQ(set(0, v, 0, &module), Writes{}) << v;
        EXPECT_EQ(module, 1) << v;
    }
    EXPECT_EQ(wordAt(get(0), 0), 40u);
    Bytes raw = words({101, 0, 0, 0});
    EXPECT_EQ(request(h_->device(), kPicture, 4, raw, true), STATUS_UNSUCCESSFUL);
}

TEST_F(PictureSet, TheColourControlFollowsItsFlagsAndRowsOfFifteen) {
    // Flags bit 1: the table, row v / 15.
    EXPECT_EQ(set(7, 100, 2), (Writes{{2, 0x27, 1}, {2, 0x41, 0x6D}, {2, 0x42, 0x1A}, {2, 0x43, 0x00}}));
    EXPECT_EQ(set(7, 14, 2), (Writes{{2, 0x27, 1}, {2, 0x41, 0x00}, {2, 0x42, 0x1A}, {2, 0x43, 0x67}}));
    EXPECT_EQ(set(7, 45, 2), (Writes{{2, 0x27, 1}, {2, 0x41, 0x0D}, {2, 0x42, 0x00}, {2, 0x43, 0x1A}}));
    // Bit 0 wins over bit 1 and switches the table off.
    EXPECT_EQ(set(7, 100, 3), (Writes{{2, 0x27, 0}}));
    EXPECT_EQ(set(7, 60, 1), (Writes{{2, 0x27, 0}}));
    // No flags are stored as bit 0.
    EXPECT_EQ(set(7, 30, 0), (Writes{{2, 0x27, 0}}));
    EXPECT_EQ(get(7), words({30, 1, 3, 0}));
    // Other flags touch nothing.
    EXPECT_EQ(set(7, 30, 4), Writes{});
    EXPECT_EQ(get(7), words({30, 4, 3, 0}));
}

}  // namespace
