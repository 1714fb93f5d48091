// Built-in defaults, the values kept in the camera's driver key across
// starts, and the control set's restoring of stored defaults.
#include <gtest/gtest.h>

#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/camera/camera_test_util.h"
#include "tests/properties/prop_test_util.h"

using namespace proptest;

namespace {

const GUID& kPicture = pav512::kPropertySetPicture;
const GUID& kDevice = pav512::kPropertySetDevice;
const GUID& kControl = pav512::kPropertySetControl;
const GUID& kBandwidth = pav512::kPropertySetB22B;

bool wrote(const std::vector<sim::RegisterWrite>& writes, sim::RegisterWrite w) {
    return std::find(writes.begin(), writes.end(), w) != writes.end();
}

TEST(PropertyDefaults, AFirstStartWithEmptyHivesGivesTheBuiltInDefaults) {
    pavtest::CameraHarness h(options(scenarioFor("first-start")));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    Answer size = p.get(kDevice, 7, 8);
    ASSERT_TRUE(size.ok());
    EXPECT_EQ(size.data, words({352, 288}));
    for (ULONG id : {0u, 1u, 3u, 5u, 7u}) {
        Answer a = p.get(kPicture, id, 16);
        ASSERT_TRUE(a.ok()) << "picture " << id;
        EXPECT_EQ(wordAt(a.data, 0), 50u) << "picture " << id;
        EXPECT_EQ(wordAt(a.data, 4), id == 7 ? 1u : 0u) << "picture " << id;
    }
    EXPECT_EQ(wordAt(p.get(kPicture, 4, 16).data, 0), 31u);
    EXPECT_EQ(p.get(kBandwidth, 0, 1).data, Bytes{5});
    EXPECT_EQ(p.get(kDevice, 9, 1).data, Bytes{1});
    EXPECT_EQ(p.get(kDevice, 2, 32).data, Bytes(32, 0));
}

TEST(PropertyPersistence, AValueSetIsSavedAtStopAndReadBackAtTheNextStart) {
    const sim::Scenario s = scenarioFor("saved-at-stop");
    {
        pavtest::CameraHarness h(options(s));
        ASSERT_TRUE(h.started()) << h.arrivalText();
        Properties p(h);
        ASSERT_TRUE(p.set(kPicture, 0, words({80, 0, 0, 0})).ok());
        // Nothing is written until the stop.
        EXPECT_EQ(stored(s, kPicture, 0, u"Value"), std::nullopt);
    }
    std::optional<Bytes> value = stored(s, kPicture, 0, u"Value");
    ASSERT_TRUE(value.has_value()) << "no {38CE9640-DB87-11D6-A406-00A024AD7171}\\0 \"Value\"";
    EXPECT_EQ(value->size(), 16u);
    EXPECT_EQ(wordAt(*value, 0), 80u);
    // Every item has its key, named in hexadecimal without leading zeros.
    EXPECT_EQ(stored(s, kDevice, 14, u"Value"), Bytes{0});
    EXPECT_EQ(stored(s, kDevice, 7, u"Value"), words({352, 288}));
    EXPECT_EQ(stored(s, kDevice, 7, u"Default"), std::nullopt);

    pavtest::CameraHarness again(options(s));
    ASSERT_TRUE(again.started()) << again.arrivalText();
    Properties p(again);
    EXPECT_EQ(wordAt(p.get(kPicture, 0, 16).data, 0), 80u);
}

TEST(PropertyPersistence, PoweringTheStreamDownSavesAtOnce) {
    const sim::Scenario s = scenarioFor("saved-at-power-down");
    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    ASSERT_TRUE(p.set(kPicture, 3, words({12, 0, 0, 0})).ok());
    ASSERT_TRUE(setStreamPowerState(h.device(), kPnpStreamPoweredDown));
    EXPECT_EQ(wordAt(stored(s, kPicture, 3, u"Value").value_or(Bytes{}), 0), 12u);
    // Powering up again saves nothing new.
    ASSERT_TRUE(p.set(kPicture, 3, words({13, 0, 0, 0})).ok());
    ASSERT_TRUE(setStreamPowerState(h.device(), kPnpStreamPoweredUp));
    EXPECT_EQ(wordAt(stored(s, kPicture, 3, u"Value").value_or(Bytes{}), 0), 12u);
}

TEST(PropertyPersistence, StoredValuesOfAnotherLengthAndAMissingValue) {
    const sim::Scenario s = scenarioFor("odd-values");
    { pavtest::CameraHarness first(options(s)); }  // makes the keys
    // Longer than the property: not this property's value.
    store(s, kPicture, 0, u"Value", Bytes(20, 7));
    // Shorter: fills the property from its start.
    store(s, kDevice, 2, u"Value", Bytes{'a', 'b', 'c'});
    // No "Value": the stored "Default" stands in.
    erase(s, kPicture, 5, u"Value");
    store(s, kPicture, 5, u"Default", word(44));
    // Neither: the built-in default.
    erase(s, kPicture, 1, u"Value");

    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    EXPECT_EQ(p.get(kPicture, 0, 16).data, words({50, 0, 2, 0}));
    Bytes name(32, 0);
    name[0] = 'a', name[1] = 'b', name[2] = 'c';
    EXPECT_EQ(p.get(kDevice, 2, 32).data, name);
    EXPECT_EQ(wordAt(p.get(kPicture, 5, 16).data, 0), 44u);
    EXPECT_EQ(wordAt(p.get(kPicture, 1, 16).data, 0), 50u);
}

TEST(PropertyDefaults, ReloadingTakesStoredDefaultsOverBuiltInOnesAppliesThemAndSaysSo) {
    const sim::Scenario s = scenarioFor("reload");
    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    ASSERT_TRUE(p.set(kPicture, 0, words({80, 0, 0, 0})).ok());
    ASSERT_TRUE(p.set(kPicture, 1, words({90, 0, 0, 0})).ok());
    store(s, kPicture, 0, u"Default", words({33, 0, 0, 0}));
    camtest::EventLog log(h.device());
    const std::size_t before = h.camera().registerWrites().size();

    ASSERT_TRUE(p.set(kControl, 0, Bytes{0}).ok());
    EXPECT_EQ(wordAt(p.get(kPicture, 0, 16).data, 0), 33u);
    EXPECT_EQ(wordAt(p.get(kPicture, 1, 16).data, 0), 50u);
    auto writes = writesSince(h, before);
    EXPECT_TRUE(wrote(writes, {2, 0x23, 46})) << "33 x 140 / 100 applied";
    EXPECT_TRUE(wrote(writes, {2, 0x3E, 147})) << "the built-in 50 applied";
    EXPECT_EQ(log.raised(false), std::vector<ULONG>{5});
    // A "Default" is read, never written, by the reload.
    EXPECT_EQ(stored(s, kPicture, 1, u"Default"), std::nullopt);
}

TEST(PropertyDefaults, RestoringOnePropertyAppliesItAndLeavesTheOthers) {
    const sim::Scenario s = scenarioFor("restore-one");
    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Properties p(h);
    ASSERT_TRUE(p.set(kPicture, 1, words({90, 0, 0, 0})).ok());
    ASSERT_TRUE(p.set(kPicture, 3, words({10, 0, 0, 0})).ok());
    store(s, kPicture, 1, u"Default", word(20));

    std::size_t before = h.camera().registerWrites().size();
    ASSERT_TRUE(p.restoreDefault(kPicture, 1).ok());
    EXPECT_EQ(wordAt(p.get(kPicture, 1, 16).data, 0), 20u);
    EXPECT_EQ(wordAt(p.get(kPicture, 3, 16).data, 0), 10u);
    // 20 x 255 / 100 = 51, x 149 / 128 = 59, and nothing else.
    EXPECT_EQ(writesSince(h, before), (std::vector<sim::RegisterWrite>{{2, 0x3E, 59}}));

    // Without a stored default the built-in one: 50 x 255 / 100 = 127.
    before = h.camera().registerWrites().size();
    ASSERT_TRUE(p.restoreDefault(kPicture, 3).ok());
    EXPECT_EQ(wordAt(p.get(kPicture, 3, 16).data, 0), 50u);
    EXPECT_EQ(writesSince(h, before), (std::vector<sim::RegisterWrite>{{2, 0x40, 127}}));

    // A property that is not in the table cannot be restored.
    const GUID unknown = {0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
    Answer a = p.restoreDefault(unknown, 0);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.moduleStatus, 1);
}

}  // namespace
