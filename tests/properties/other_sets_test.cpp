// The bandwidth set, the read-only identity sets, the register access set of
// the diagnostics and the regional default of the banding filter.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/camera/camera.h"
#include "driver/camera/camprop.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/properties/prop_test_util.h"

using namespace proptest;

namespace {

const GUID& kBandwidth = pav512::kPropertySetB22B;
const GUID& kSensor = pav512::kPropertySetSensor;
const GUID& kName = pav512::kPropertySet66A4;
const GUID& kRegisters = pav512::kPropertySetD58F;
const GUID& kDevice = pav512::kPropertySetDevice;
using Writes = std::vector<sim::RegisterWrite>;

std::string testName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

Bytes text(const std::string& s, std::size_t length) {
    Bytes b(length, 0);
    std::memcpy(b.data(), s.data(), std::min(s.size(), length));
    return b;
}

TEST(BandwidthSet, TheHighestSettingTheAlternateInUseErrorCheckingAndTheFirmwareText) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    DeviceContext* d = h.device();
    ASSERT_TRUE(p.set(kBandwidth, 0, Bytes{9}).ok());
    EXPECT_EQ(p.get(kBandwidth, 0, 1).data, Bytes{7});
    ASSERT_TRUE(p.set(kBandwidth, 0, Bytes{4}).ok());
    EXPECT_EQ(h.camera().alternateSetting(), 0) << "no mode change while video is closed";

    // Opening video applies the stored setting; a set while open changes it.
    ULONG frame = 0;
    ASSERT_EQ(Camera_Open(d, 320, 240, &frame), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().alternateSetting(), 4);
    EXPECT_EQ(p.get(kBandwidth, 1, 1).data, Bytes{4});
    ASSERT_TRUE(p.set(kBandwidth, 0, Bytes{3}).ok());
    EXPECT_EQ(h.camera().alternateSetting(), 3);
    ASSERT_TRUE(p.set(kBandwidth, 0, Bytes{200}).ok());
    EXPECT_EQ(h.camera().alternateSetting(), 7);
    EXPECT_EQ(p.get(kBandwidth, 1, 1).data, Bytes{7});
    ASSERT_EQ(Camera_Close(d), STATUS_SUCCESS);
    EXPECT_EQ(p.get(kBandwidth, 1, 1).data, Bytes{0});

    ASSERT_TRUE(p.set(kBandwidth, 2, Bytes{1}).ok());
    EXPECT_TRUE(d->camera.acceptBadChecksums.load());
    ASSERT_TRUE(p.set(kBandwidth, 2, Bytes{0}).ok());
    EXPECT_FALSE(d->camera.acceptBadChecksums.load());

    EXPECT_EQ(p.get(kBandwidth, 4, 32).data, text("PAV512 FW 1.03", 32));
}

TEST(IdentitySets, SensorRegistersInformationBlockNameAndFirmwareText) {
    sim::Scenario s = scenarioFor(testName());
    s.powerOnRegisters = {{3, 2, 0x11}, {3, 3, 0x22}, {3, 4, 0x33}};
    s.versionText = "V1.03";
    {
        pavtest::CameraHarness h(options(s));
        ASSERT_TRUE(h.started()) << h.arrivalText();
        Properties p(h);
        EXPECT_EQ(p.get(kSensor, 2, 3).data, (Bytes{0x11, 0x22, 0x33}));
        auto info = h.camera().informationBlock();
        EXPECT_EQ(p.get(kSensor, 6, 22).data, Bytes(info.begin(), info.end()));
        EXPECT_EQ(p.get(kName, 0, 6).data, text("PAV512", 6));
        // No firmware level is listed as having a text.
        EXPECT_EQ(p.get(kSensor, 5, 32).data, text("  N/A ", 32));
    }
    // List the camera's level (0x0103) after one that is not it.
    Bytes levels(32, 0);
    levels[0] = 2;
    levels[1] = 0x01, levels[2] = 0x02;
    levels[3] = 0x01, levels[4] = 0x03;
    store(s, kSensor, 5, u"Value", levels);
    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    EXPECT_EQ(p.get(kSensor, 5, 32).data, text("V1.03  ", 32));
}

class RegisterAccess : public ::testing::Test {
  protected:
    void SetUp() override {
        h_ = std::make_unique<pavtest::CameraHarness>(options(scenarioFor(testName())));
        ASSERT_TRUE(h_->started()) << h_->arrivalText();
        p_ = std::make_unique<Properties>(*h_);
    }
    void TearDown() override {
        p_.reset();
        h_.reset();
    }
    NTSTATUS describe(std::uint8_t space, std::uint32_t first, std::uint16_t count,
                      std::uint32_t width) {
        Bytes d(11);
        d[0] = space;
        std::memcpy(d.data() + 1, &first, 4);
        std::memcpy(d.data() + 5, &count, 2);
        std::memcpy(d.data() + 7, &width, 4);
        return request(h_->device(), kRegisters, 13, d, true);
    }
    NTSTATUS transfer(ULONG id, Bytes& data) { return request(h_->device(), kRegisters, id, data, id == 11); }
    std::unique_ptr<pavtest::CameraHarness> h_;
    std::unique_ptr<Properties> p_;
};

TEST_F(RegisterAccess, TheLimitIsReadFirstAndTheDescriptorSaysWhatMoves) {
    // Storing a descriptor reports failure by design, and it is kept.
    EXPECT_EQ(describe(2, 0x40, 4, 1), STATUS_UNSUCCESSFUL);
    Bytes packed = {2, 0x40, 0, 0, 0, 4, 0, 1, 0, 0, 0};
    EXPECT_EQ(p_->get(kRegisters, 13, 11).data, packed);
    Bytes data(65535, 0);
    EXPECT_EQ(transfer(12, data), STATUS_BUFFER_TOO_SMALL) << "no limit before identifier 10";

    // Identifier 10: the information block's words and the limit, also "failed".
    Answer limit = p_->get(kRegisters, 10, 6);
    EXPECT_EQ(limit.moduleStatus, 1);
    EXPECT_EQ(limit.data, (Bytes{0x04, 0x00, 0xFF, 0x00, 0xFF, 0x00}));

    const std::size_t before = h_->camera().registerWrites().size();
    data[0] = 1, data[1] = 2, data[2] = 3, data[3] = 4;
    ASSERT_EQ(transfer(11, data), STATUS_SUCCESS);
    EXPECT_EQ(writesSince(*h_, before),
              (Writes{{2, 0x40, 1}, {2, 0x41, 2}, {2, 0x42, 3}, {2, 0x43, 4}}));
    ASSERT_EQ(Camera_WriteRegister(h_->device(), CAMERAACCESS_VP, 0x42, 0x99), STATUS_SUCCESS);
    Bytes read(65535, 0xEE);
    ASSERT_EQ(transfer(12, read), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 5), (Bytes{1, 2, 0x99, 4, 0xEE}));
    // A caller with room for less than the count is refused.
    Bytes small(2);
    EXPECT_EQ(PropMan_PropertyRequest(h_->device(), &kRegisters, 12, small.data(), 2, 2, false, true),
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(RegisterAccess, CountsAndRegistersOutOfReachAreRefused) {
    p_->get(kRegisters, 10, 6);
    Bytes data(65535, 0);
    const std::size_t before = h_->camera().registerWrites().size();
    struct Case {
        std::uint32_t first;
        std::uint16_t count;
        std::uint32_t width;
        NTSTATUS expected;
    };
    const Case cases[] = {{0, 300, 1, STATUS_UNSUCCESSFUL},
                          {0, 256, 1, STATUS_UNSUCCESSFUL},
                          {0, 0, 1, STATUS_UNSUCCESSFUL},
                          {256, 1, 1, STATUS_UNSUCCESSFUL},
                          {0, 200, 2, STATUS_BUFFER_TOO_SMALL},
                          {0, 1, 0x80000000u, STATUS_BUFFER_TOO_SMALL}};
    for (const Case& c : cases) {
        describe(2, c.first, c.count, c.width);
        EXPECT_EQ(transfer(11, data), c.expected) << c.count << " x " << c.width;
        EXPECT_EQ(transfer(12, data), c.expected) << c.count << " x " << c.width;
    }
    EXPECT_EQ(writesSince(*h_, before), Writes{});
}

TEST(RegionalDefault, LocaleTextsAndTheFiftyHertzList) {
    ULONG locale = 0;
    EXPECT_TRUE(CamProp_ParseLocale(u"00000809", &locale));
    EXPECT_EQ(locale, 0x0809u);
    EXPECT_TRUE(CamProp_ParseLocale(u"c0a", &locale));
    EXPECT_EQ(locale, 0x0C0Au);
    for (const char16_t* bad : {u"", u"zz", u"0809 ", u"08-09", u"123456789"})
        EXPECT_FALSE(CamProp_ParseLocale(bad, &locale));
    EXPECT_TRUE(CamProp_FiftyHertzLocale(0x0809));
    EXPECT_TRUE(CamProp_FiftyHertzLocale(0x1404));
    EXPECT_TRUE(CamProp_FiftyHertzLocale(0x400A));
    EXPECT_FALSE(CamProp_FiftyHertzLocale(0x0409));
    EXPECT_FALSE(CamProp_FiftyHertzLocale(0x0411));
}

TEST(RegionalDefault, TheBandingFilterStartsAtTheSystemLocalesMains) {
    const std::pair<std::u16string, std::uint8_t> cases[] = {
        {u"00000809", 1}, {u"0409", 0}, {u"zz", 0}, {u"407", 1}};
    int n = 0;
    for (const auto& [locale, expected] : cases) {
        setLocale(locale);
        pavtest::CameraHarness h(options(scenarioFor(testName() + std::to_string(n++))));
        ASSERT_TRUE(h.started()) << h.arrivalText();
        Properties p(h);
        EXPECT_EQ(p.get(kDevice, 6, 1).data, Bytes{expected}) << "locale " << n;
    }
    setLocale(u"409");
}

}  // namespace
