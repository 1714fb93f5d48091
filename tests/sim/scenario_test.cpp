// Scenario files: what they set, how broken ones are refused, and the
// default camera a new user meets.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/sim/sim_test_util.h"
#include "tests/support/kernel_test.h"

using namespace simtest;

namespace {

std::string writeFile(const std::string& name, const std::string& text) {
    std::string path = pavtest::privateDir() + "/" + name;
    std::ofstream(path) << text;
    return path;
}

TEST(SimScenario, AFileSetsEveryPartOfTheCamera) {
    std::string path = writeFile("full.json", R"({
        // comments are allowed
        "name": "lab-2",
        "sensorType": 2, "sensorRevision": 3,
        "chipRelease": [1, 1], "firmwareLevel": "0x0102",
        "interfaceNumber": 1, "precedingInterfaces": 1,
        "eraseTime": 64, "infoWords": [1, 2],
        "firmwareText": "T", "versionText": "V9",
        "objects": [
            {"kind": 8, "width": 64, "height": 48, "memory": 2, "progressive": true,
             "greyscale": true},
            {"kind": 2, "soundBytes": 3000, "memory": 2, "number": 77}
        ],
        "memoryCapacities": {"2": 1048576},
        "currentMemory": 2, "maxAlternate": 5,
        "timing": {"bootDelayMs": 10, "deleteMs": 5, "throttled": false},
        "faults": {"isoDropEvery": 9, "stalledEndpoints": ["0x82"],
                   "shortControlReads": [{"request": 132, "length": 3}],
                   "failedRequests": [{"request": "0x83", "index": 2, "count": 3},
                                      {"request": 1}],
                   "descriptor": {"missingAlternate": 6}, "strictReads": true}
    })");
    std::string error = "unset";
    sim::Scenario s = sim::loadScenario(path, &error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(s.name, "lab-2");
    EXPECT_EQ(s.firmwareLevel, 0x0102);
    EXPECT_EQ(s.chipRelease[1], 1);
    EXPECT_FALSE(s.defaultContent) << "a file that lists objects means just those";
    ASSERT_EQ(s.objects.size(), 2u);
    EXPECT_EQ(s.objects[1].recipe.number, 77u);
    EXPECT_TRUE(s.objects[0].recipe.progressive);
    EXPECT_TRUE(s.objects[0].recipe.greyscale);
    EXPECT_FALSE(s.objects[1].recipe.progressive);
    EXPECT_FALSE(s.timing.throttled);
    EXPECT_EQ(s.faults.stalledEndpoints, std::vector<std::uint8_t>{0x82});
    EXPECT_EQ(s.faults.descriptor.missingAlternate, 6);
    EXPECT_TRUE(s.faults.strictReads);
    ASSERT_EQ(s.faults.failedRequests.size(), 2u);
    EXPECT_EQ(s.faults.failedRequests[0].request, 0x83);
    EXPECT_EQ(s.faults.failedRequests[0].value, -1);
    EXPECT_EQ(s.faults.failedRequests[0].index, 2);
    EXPECT_EQ(s.faults.failedRequests[0].count, 3);
    EXPECT_EQ(s.faults.failedRequests[1].count, 1) << "once unless told";
    EXPECT_EQ(sim::instancePathFor(s), "USB\\VID_F1A5&PID_0B2D\\sim-lab-2");

    Host host(s);
    EXPECT_TRUE(host.camera().contentProblems().empty());
    EXPECT_EQ(host.vendorIn(0x84, 0, 22).data.size(), 3u);
    EXPECT_EQ(host.vendorIn(0x80, 0, 1).data, std::vector<std::uint8_t>{2});
    EXPECT_EQ(host.vendorIn(0x83, 0x0200, 4).data, be32(2));
    EXPECT_EQ(host.vendorIn(0x83, 0x0000, 4).data, be32(0));
    EXPECT_EQ(host.control(0xC0, 0x83, 0x0200, 2, {}, 4).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(host.select(6), USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host.select(5), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.select(6 + 1), USBD_STATUS_NO_BANDWIDTH);
    EXPECT_TRUE(host.camera().halted(0x82));
    EXPECT_EQ(host.readRegister(2, 6), 2);
}

TEST(SimScenario, BrokenFieldsAreNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"objects": [{"kind": 8}, {"kind": 2}, {"kind": 5}]})",
         "objects[2].kind: must be one of 1, 2, 3, 8, 12"},
        {R"({"objects": [{"width": 64}]})",
         "objects[0].kind: missing; must be one of 1, 2, 3, 8, 12"},
        {R"({"objects": [{"kind": 12, "thumbnailWidth": 30}]})",
         "objects[0].thumbnailWidth: must be a multiple of 4"},
        {R"({"objects": [{"kind": 8, "colour": 1}]})", "objects[0].colour: unknown field"},
        {R"({"objects": [{"kind": 8, "progressive": 1}]})",
         "objects[0].progressive: must be true or false"},
        {R"({"sensorTipe": 2})", "sensorTipe: unknown field"},
        {R"({"interfaceNumber": 4})", "interfaceNumber: must be an integer from 0 to 3"},
        {R"({"firmwareLevel": "level two"})", "firmwareLevel: must be an integer from 0 to 65535"},
        {R"({"chipRelease": [1, 2, 3]})", "chipRelease: must hold two bytes"},
        {R"({"timing": {"bootDelayMs": -1}})",
         "timing.bootDelayMs: must be an integer from 0 to 3600000"},
        {R"({"timing": {"throttled": 1}})", "timing.throttled: must be true or false"},
        {R"({"faults": {"stalledEndpoints": [7]}})",
         "faults.stalledEndpoints[0]: must be one of 129, 130, 131, 5 (0x81, 0x82, 0x83, 0x05)"},
        {R"({"faults": {"descriptor": {"missingAlternate": 9}}})",
         "faults.descriptor.missingAlternate: must be an integer from -1 to 7"},
        {R"({"objects": [{"kind": 8, "number": 5}, {"kind": 2, "number": 5, "memory": 1},
                         {"kind": 2, "number": 5}]})",
         "objects[2].number: 5 is already used by objects[0] in memory 0"},
        {R"({"faults": {"failedRequests": [{"value": 1}]}})",
         "faults.failedRequests[0].request: missing"},
        {R"({"faults": {"failedRequests": [{"request": 1}, {"request": 256}]}})",
         "faults.failedRequests[1].request: must be an integer from 0 to 255"},
        {R"({"faults": {"failedRequests": [{"request": 1, "count": 0}]}})",
         "faults.failedRequests[0].count: must be an integer from 1 to 1000000"},
        {R"({"faults": {"failedRequests": [{"request": 1, "wIndex": 0}]}})",
         "faults.failedRequests[0].wIndex: unknown field"},
        {R"({"faults": {"failedRequests": {"request": 1}}})",
         "faults.failedRequests: must be an array"},
        {R"({"memoryCapacities": {"16": 100}})",
         "memoryCapacities.16: must be an integer from 0 to 15"},
        {R"({"name": "a/b"})", "name: must be letters, digits, '-' or '_'"},
        {R"([1, 2])", "(top level): must be an object"},
    };
    for (const auto& [text, message] : cases) {
        std::string error;
        sim::Scenario s = sim::parseScenario(text, &error);
        EXPECT_EQ(error, message) << text;
        EXPECT_EQ(s.name, "default") << "a refused file gives the default scenario";
    }
    std::string error;
    sim::loadScenario(writeFile("bad.json", "{\"name\": "), &error);
    EXPECT_NE(error.find("bad.json: not valid JSON"), std::string::npos) << error;
    // A number no double holds is refused as the text it is, not thrown.
    for (const char* text :
         {R"({"eraseTime": 2E2222222})", R"({"timing": {"deleteMs": -1e999}})"}) {
        sim::Scenario s = sim::parseScenario(text, &error, "huge.json");
        EXPECT_NE(error.find("huge.json: not valid JSON ("), std::string::npos) << error;
        EXPECT_NE(error.find("number overflow"), std::string::npos) << error;
        EXPECT_EQ(s.name, "default");
    }
    sim::loadScenario(pavtest::privateDir() + "/missing.json", &error);
    EXPECT_NE(error.find("missing.json: cannot be read"), std::string::npos) << error;
}

TEST(SimScenario, ContentThatCannotBeMadeIsReportedNamingTheObject) {
    sim::Scenario s = quickScenario();
    sim::PlacedObject picture;
    picture.recipe.number = 7;
    picture.recipe.width = picture.recipe.height = 64;
    sim::PlacedObject bigFrames;
    bigFrames.recipe.kind = sim::ObjectKind::Clip;
    bigFrames.recipe.width = bigFrames.recipe.height = 1024;
    bigFrames.recipe.frames = 1;
    bigFrames.recipe.quality = 100;
    sim::PlacedObject again = picture;
    again.memory = 0;
    s.objects = {picture, bigFrames, again};
    Host host(s);
    const std::vector<std::string>& problems = host.camera().contentProblems();
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].rfind("objects[1] (memory 0): quality: ", 0), 0u) << problems[0];
    EXPECT_NE(problems[0].find("more than a clip frame may (65535)"), std::string::npos)
        << problems[0];
    EXPECT_EQ(problems[1], "objects[2] (memory 0, number 7): number: 7 is already in use");
    EXPECT_EQ(host.vendorIn(0x83, 0, 4).data, be32(1)) << "only what could be made is there";

    // Objects built by hand from chosen bytes may hold longer frames: that is
    // how the frame finder is tried on frames straddling its window.
    sim::StoredObject clip;
    clip.kind = sim::ObjectKind::Clip;
    clip.clipVideo.assign(70000, 0);
    clip.frameLengths = {70000};
    sim::Memory m;
    EXPECT_NO_THROW(m.add(clip));
    ASSERT_EQ(m.objects().size(), 1u);
    EXPECT_EQ(m.objects()[0].frameLengths[0], 70000u);
}

TEST(SimScenario, TheExampleFileLoadsAndMakesItsObjects) {
    std::string error = "unset";
    sim::Scenario s = sim::loadScenario(PAV_SOURCE_DIR "/sim/scenarios/example.json", &error);
    ASSERT_EQ(error, "");
    EXPECT_TRUE(s.defaultContent);
    s.timing.bootDelayMs = 0;
    Host host(s);
    EXPECT_TRUE(host.camera().contentProblems().empty());
    // The file's three objects come after what the default content keeps in
    // memory 1.
    const auto defaultInSecond = static_cast<std::uint32_t>(
        sim::ObjectStore::defaultContent().memory(1).objects().size());
    EXPECT_EQ(host.vendorIn(0x83, 0x0100, 4).data, be32(defaultInSecond + 3));
    EXPECT_GE(readBe32(host.vendorIn(0x83, 0x0000, 4).data.data()), 5u);
}

TEST(SimScenario, TheDefaultCameraHasSomethingToShow) {
    sim::Scenario s = sim::defaultScenario();
    s.timing.bootDelayMs = 0;
    Host host(s);
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    ControlResult count = host.vendorIn(0x83, 0, 4);
    ASSERT_EQ(count.status, USBD_STATUS_SUCCESS);
    std::uint32_t n = readBe32(count.data.data());
    ASSERT_GE(n, 5u);
    ASSERT_EQ(host.memoryCommand(0x85, 0, 0, {}).status, USBD_STATUS_SUCCESS);
    ControlResult table = host.bulkIn(4 * n);
    ASSERT_EQ(table.data.size(), 4 * n);
    int pictures = 0, sounds = 0, clips = 0, clipsWithSound = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t flags = (readBe32(&table.data[i * 4]) >> 24) & 0xF;
        pictures += flags == 0x8;
        sounds += flags == 0x2;
        clips += flags == 0x1;
        clipsWithSound += flags == 0x3;
    }
    EXPECT_GE(pictures, 2);
    EXPECT_EQ(sounds, 1);
    EXPECT_EQ(clips, 1);
    EXPECT_EQ(clipsWithSound, 1);
    EXPECT_EQ(host.readRegister(2, 6), 16) << "a VGA sensor";
}

}  // namespace
