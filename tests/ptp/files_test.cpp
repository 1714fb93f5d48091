// The files of the stored objects as GetObject delivers them: sizes and
// layout of WAV and AVI files, pictures byte for byte, slices of any size,
// and ffmpeg's judgement of every file the default camera yields.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "driver/camera/object_files.h"
#include "driver/camera/ptp_responder.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/ptp/ptp_client.h"
#include "tests/support/camera_harness.h"

namespace {

using namespace ptptest;
using namespace pav512;

constexpr std::uint16_t kOk = 0x2001;

std::uint32_t handleOf(int memory, std::uint32_t number) {
    return 0x10000000u | (static_cast<std::uint32_t>(memory) << 24) | number;
}

std::string fourcc(const Bytes& b, std::size_t at) {
    return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                       b.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

sim::Scenario emptyCamera() {
    sim::Scenario s = sim::defaultScenario();
    s.defaultContent = false;
    return s;
}

// The file of an object and the length ObjectInfo announced for it.
struct Delivered {
    std::uint16_t response = 0;
    std::uint8_t dataStatus = 0xFF;
    std::uint32_t announced = 0;
    Bytes file;
};

Delivered fetch(PtpClient& client, std::uint32_t session, std::uint32_t handle,
                std::size_t slice = 65536, const std::function<std::size_t()>& sizes = nullptr) {
    Delivered d;
    Transaction info = client.run(session, 0x1008, {handle});
    d.announced = u32(info.data, 8);
    Transaction t = client.run(session, 0x1009, {handle}, slice, sizes);
    d.response = t.response;
    d.dataStatus = t.dataStatus;
    d.file = std::move(t.data);
    return d;
}

// ---------------------------------------------------------------------------
// ffmpeg as the judge

std::string tool(const char* name) {
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/"}) {
        std::string path = std::string(dir) + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

// CI installs ffmpeg; there a missing tool is a failure, elsewhere the check
// is skipped.
#define REQUIRE_FFMPEG()                                                               \
    do {                                                                               \
        if (tool("ffmpeg").empty() || tool("ffprobe").empty()) {                       \
            if (std::getenv("CI")) FAIL() << "ffmpeg and ffprobe are needed under CI"; \
            GTEST_SKIP() << "ffmpeg is not installed";                                 \
        }                                                                              \
    } while (0)

struct ToolRun {
    int status = -1;
    std::string out, err;
};

ToolRun runTool(const std::string& command) {
    static int counter = 0;
    const std::string errPath = ::testing::TempDir() + "ptp_files_err_" +
                                std::to_string(::getpid()) + "_" + std::to_string(++counter);
    ToolRun r;
    FILE* p = ::popen((command + " 2>" + errPath).c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    r.status = ::pclose(p);
    std::ifstream e(errPath);
    r.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
    std::filesystem::remove(errPath);
    return r;
}

std::string saved(const Bytes& file, const std::string& name) {
    const std::string path = ::testing::TempDir() + std::to_string(::getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    return path;
}

// Decodes every stream of the file, stopping at the first error of any kind.
ToolRun strictCheck(const std::string& path) {
    return runTool(tool("ffmpeg") + " -nostdin -v error -xerror -err_detect explode -i " + path +
                   " -f null -");
}

std::string packets(const std::string& path, bool ignoreIndex) {
    return runTool(tool("ffprobe") + " -v error" + (ignoreIndex ? " -fflags +ignidx" : "") +
                   " -show_entries packet=stream_index,pts,size -of csv " + path)
        .out;
}

// ---------------------------------------------------------------------------

TEST(ObjectFiles, ASoundRecordingBecomesAWavFile) {
    sim::Scenario s = emptyCamera();
    sim::ObjectSpec p;
    p.kind = sim::ObjectKind::Sound;
    p.soundBytes = 1000;
    p.sampleRate = 11025;
    p.bitsPerSample = 16;
    p.channels = 2;
    s.objects.push_back({0, p});
    pavtest::CameraHarness h(s);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    LockedSession session(client);
    ASSERT_TRUE(session.ok());
    Bytes samples;
    h.camera().withStore([&](sim::ObjectStore& st) { samples = st.memory(0).find(1)->sound; });
    Delivered d = fetch(client, session.id(), handleOf(0, 1), 300);
    ASSERT_EQ(d.response, kOk);
    ASSERT_EQ(d.file.size(), 1044u);
    EXPECT_EQ(d.announced, 1044u);
    EXPECT_EQ(fourcc(d.file, 0), "RIFF");
    EXPECT_EQ(u32(d.file, 4), 1036u);
    EXPECT_EQ(fourcc(d.file, 8), "WAVE");
    EXPECT_EQ(fourcc(d.file, 12), "fmt ");
    EXPECT_EQ(u32(d.file, 16), 16u);
    EXPECT_EQ(u16(d.file, 20), 1);
    EXPECT_EQ(u16(d.file, 22), 2);
    EXPECT_EQ(u32(d.file, 24), 11025u);
    EXPECT_EQ(u32(d.file, 28), 11025u * 4);
    EXPECT_EQ(u16(d.file, 32), 4);
    EXPECT_EQ(u16(d.file, 34), 16);
    EXPECT_EQ(fourcc(d.file, 36), "data");
    EXPECT_EQ(u32(d.file, 40), 1000u);
    EXPECT_EQ(Bytes(d.file.begin() + 44, d.file.end()), samples);
}

// A clip made of frames chosen byte for byte.
sim::StoredObject clipOf(sim::ObjectKind kind, const std::vector<std::size_t>& lengths,
                         std::size_t gap = 0, std::size_t soundBytes = 0, int frameRate = 30) {
    sim::ObjectSpec recipe;
    recipe.kind = kind;
    recipe.width = 64;
    recipe.height = 48;
    recipe.frameRateHalfFps = frameRate;
    sim::ClipBytes bytes;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        Bytes f = sim::syntheticFrame(lengths[i], static_cast<std::uint32_t>(i + 1));
        bytes.video.insert(bytes.video.end(), f.begin(), f.end());
        bytes.video.insert(bytes.video.end(), gap, 0x00);
        bytes.frameLengths.push_back(lengths[i]);
    }
    bytes.sound.assign(soundBytes, 0x80);
    return sim::clipObject(recipe, std::move(bytes));
}

struct ClipLayout {
    std::uint32_t riff = 0, movi = 0, junk = 0, chunks = 0, index = 0;
    bool parsed = false;
};

// Walks the file's chunks as a reader does, checking every size against the
// bytes that are really there.
ClipLayout layoutOf(const Bytes& f, std::size_t headerLength) {
    ClipLayout l;
    if (f.size() < headerLength + 8) return l;
    l.riff = u32(f, 4);
    l.movi = u32(f, headerLength - 8);
    std::size_t at = headerLength;
    while (at + 8 <= f.size() && fourcc(f, at) != "JUNK") {
        const std::uint32_t n = u32(f, at + 4);
        at += 8 + n + (n & 1);
    }
    if (at + 8 > f.size()) return l;
    l.chunks = static_cast<std::uint32_t>(at - headerLength);
    l.junk = u32(f, at + 4);
    at += 8 + l.junk;
    if (at + 8 > f.size() || fourcc(f, at) != "idx1") return l;
    l.index = u32(f, at + 4);
    l.parsed =
        at + 8 + l.index == f.size() && l.riff + 8 == f.size() && headerLength - 4 + l.movi == at;
    return l;
}

TEST(ObjectFiles, AClipOfTwoHundredByteFramesFillsItsMoviList) {
    sim::Scenario s = emptyCamera();
    pavtest::CameraHarness h(s);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    h.camera().withStore([](sim::ObjectStore& st) {
        st.memory(0).add(clipOf(sim::ObjectKind::Clip, {100, 100}));
    });
    PtpClient client(h.fdo());
    LockedSession session(client);
    ASSERT_TRUE(session.ok());
    Delivered d = fetch(client, session.id(), handleOf(0, 1), 77);
    ASSERT_EQ(d.response, kOk);
    const std::size_t length = 25 * 2 + 200 + 232;
    ASSERT_EQ(d.file.size(), length);
    EXPECT_EQ(d.announced, length);
    EXPECT_EQ(fourcc(d.file, 204), "LIST");
    EXPECT_EQ(u32(d.file, 208), 230u);
    EXPECT_EQ(fourcc(d.file, 212), "movi");
    ClipLayout l = layoutOf(d.file, kClipHeaderLength);
    EXPECT_TRUE(l.parsed);
    EXPECT_EQ(l.chunks, 216u);
    EXPECT_EQ(l.junk, 2u);
    EXPECT_EQ(l.index, 32u);
    // The header's fixed fields.
    EXPECT_EQ(fourcc(d.file, 0), "RIFF");
    EXPECT_EQ(u32(d.file, 4), length - 8);
    EXPECT_EQ(fourcc(d.file, 8), "AVI ");
    EXPECT_EQ(u32(d.file, 16), 184u);
    EXPECT_EQ(u32(d.file, 32), 2000000u / 30);
    EXPECT_EQ(u32(d.file, 48), 2u) << "total frames";
    EXPECT_EQ(fourcc(d.file, 108), "vids");
    EXPECT_EQ(fourcc(d.file, 112), "MJPG");
    EXPECT_EQ(u32(d.file, 132), 30u) << "rate";
    // The first chunk and its index entry.
    EXPECT_EQ(fourcc(d.file, 216), "00db");
    EXPECT_EQ(u32(d.file, 220), 100u);
    const std::size_t index = d.file.size() - 32;
    EXPECT_EQ(fourcc(d.file, index), "00db");
    EXPECT_EQ(u32(d.file, index + 4), 16u);
    EXPECT_EQ(u32(d.file, index + 8), 4u);
    EXPECT_EQ(u32(d.file, index + 12), 100u);
    EXPECT_EQ(u32(d.file, index + 16 + 8), 4u + 108);
}

TEST(ObjectFiles, PicturesComeByteForByteAndAClipWithoutFrameRateIsRefused) {
    sim::Scenario s = emptyCamera();
    sim::ObjectSpec p;
    s.objects.push_back({0, p});
    pavtest::CameraHarness h(s);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    h.camera().withStore([](sim::ObjectStore& st) {
        st.memory(0).add(clipOf(sim::ObjectKind::Clip, {100, 100}, 0, 0, 0));
    });
    PtpClient client(h.fdo());
    LockedSession session(client);
    ASSERT_TRUE(session.ok());
    Bytes picture;
    h.camera().withStore([&](sim::ObjectStore& st) { picture = st.memory(0).find(1)->picture; });
    Delivered d = fetch(client, session.id(), handleOf(0, 1), 1000);
    ASSERT_EQ(d.response, kOk);
    EXPECT_EQ(d.file, picture);
    EXPECT_EQ(d.announced, picture.size());

    ASSERT_EQ(client.transfer(session.id(), 1, 0x1009, Bytes{2, 0, 0, 0x10}).moduleStatus, 0);
    Phase refused = client.transfer(session.id(), 2, 0x1009, {}, 4096);
    EXPECT_EQ(refused.moduleStatus, kPhaseNotSupported);
    EXPECT_EQ(refused.length, 0u) << "nothing is delivered";
}

TEST(ObjectFiles, OddFramesAndOddSoundKeepEverySizeInAgreement) {
    sim::Scenario s = emptyCamera();
    pavtest::CameraHarness h(s);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    h.camera().withStore([](sim::ObjectStore& st) {
        // Three frames of odd length: every pad byte is needed.
        st.memory(0).add(clipOf(sim::ObjectKind::Clip, {101, 99, 333}));
        // One odd frame among even ones, and bytes between frames.
        st.memory(0).add(clipOf(sim::ObjectKind::Clip, {100, 101, 200, 50}, 3));
        // Sound of odd length behind an odd number of frames.
        st.memory(0).add(clipOf(sim::ObjectKind::ClipWithSound, {101, 99, 333}, 0, 1001));
        st.memory(0).add(clipOf(sim::ObjectKind::ClipWithSound, {100, 100}, 0, 1000));
    });
    PtpClient client(h.fdo());
    LockedSession session(client);
    ASSERT_TRUE(session.ok());
    for (std::uint32_t n = 1; n <= 4; ++n) {
        Delivered d = fetch(client, session.id(), handleOf(0, n), 123);
        ASSERT_EQ(d.response, kOk) << n;
        EXPECT_EQ(d.file.size(), d.announced) << n;
        const std::size_t header = n <= 2 ? kClipHeaderLength : kClipWithSoundHeaderLength;
        ClipLayout l = layoutOf(d.file, header);
        EXPECT_TRUE(l.parsed) << "object " << n << ": RIFF " << l.riff << ", movi " << l.movi
                              << ", JUNK " << l.junk << ", file " << d.file.size();
        EXPECT_EQ(l.junk % 2, 0u) << n;
    }
    // Even frames and even sound: the sizes of the plain formula.
    Delivered even = fetch(client, session.id(), handleOf(0, 4));
    EXPECT_EQ(u32(even.file, 4), 200u + 1000 + 25 * 2 + 340);
}

// A clip whose video bytes are given whole (broken clips).
sim::StoredObject clipFromVideo(Bytes video, int frames) {
    sim::ObjectSpec recipe;
    recipe.kind = sim::ObjectKind::Clip;
    recipe.width = 64;
    recipe.height = 48;
    sim::ClipBytes bytes;
    bytes.video = std::move(video);
    bytes.frames = frames;
    return sim::clipObject(recipe, std::move(bytes));
}

Bytes frames(std::initializer_list<std::size_t> lengths) {
    Bytes v;
    std::uint32_t seed = 7;
    for (std::size_t n : lengths) {
        Bytes f = sim::syntheticFrame(n, seed++);
        v.insert(v.end(), f.begin(), f.end());
    }
    return v;
}

// Against a camera that reads only whole blocks of at most 64 KiB and a
// clip's sound only from a fresh opening: each clip comes whole and
// consistent, or is refused with phase status 1 and never delivered whole.
TEST(ObjectFiles, AStrictCameraDeliversEveryClipConsistentlyOrRefusesIt) {
    sim::Scenario s = emptyCamera();
    s.faults.strictReads = true;
    s.timing.throttled = false;
    pavtest::CameraHarness h(s);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    struct Case {
        const char* what;
        bool delivered;
    };
    std::vector<Case> cases;
    h.camera().withStore([&](sim::ObjectStore& st) {
        sim::Memory& m = st.memory(0);
        // Frames across the refill point and the window's end.
        m.add(clipOf(sim::ObjectKind::Clip, {60000, 60000, 60000, 30000, 45001}));
        cases.push_back({"frames across 139265 and 204800", true});
        m.add(clipOf(sim::ObjectKind::Clip, {65535, 70001, 150000, 5}, 5));
        cases.push_back({"frames of 65535 bytes and longer", true});
        m.add(clipOf(sim::ObjectKind::Clip, {204800, 10}));
        cases.push_back({"a frame as long as the window", true});
        m.add(clipOf(sim::ObjectKind::Clip, {204801, 10}));
        cases.push_back({"a frame longer than the window", false});
        m.add(clipOf(sim::ObjectKind::Clip, {101, 103, 1005}));
        cases.push_back({"three odd frames", true});
        m.add(clipOf(sim::ObjectKind::ClipWithSound, {101, 99, 333}, 0, 4001));
        cases.push_back({"odd frames and odd stereo sound", true});
        Bytes open = frames({100, 100});
        open.resize(open.size() - 2);  // the last frame never ends
        m.add(clipFromVideo(open, 2));
        cases.push_back({"a frame without an end marker", false});
        Bytes twice = frames({100, 100});
        twice[50] = 0xFF;
        twice[51] = 0xD8;  // a second start inside the first frame
        m.add(clipFromVideo(twice, 2));
        cases.push_back({"a second start marker", false});
        m.add(clipFromVideo(frames({100, 100}), 3));
        cases.push_back({"fewer frames than the entry announces", false});
    });
    // The sound of the odd stereo clip is 16-bit stereo.
    h.camera().withStore([](sim::ObjectStore& st) {
        sim::StoredObject& o = const_cast<sim::StoredObject&>(*st.memory(0).find(6));
        o.directoryEntry[39] = 2;
        o.directoryEntry[40] = 16;
        sim::writeFirstBlock(o);
    });
    PtpClient client(h.fdo());
    LockedSession session(client);
    ASSERT_TRUE(session.ok());
    std::mt19937 random(99);
    std::uniform_int_distribution<std::size_t> size(1, 70000);
    for (std::uint32_t n = 1; n <= cases.size(); ++n) {
        const Case& c = cases[n - 1];
        Delivered d = fetch(client, session.id(), handleOf(0, n), 0, [&] { return size(random); });
        ASSERT_EQ(d.response, kOk) << c.what;
        if (c.delivered) {
            EXPECT_EQ(d.dataStatus, kPhaseDone) << c.what;
            EXPECT_EQ(d.file.size(), d.announced) << c.what;
            const std::size_t header = n == 6 ? kClipWithSoundHeaderLength : kClipHeaderLength;
            ClipLayout l = layoutOf(d.file, header);
            EXPECT_TRUE(l.parsed) << c.what;
        } else {
            EXPECT_EQ(d.dataStatus, kPhaseNotSupported) << c.what;
            EXPECT_LT(d.file.size(), d.announced) << c.what;
        }
    }
    // Every read the camera took was of whole blocks: none was refused.
    for (const auto& r : h.camera().requestLog())
        EXPECT_EQ(r.status, USBD_STATUS_SUCCESS) << "request " << int(r.request);
}

class DefaultCameraFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(h_.started()) << h_.arrivalText();
        client_ = std::make_unique<PtpClient>(h_.fdo());
        session_ = std::make_unique<LockedSession>(*client_);
        ASSERT_TRUE(session_->ok());
        Transaction t = client_->run(session_->id(), 0x1007, {0x00010000, 0, 0});
        for (std::uint32_t i = 0; i < u32(t.data, 0); ++i)
            handles_.push_back(u32(t.data, 4 + 4 * i));
        ASSERT_FALSE(handles_.empty());
    }
    void TearDown() override {
        session_.reset();
        client_.reset();
    }
    pavtest::CameraHarness h_;
    std::unique_ptr<PtpClient> client_;
    std::unique_ptr<LockedSession> session_;
    std::vector<std::uint32_t> handles_;
};

TEST_F(DefaultCameraFiles, EveryObjectReadInSlicesOfAnySizeIsTheSameFile) {
    std::mt19937 random(12345);
    for (std::uint32_t handle : handles_) {
        Delivered whole = fetch(*client_, session_->id(), handle);
        ASSERT_EQ(whole.response, kOk) << std::hex << handle;
        EXPECT_EQ(whole.file.size(), whole.announced) << std::hex << handle;
        std::uniform_int_distribution<std::size_t> size(1, 3000);
        Delivered sliced = fetch(*client_, session_->id(), handle, 0, [&] { return size(random); });
        EXPECT_EQ(sliced.response, kOk);
        EXPECT_TRUE(sliced.file == whole.file) << std::hex << handle;
        // And through GetPartialObject, a range at a time.
        Bytes parts;
        std::uint32_t offset = 0;
        while (offset < whole.file.size()) {
            const std::uint32_t want = static_cast<std::uint32_t>(size(random) * 7);
            Transaction t =
                client_->run(session_->id(), 0x101B, {handle, offset, want}, size(random));
            ASSERT_EQ(t.response, kOk) << std::hex << handle << " at " << std::dec << offset;
            ASSERT_FALSE(t.data.empty());
            EXPECT_EQ(t.parameters.at(0), t.data.size());
            parts.insert(parts.end(), t.data.begin(), t.data.end());
            offset += static_cast<std::uint32_t>(t.data.size());
        }
        EXPECT_TRUE(parts == whole.file) << std::hex << handle;
    }
}

TEST_F(DefaultCameraFiles, EveryWavAndAviPassesFfmpegsStrictestCheck) {
    REQUIRE_FFMPEG();
    int judged = 0;
    for (std::uint32_t handle : handles_) {
        Transaction info = client_->run(session_->id(), 0x1008, {handle});
        const std::uint16_t format = u16(info.data, 4);
        if (format != 0x3008 && format != 0x300A) continue;
        Delivered d = fetch(*client_, session_->id(), handle);
        ASSERT_EQ(d.response, kOk);
        const std::string path =
            saved(d.file, std::to_string(handle) + (format == 0x3008 ? ".wav" : ".avi"));
        ToolRun check = strictCheck(path);
        EXPECT_EQ(check.status, 0) << path;
        EXPECT_EQ(check.err, "") << path;
        if (format == 0x300A) {
            const std::string indexed = packets(path, false);
            EXPECT_NE(indexed, "");
            EXPECT_EQ(indexed, packets(path, true)) << path;
        }
        std::filesystem::remove(path);
        ++judged;
    }
    EXPECT_EQ(judged, 3) << "a sound recording and two clips";
}

}  // namespace
