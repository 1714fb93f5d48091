// capture and snapshot as a user runs them, against the real driver and a
// simulated camera: what ffprobe and a JPEG decoder make of the files, two
// programs wanting the video at once, stills downloaded while video records,
// and what a full disk, an unplugged camera and Ctrl-C leave.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "library/capture/video_capture.h"
#include "tests/support/kernel_test.h"
#include "tests/tool/tool_fixture.h"

namespace pavtest {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The JPEG images of a raw MJPEG stream, read marker by marker (so a byte
// pair that looks like a marker inside a segment does not cut a frame).
// False when bytes outside a frame or a frame cut short are found.
bool splitJpegs(const std::string& s, std::vector<std::string>* out) {
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    std::size_t i = 0;
    while (i < s.size()) {
        if (i + 4 > s.size() || at(i) != 0xFF || at(i + 1) != 0xD8) return false;
        std::size_t p = i + 2;
        bool ended = false;
        while (!ended) {
            if (p + 2 > s.size() || at(p) != 0xFF) return false;
            const unsigned char marker = at(p + 1);
            if (marker == 0xD9) {
                p += 2;
                ended = true;
                break;
            }
            if (p + 4 > s.size()) return false;
            p += 2 + (static_cast<std::size_t>(at(p + 2)) << 8 | at(p + 3));
            if (marker == 0xDA) {
                // Entropy-coded data to the next marker that is neither a
                // stuffed zero nor a restart.
                while (p + 1 < s.size() &&
                       !(at(p) == 0xFF && at(p + 1) != 0 && (at(p + 1) < 0xD0 || at(p + 1) > 0xD7)))
                    ++p;
            }
        }
        out->push_back(s.substr(i, p - i));
        i = p;
    }
    return true;
}

void expectDecodableFrames(const std::string& stream, std::size_t count, int width, int height) {
    std::vector<std::string> frames;
    ASSERT_TRUE(splitJpegs(stream, &frames)) << "bytes outside whole JPEG frames";
    ASSERT_EQ(frames.size(), count);
    for (const std::string& f : frames) {
        int w = 0, h = 0;
        EXPECT_TRUE(decodesAsJpeg(f, &w, &h));
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
    }
}

// The temporary file of a recording in progress under `dir` (empty if none).
std::string partFileIn(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (name.size() > 5 && name[0] == '.' && name.ends_with(".part")) return e.path().string();
    }
    return std::string();
}

// Until the recording to `dir` has written a few frames.
bool recording(const std::string& dir) {
    return waitFor(
        [&] {
            std::string part = partFileIn(dir);
            std::error_code ec;
            return !part.empty() && fs::file_size(part, ec) > 20000 && !ec;
        },
        std::chrono::milliseconds(30000));
}

class ToolCapture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(haveFfprobe()) << "ffprobe (ffmpeg) is one of the packages ./run installs";
        ASSERT_TRUE(host.plug(scenarioNamed("video")));
        camera = host.camera("video");
        ASSERT_NE(camera, nullptr);
        dir = privateDir() + "/video";
        fs::create_directories(dir);
    }
    ToolHost host;
    sim::SimCamera* camera = nullptr;
    std::string dir;
};

TEST_F(ToolCapture, AnAviOfNFramesIsNFramesOfMjpgAtTheSizeAsked) {
    ToolRun r = runTool({"--json", "capture", "--frames", "12", "-o", dir + "/clip.avi"});
    ASSERT_EQ(r.code, 0) << r.err;
    json summary = json::parse(r.out);
    EXPECT_EQ(summary["frames"], 12);
    EXPECT_EQ(summary["complete"], true);
    EXPECT_EQ(summary["format"], "avi");
    EXPECT_EQ(summary["bytes"], fs::file_size(dir + "/clip.avi"));
    VideoProbe v = probeVideo(dir + "/clip.avi");
    EXPECT_TRUE(v.ok) << v.errors;
    EXPECT_EQ(v.container, "avi");
    EXPECT_EQ(v.codec, "mjpeg");
    EXPECT_EQ(v.width, 320);
    EXPECT_EQ(v.height, 240);
    EXPECT_EQ(v.frames, 12);
    // The rate follows from the stream's frame interval.
    EXPECT_NEAR(v.frameRate, 1000.0 / summary["frame_interval_ms"].get<double>(), 0.01);
    EXPECT_EQ(filesUnder(dir), std::vector<std::string>{"clip.avi"}) << "nothing else is left behind";

    ToolRun big = runTool({"capture", "-q", "--size", "640x480", "--frames", "3", "--skip", "2", "-o",
                           dir + "/big.avi"});
    ASSERT_EQ(big.code, 0) << big.err;
    EXPECT_TRUE(big.err.empty()) << "-q prints nothing: " << big.err;
    v = probeVideo(dir + "/big.avi");
    EXPECT_EQ(v.width, 640);
    EXPECT_EQ(v.height, 480);
    EXPECT_EQ(v.frames, 3);
}

TEST_F(ToolCapture, RawMjpegIsWholeDecodableFramesInAFileAndOnStandardOutput) {
    ToolRun r = runTool({"capture", "-q", "--frames", "8", "-o", dir + "/clip.mjpeg"});
    ASSERT_EQ(r.code, 0) << r.err;
    expectDecodableFrames(readFile(dir + "/clip.mjpeg"), 8, 320, 240);
    VideoProbe v = probeVideo(dir + "/clip.mjpeg", "mjpeg");
    EXPECT_EQ(v.frames, 8) << v.errors;

    // What a player reads from a pipe: nothing but the frames on standard
    // output, the summary on standard error.
    ToolRun piped = runTool({"--json", "capture", "--frames", "6", "--size", "160x120", "-o", "-"});
    ASSERT_EQ(piped.code, 0) << piped.err;
    expectDecodableFrames(piped.out, 6, 160, 120);
    EXPECT_NE(piped.err.find("\"frames\": 6"), std::string::npos) << piped.err;

    ToolRun flag = runTool({"capture", "-q", "--frames", "2", "--stdout"});
    ASSERT_EQ(flag.code, 0) << flag.err;
    expectDecodableFrames(flag.out, 2, 320, 240);
}

TEST_F(ToolCapture, SnapshotWritesOneWholeJpegAndNothingElse) {
    ToolRun r = runTool({"--json", "snapshot", "-o", dir + "/shot.jpg"});
    ASSERT_EQ(r.code, 0) << r.err;
    int w = 0, h = 0;
    std::string shot = readFile(dir + "/shot.jpg");
    EXPECT_TRUE(decodesAsJpeg(shot, &w, &h));
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    std::vector<std::string> frames;
    EXPECT_TRUE(splitJpegs(shot, &frames));
    EXPECT_EQ(frames.size(), 1u);
    json summary = json::parse(r.out);
    EXPECT_EQ(summary["skipped"], 5) << "a few frames pass while the exposure settles";
    EXPECT_EQ(summary["bytes"], shot.size());
    EXPECT_EQ(filesUnder(dir), std::vector<std::string>{"shot.jpg"});

    ToolRun again = runTool({"snapshot", "-o", dir + "/shot.jpg"});
    EXPECT_NE(again.code, 0);
    expectOneSentence(again);
    EXPECT_NE(again.err.find("already exists"), std::string::npos);
    ToolRun replaced = runTool({"snapshot", "-q", "--overwrite", "--size", "176x144", "-o", dir + "/shot.jpg"});
    ASSERT_EQ(replaced.code, 0) << replaced.err;
    EXPECT_TRUE(decodesAsJpeg(readFile(dir + "/shot.jpg"), &w, &h));
    EXPECT_EQ(w, 176);
}

TEST_F(ToolCapture, ASizeTheCameraDoesNotMakeIsRefusedNamingTheSizesItMakes) {
    ToolRun r = runTool({"capture", "--size", "100x100", "--frames", "3", "-o", dir + "/clip.avi"});
    EXPECT_EQ(r.code, 2);
    expectOneSentence(r);
    EXPECT_NE(r.err.find("100x100"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("640x480"), std::string::npos) << r.err;
    EXPECT_TRUE(filesUnder(dir).empty());
    ToolRun snap = runTool({"snapshot", "--size", "1280x720", "-o", dir + "/x.jpg"});
    EXPECT_EQ(snap.code, 2);
    expectOneSentence(snap);
}

TEST_F(ToolCapture, ASecondRecordingHearsBusyAndTheFirstFinishesWhole) {
    ToolProcess first({"--json", "capture", "--seconds", "6", "-o", dir + "/first.avi"});
    ASSERT_TRUE(recording(dir));
    ToolRun second = runTool({"capture", "--frames", "5", "-o", dir + "/second.avi"});
    EXPECT_EQ(second.code, 4);
    expectOneSentence(second);
    EXPECT_NE(second.err.find("busy"), std::string::npos) << second.err;
    EXPECT_FALSE(partFileIn(dir).empty()) << "the second one was refused while the first recorded";
    ToolRun snap = runTool({"snapshot", "-o", dir + "/shot.jpg"});
    EXPECT_EQ(snap.code, 4) << snap.err;

    ToolRun one = first.wait();
    ASSERT_EQ(one.code, 0) << one.err;
    json summary = json::parse(one.out);
    VideoProbe v = probeVideo(dir + "/first.avi");
    EXPECT_TRUE(v.ok) << v.errors;
    EXPECT_EQ(v.frames, summary["frames"].get<long>());
    EXPECT_GT(v.frames, 30);
    EXPECT_EQ(filesUnder(dir), std::vector<std::string>{"first.avi"});

    // The lock went with the first recording.
    ToolRun after = runTool({"capture", "-q", "--frames", "3", "-o", dir + "/after.avi"});
    EXPECT_EQ(after.code, 0) << after.err;
}

TEST_F(ToolCapture, AStreamHeldByAnotherCaptureProgramIsBusy) {
    // A capture program that runs the stream without taking the lock.
    std::string error;
    std::unique_ptr<pavcap::VideoCapture> other = pavcap::VideoCapture::open(1, &error);
    ASSERT_NE(other, nullptr) << error;
    ASSERT_TRUE(other->start(pavcap::Format{})) << other->error();
    ToolRun r = runTool({"capture", "--frames", "3", "-o", dir + "/clip.avi"});
    EXPECT_EQ(r.code, 4);
    expectOneSentence(r);
    EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
    EXPECT_TRUE(filesUnder(dir).empty());
    other->stop();
    ToolRun later = runTool({"capture", "-q", "--frames", "3", "-o", dir + "/clip.avi"});
    EXPECT_EQ(later.code, 0) << later.err;
}

// Stills and video at once: the stored files come down through the still
// camera interface while the video stream runs.
TEST_F(ToolCapture, StillsAskedForWhileVideoRecordsComeDownAndBothAreWhole) {
    ToolRun list = runTool({"--json", "ls"});
    ASSERT_EQ(list.code, 0) << list.err;
    json objects = json::parse(list.out);
    ASSERT_GE(objects.size(), 3u);

    ToolProcess video({"--json", "capture", "--seconds", "10", "-o", dir + "/clip.avi"});
    ASSERT_TRUE(recording(dir));
    std::string files = privateDir() + "/files";
    ToolRun get = runTool({"--json", "get", "--all", "-o", files});
    ASSERT_EQ(get.code, 0) << get.err;
    ToolRun clip = video.wait();
    ASSERT_EQ(clip.code, 0) << clip.err;

    json summary = json::parse(clip.out);
    EXPECT_GE(summary["seconds"].get<double>(), 10.0);
    VideoProbe v = probeVideo(dir + "/clip.avi");
    EXPECT_TRUE(v.ok) << v.errors;
    EXPECT_EQ(v.codec, "mjpeg");
    EXPECT_EQ(v.frames, summary["frames"].get<long>());

    ASSERT_EQ(filesUnder(files).size(), objects.size());
    for (const json& o : objects) {
        std::string path = files + "/" + o["name"].get<std::string>();
        ASSERT_TRUE(fs::exists(path)) << path;
        EXPECT_EQ(fs::file_size(path), o["size"].get<std::uintmax_t>()) << path;
        std::string ext = fs::path(path).extension().string();
        if (ext == ".jpg") {
            int w = 0, h = 0;
            EXPECT_TRUE(decodesAsJpeg(readFile(path), &w, &h)) << path;
        } else if (ext == ".avi" || ext == ".wav") {
            EXPECT_EQ(probe(path), ext == ".avi" ? "avi" : "wav") << path;
        }
    }
}

TEST_F(ToolCapture, AFullDiskEndsTheRecordingWithOneSentence) {
    ToolRun avi = runTool({"capture", "--frames", "5", "--format", "avi", "-o", "/dev/full"});
    EXPECT_EQ(avi.code, 6);
    expectOneSentence(avi);
    EXPECT_NE(avi.err.find("disk is full"), std::string::npos) << avi.err;
    // Raw frames fail at the first frame, with the stream running.
    ToolRun raw = runTool({"capture", "--frames", "5", "--format", "mjpeg", "-o", "/dev/full"});
    EXPECT_EQ(raw.code, 6);
    expectLastLineOneSentence(raw);
    EXPECT_NE(raw.err.find("disk is full"), std::string::npos) << raw.err;
    EXPECT_TRUE(fs::exists("/dev/full"));
    ToolRun snap = runTool({"snapshot", "-o", "/dev/full"});
    EXPECT_EQ(snap.code, 6);
    expectOneSentence(snap);
    // Nothing of the camera stays taken.
    ToolRun after = runTool({"capture", "-q", "--frames", "2", "-o", dir + "/after.avi"});
    EXPECT_EQ(after.code, 0) << after.err;
}

TEST_F(ToolCapture, CtrlCEndsTheRecordingAndTheAviIsWhole) {
    ToolProcess video({"--json", "capture", "--seconds", "60", "-o", dir + "/clip.avi"});
    ASSERT_TRUE(recording(dir));
    video.signal(SIGINT);
    ToolRun r = video.wait();
    EXPECT_EQ(r.code, 130) << r.err;
    expectLastLineOneSentence(r);
    EXPECT_NE(r.err.find("Interrupted"), std::string::npos) << r.err;
    json summary = json::parse(r.out);
    EXPECT_EQ(summary["stopped"], "interrupted");
    VideoProbe v = probeVideo(dir + "/clip.avi");
    EXPECT_TRUE(v.ok) << v.errors;
    EXPECT_GT(v.frames, 0);
    EXPECT_EQ(v.frames, summary["frames"].get<long>());
    EXPECT_EQ(filesUnder(dir), std::vector<std::string>{"clip.avi"});
}

TEST_F(ToolCapture, AnUnpluggedCameraEndsTheRecordingWithTheFramesBeforeIt) {
    ToolProcess video({"--json", "capture", "--seconds", "60", "-o", dir + "/clip.avi"});
    ASSERT_TRUE(recording(dir));
    host.unplug("video");
    ToolRun r = video.wait();
    EXPECT_EQ(r.code, 5) << r.err;
    expectLastLineOneSentence(r);
    EXPECT_NE(r.err.find("unplugged"), std::string::npos) << r.err;
    json summary = json::parse(r.out);
    VideoProbe v = probeVideo(dir + "/clip.avi");
    EXPECT_TRUE(v.ok) << v.errors;
    EXPECT_EQ(v.frames, summary["frames"].get<long>());
    EXPECT_GT(v.frames, 0);
}

TEST(ToolCaptureAlone, NoCameraIsOneSentence) {
    ToolHost host;  // nothing plugged
    std::string out = privateDir() + "/clip.avi";
    ToolRun r = runTool({"capture", "--frames", "3", "-o", out});
    EXPECT_EQ(r.code, 3);
    expectOneSentence(r);
    EXPECT_FALSE(fs::exists(out));
    ToolRun snap = runTool({"snapshot", "-o", privateDir() + "/x.jpg"});
    EXPECT_EQ(snap.code, 3);
    expectOneSentence(snap);
}

TEST(ToolCaptureAlone, OptionsThatCannotWorkAreRefusedBeforeTheCameraIsAsked) {
    const std::vector<std::vector<std::string>> cases = {
        {"capture", "-o", "x.avi"},                                   // how long?
        {"capture", "--frames", "3", "--seconds", "2", "-o", "x.avi"},  // both
        {"capture", "--frames", "3", "-o", "x.mp4"},                  // which format?
        {"capture", "--frames", "3", "--format", "avi", "-o", "-"},   // AVI on a pipe
        {"capture", "--frames", "3", "--size", "320by240", "-o", "x.avi"},
        {"capture", "--frames", "3", "--format", "mkv", "-o", "x.avi"},
        {"capture", "--frames", "3"},                                 // no output
        {"snapshot"},
    };
    for (const auto& args : cases) {
        ToolRun r = runTool(args);  // no host runs: only a check before the camera answers this
        EXPECT_EQ(r.code, 2) << args[1] << " " << r.err;
        expectOneSentence(r);
    }
}

}  // namespace
}  // namespace pavtest
