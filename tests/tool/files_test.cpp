// The stored-file commands against the real driver and a simulated camera:
// what lands on disk opens in ordinary tools, what the camera was asked for,
// and what an interruption leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/support/kernel_test.h"
#include "tests/tool/tool_fixture.h"

namespace pavtest {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::uint8_t kReadItem = 0x05;  // the camera's request that reads object data

std::size_t objectReads(sim::SimCamera* camera) {
    std::size_t n = 0;
    for (const sim::VendorRequestRecord& r : camera->requestLog())
        if (r.request == kReadItem) ++n;
    return n;
}

// Every file the tool wrote is one an ordinary program opens.
void expectFilesOpen(const std::string& dir, std::size_t expectedCount) {
    std::vector<std::string> files = filesUnder(dir);
    ASSERT_EQ(files.size(), expectedCount) << dir;
    bool ffprobe = haveFfprobe();
    for (const std::string& f : files) {
        std::string path = dir + "/" + f;
        std::string ext = fs::path(f).extension().string();
        if (ext == ".jpg") {
            int w = 0, h = 0;
            EXPECT_TRUE(decodesAsJpeg(readFile(path), &w, &h)) << path;
            EXPECT_GT(w, 0);
        } else if (ext == ".wav" || ext == ".avi") {
            if (ffprobe) {
                EXPECT_EQ(probe(path), ext == ".wav" ? "wav" : "avi") << path;
            }
        } else {
            ADD_FAILURE() << "unexpected file " << path;
        }
    }
}

class ToolFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(host.plug(scenarioNamed("files")));
        camera = host.camera("files");
        ASSERT_NE(camera, nullptr);
        out = privateDir() + "/photos";
        camera->withStore([&](sim::ObjectStore& store) {
            const sim::Memory& memory = store.memory(store.currentMemory());
            count = memory.objects().size();
            for (const sim::StoredObject& o : memory.objects())
                if (o.kind == sim::ObjectKind::Picture || o.kind == sim::ObjectKind::PictureWithThumbnail) ++pictures;
        });
        ASSERT_GE(count, 5u) << "the default camera holds a few files of each kind";
    }
    ToolHost host;
    sim::SimCamera* camera = nullptr;
    std::string out;
    std::size_t count = 0;     // files the camera holds
    std::size_t pictures = 0;  // of them pictures
};

TEST_F(ToolFiles, ListingInJsonParsesAndNamesEveryStoredFile) {
    ToolRun r = runTool({"--json", "ls"});
    ASSERT_EQ(r.code, 0) << r.err;
    json list = json::parse(r.out);
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), count) << r.out;
    std::size_t n = 1;
    for (const json& o : list) {
        EXPECT_EQ(o["number"].get<std::size_t>(), n++);
        EXPECT_GT(o["size"].get<std::uint64_t>(), 0u);
        EXPECT_TRUE(o["kind"] == "picture" || o["kind"] == "sound" || o["kind"] == "clip") << o;
    }
    ToolRun s = runTool({"--json", "summary"});
    ASSERT_EQ(s.code, 0) << s.err;
    json summary = json::parse(s.out);
    EXPECT_EQ(summary["model"], "PAV512");
    ASSERT_EQ(summary["storages"].size(), 1u);
    EXPECT_GT(summary["storages"][0]["capacity"].get<std::uint64_t>(), 0u);
}

TEST_F(ToolFiles, GetAllTwiceWithSkipExistingReadsNoObjectDataTheSecondTime) {
    ToolRun first = runTool({"--json", "get", "--all", "-o", out});
    ASSERT_EQ(first.code, 0) << first.err;
    json j = json::parse(first.out);
    EXPECT_EQ(j["downloaded"].size(), count);
    expectFilesOpen(out, count);
    EXPECT_GT(objectReads(camera), 0u) << "the first run read the objects";

    camera->clearRequestLog();
    ToolRun second = runTool({"--json", "get", "--all", "--skip-existing", "-o", out});
    ASSERT_EQ(second.code, 0) << second.err;
    json k = json::parse(second.out);
    EXPECT_EQ(k["downloaded"].size(), 0u);
    EXPECT_EQ(k["skipped"].size(), count);
    EXPECT_EQ(objectReads(camera), 0u) << "the second run asked the camera for object data";
    EXPECT_FALSE(camera->requestLog().empty()) << "the second run did not reach the camera at all";
    expectFilesOpen(out, count);

    // Without --skip-existing or --overwrite an existing file stops the run.
    ToolRun third = runTool({"get", "1", "-o", out});
    EXPECT_EQ(third.code, 1);
    expectOneSentence(third);
    EXPECT_NE(third.err.find("already exists"), std::string::npos) << third.err;
}

TEST_F(ToolFiles, GetNewFetchesOnlyWhatThisToolHasNotDownloadedFromTheCamera) {
    ToolRun some = runTool({"get", "1-2", "-o", out});
    ASSERT_EQ(some.code, 0) << some.err;
    ToolRun rest = runTool({"--json", "get", "--new", "-o", out});
    ASSERT_EQ(rest.code, 0) << rest.err;
    json j = json::parse(rest.out);
    EXPECT_EQ(j["downloaded"].size(), count - 2) << rest.out;
    EXPECT_EQ(j["skipped"].size(), 2u);
    // The ledger, not the folder, decides: with the files moved away, there
    // is nothing new.
    fs::remove_all(out);
    camera->clearRequestLog();
    ToolRun none = runTool({"--json", "get", "--new", "-o", out});
    ASSERT_EQ(none.code, 0) << none.err;
    EXPECT_EQ(json::parse(none.out)["downloaded"].size(), 0u);
    EXPECT_EQ(objectReads(camera), 0u);
    EXPECT_TRUE(filesUnder(out).empty());
}

TEST_F(ToolFiles, PatternsStdoutAndPreviews) {
    ToolRun r = runTool({"get", "1,4-5", "-o", out, "--pattern", "%k/%3n.%e"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(filesUnder(out), std::vector<std::string>({"clip/005.avi", "picture/001.jpg", "sound/004.wav"}));
    expectFilesOpen(out, 3);

    ToolRun raw = runTool({"get", "1", "--stdout"});
    ASSERT_EQ(raw.code, 0) << raw.err;
    EXPECT_EQ(raw.out, readFile(out + "/picture/001.jpg"));

    std::string thumbs = privateDir() + "/thumbs";
    ToolRun t = runTool({"thumbs", "-o", thumbs});
    ASSERT_EQ(t.code, 0) << t.err;
    std::vector<std::string> files = filesUnder(thumbs);
    ASSERT_EQ(files.size(), pictures);  // the pictures only
    for (const std::string& f : files) {
        std::string bmp = readFile(thumbs + "/" + f);
        ASSERT_EQ(bmp.size(), 14u + 14440u) << f;
        EXPECT_EQ(bmp.substr(0, 2), "BM");
        std::int32_t w = 0, h = 0;
        std::memcpy(&w, bmp.data() + 18, 4);
        std::memcpy(&h, bmp.data() + 22, 4);
        EXPECT_EQ(w, 80);
        EXPECT_EQ(h < 0 ? -h : h, 60);
    }
}

TEST_F(ToolFiles, DeletingAsksUnlessTold) {
    ToolRun refused = runTool({"rm", "1"});
    EXPECT_EQ(refused.code, 2);
    expectOneSentence(refused);
    ToolRun still = runTool({"--json", "ls"});
    ASSERT_EQ(json::parse(still.out).size(), count);

    ToolRun one = runTool({"--json", "rm", "2", "--yes"});
    ASSERT_EQ(one.code, 0) << one.err;
    json listed = json::parse(runTool({"--json", "ls"}).out);
    ASSERT_EQ(listed.size(), count - 1);
    for (const json& o : listed) EXPECT_NE(o["name"], json::parse(one.out)["deleted"][0]);

    ToolRun all = runTool({"rm", "--all", "--yes"});
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_EQ(json::parse(runTool({"--json", "ls"}).out).size(), 0u);
}

TEST_F(ToolFiles, BadRangesAndNamesAreOneSentenceAndExitTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"get", "99", "-o", "x"}, {"get", "3-1"}, {"get", "0"}, {"get", "nosuch.jpg"},
          {"get", "1", "--pattern", "../%f"}, {"get"}, {"rm", "1-99", "--yes"}}) {
        ToolRun r = runTool(args);
        EXPECT_EQ(r.code, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "") << ": " << r.err;
        expectOneSentence(r);
    }
    EXPECT_EQ(objectReads(camera), 0u);
    EXPECT_TRUE(filesUnder(privateDir() + "/x").empty());
}

// A camera with one long clip: its download takes long enough to interrupt.
sim::Scenario longClipCamera(const std::string& name) {
    sim::Scenario s = scenarioNamed(name);
    s.defaultContent = false;
    sim::PlacedObject picture;
    picture.recipe.kind = sim::ObjectKind::PictureWithThumbnail;
    s.objects.push_back(picture);
    sim::PlacedObject clip;
    clip.recipe.kind = sim::ObjectKind::Clip;
    clip.recipe.width = 640;
    clip.recipe.height = 480;
    clip.recipe.frames = 120;
    clip.recipe.seed = 7;
    s.objects.push_back(clip);
    return s;
}

bool partFileIn(const std::string& dir) {
    for (const std::string& f : filesUnder(dir))
        if (f.size() > 5 && f.substr(f.size() - 5) == ".part") return true;
    return false;
}

TEST(ToolInterrupt, CtrlCMidDownloadLeavesNoPartialFileAndTheNextRunCompletesIt) {
    ToolHost host;
    ASSERT_TRUE(host.plug(longClipCamera("long")));
    std::string out = privateDir() + "/photos";
    ToolProcess p({"get", "--all", "-o", out});
    ASSERT_TRUE(waitFor([&] { return partFileIn(out); }, std::chrono::seconds(30)))
        << "the clip's download never started";
    p.signal(SIGINT);
    ToolRun r = p.wait();
    EXPECT_EQ(r.code, 130) << r.err;
    expectOneSentence(r);
    EXPECT_NE(r.err.find("Interrupted"), std::string::npos) << r.err;
    // The picture came first and is whole; of the clip nothing is left.
    for (const std::string& f : filesUnder(out)) {
        EXPECT_EQ(fs::path(f).extension(), ".jpg") << f;
    }
    EXPECT_FALSE(partFileIn(out));

    ToolRun again = runTool({"get", "--all", "--skip-existing", "-o", out});
    ASSERT_EQ(again.code, 0) << again.err;
    expectFilesOpen(out, 2);
}

TEST(ToolInterrupt, ACameraUnpluggedMidDownloadIsOneSentenceAndLeavesNothing) {
    ToolHost host;
    ASSERT_TRUE(host.plug(longClipCamera("gone")));
    std::string out = privateDir() + "/photos";
    ToolProcess p({"get", "2", "-o", out});
    ASSERT_TRUE(waitFor([&] { return partFileIn(out); }, std::chrono::seconds(30)));
    host.unplug("gone");
    ToolRun r = p.wait();
    EXPECT_EQ(r.code, 5) << r.err;
    expectOneSentence(r);
    EXPECT_NE(r.err.find("unplugged"), std::string::npos) << r.err;
    EXPECT_TRUE(filesUnder(out).empty());
}

// A camera that leaves by itself mid-download ends its transfers before the
// bus has taken its removal in: that is an unplug. One whose transfers fail
// while it stays is a failure of the download, named as such.
TEST(ToolInterrupt, ADownloadsFailureIsAnUnplugOnlyWhenTheCameraLeaves) {
    for (bool leaves : {true, false}) {
        SCOPED_TRACE(leaves ? "the camera leaves" : "the camera stays");
        ToolHost host;
        ASSERT_TRUE(host.plug(longClipCamera("failing")));
        std::string out = privateDir() + (leaves ? "/leaves" : "/stays");
        ToolProcess p({"get", "2", "-o", out});
        ASSERT_TRUE(waitFor([&] { return partFileIn(out); }, std::chrono::seconds(30)));
        if (leaves) {
            // Pulled out: its transfers end at once, the removal follows.
            host.camera("failing")->unplug();
        } else {
            host.camera("failing")->stallEndpoint(0x82);
        }
        ToolRun r = p.wait();
        expectOneSentence(r);
        if (leaves) {
            EXPECT_EQ(r.code, 5) << r.err;
            EXPECT_NE(r.err.find("unplugged"), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.code, 1) << r.err;
            EXPECT_NE(r.err.find("failed downloading"), std::string::npos) << r.err;
            // The camera's PTP answer, by its name.
            EXPECT_NE(r.err.find("the camera answered General Error, 0x2002"), std::string::npos)
                << r.err;
        }
        EXPECT_TRUE(filesUnder(out).empty());
    }
}

TEST(ToolErrors, NoCameraIsOneSentenceAndExitThree) {
    ToolHost host;  // serving, with nothing plugged in
    for (const char* command : {"ls", "summary"}) {
        ToolRun r = runTool({command});
        EXPECT_EQ(r.code, 3) << command << ": " << r.err;
        expectOneSentence(r);
        EXPECT_NE(r.err.find("No camera is connected"), std::string::npos) << r.err;
    }
    ToolRun cams = runTool({"--json", "cameras"});
    EXPECT_EQ(cams.code, 0);
    EXPECT_EQ(json::parse(cams.out), json::array());
}

TEST(ToolErrors, NoHostIsOneSentenceAndExitSeven) {
    // Nothing serves this test's runtime folder, and --no-start forbids a start.
    ToolRun r = runTool({"ls"});
    EXPECT_EQ(r.code, 7) << r.err;
    expectOneSentence(r);
}

TEST(ToolErrors, AFullDiskIsOneSentenceAndLeavesNoPartialFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    std::string mount = privateDir() + "/small";
    fs::create_directories(mount);
    if (std::system(("mount -t tmpfs -o size=40k tmpfs '" + mount + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    ToolHost host;
    ASSERT_TRUE(host.plug(scenarioNamed("full")));
    ToolRun r = runTool({"get", "--all", "-o", mount});
    EXPECT_EQ(r.code, 6) << r.err;
    expectOneSentence(r);
    EXPECT_NE(r.err.find("disk is full"), std::string::npos) << r.err;
    EXPECT_FALSE(partFileIn(mount));
    // What did fit is whole.
    for (const std::string& f : filesUnder(mount)) {
        int w = 0, h = 0;
        if (fs::path(f).extension() == ".jpg") {
            EXPECT_TRUE(decodesAsJpeg(readFile(mount + "/" + f), &w, &h)) << f;
        }
    }
    EXPECT_EQ(std::system(("umount '" + mount + "'").c_str()), 0);
}

}  // namespace
}  // namespace pavtest
