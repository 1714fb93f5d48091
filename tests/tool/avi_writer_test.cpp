// The tool's AVI writer read back chunk by chunk: every count and size in the
// headers agrees with what the file holds, the index points at each frame,
// and a file that meets the RIFF size limit still ends whole.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/kernel_test.h"
#include "tools/pav512/avi_writer.h"
#include "tools/pav512/video_output.h"

namespace pav512 {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes encodeJpeg(int width, int height, int quality, int shade) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<unsigned char>(x + shade);
            p[1] = static_cast<unsigned char>(y * 2);
            p[2] = static_cast<unsigned char>((x ^ y) + shade);
        }
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_422, quality, 0), 0);
    Bytes b(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    return b;
}

// Distinct frames; among seven there are lengths of both parities (checked
// where it matters), so the pad byte is exercised.
std::vector<Bytes> frames(int count) {
    std::vector<Bytes> out;
    for (int i = 0; i < count; ++i) out.push_back(encodeJpeg(320, 240, 70 + i, i * 13));
    return out;
}

std::uint32_t le32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Reads the file as a player would and checks it against `expected`.
void expectWholeAvi(const std::string& path, const std::vector<Bytes>& expected, std::uint32_t width,
                    std::uint32_t height, std::uint32_t intervalMs) {
    std::string f = slurp(path);
    ASSERT_GE(f.size(), AviWriter::kHeaderLength);
    ASSERT_EQ(f.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(f, 4), f.size() - 8);
    ASSERT_EQ(f.substr(8, 4), "AVI ");
    // hdrl
    ASSERT_EQ(f.substr(12, 4), "LIST");
    const std::uint32_t hdrl = le32(f, 16);
    ASSERT_EQ(f.substr(20, 4), "hdrl");
    ASSERT_EQ(f.substr(24, 4), "avih");
    ASSERT_EQ(le32(f, 28), 56u);
    EXPECT_EQ(le32(f, 32), intervalMs * 1000) << "microseconds per frame";
    EXPECT_EQ(le32(f, 44) & 0x10, 0x10u) << "has an index";
    EXPECT_EQ(le32(f, 48), expected.size()) << "total frames";
    EXPECT_EQ(le32(f, 56), 1u) << "streams";
    EXPECT_EQ(le32(f, 64), width);
    EXPECT_EQ(le32(f, 68), height);
    ASSERT_EQ(f.substr(88, 4), "LIST");
    ASSERT_EQ(f.substr(96, 4), "strl");
    EXPECT_EQ(96 + le32(f, 92), 20 + hdrl) << "strl ends where hdrl ends";
    ASSERT_EQ(f.substr(100, 4), "strh");
    const std::uint32_t strh = le32(f, 104);
    ASSERT_EQ(f.substr(108, 8), "vidsMJPG");
    EXPECT_EQ(le32(f, 128), intervalMs) << "scale";
    EXPECT_EQ(le32(f, 132), 1000u) << "rate";
    EXPECT_EQ(le32(f, 140), expected.size()) << "stream length";
    std::size_t strf = 108 + strh;
    ASSERT_EQ(f.substr(strf, 4), "strf");
    EXPECT_EQ(le32(f, strf + 4), 40u);
    EXPECT_EQ(le32(f, strf + 8), 40u);
    EXPECT_EQ(le32(f, strf + 12), width);
    EXPECT_EQ(le32(f, strf + 16), height);
    EXPECT_EQ(f.substr(strf + 24, 4), "MJPG");
    std::size_t movi = 20 + hdrl;
    ASSERT_EQ(f.substr(movi, 4), "LIST");
    const std::uint32_t moviSize = le32(f, movi + 4);
    ASSERT_EQ(f.substr(movi + 8, 4), "movi");
    const std::size_t moviCode = movi + 8;
    // The chunks, in order, hold the frames.
    std::size_t at = moviCode + 4;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_LE(at + 8, f.size());
        ASSERT_EQ(f.substr(at, 4), "00dc") << "chunk " << i;
        const std::uint32_t n = le32(f, at + 4);
        ASSERT_EQ(n, expected[i].size()) << "chunk " << i;
        EXPECT_EQ(0, std::memcmp(f.data() + at + 8, expected[i].data(), n)) << "chunk " << i;
        at += 8 + n + (n & 1);
    }
    EXPECT_EQ(at, moviCode + moviSize) << "the movi list holds exactly the chunks";
    // The index: one entry per frame, pointing at its chunk.
    ASSERT_EQ(f.substr(at, 4), "idx1");
    const std::uint32_t idx = le32(f, at + 4);
    ASSERT_EQ(idx, 16 * expected.size());
    EXPECT_EQ(at + 8 + idx, f.size()) << "the index ends the file";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::size_t e = at + 8 + 16 * i;
        EXPECT_EQ(f.substr(e, 4), "00dc");
        EXPECT_EQ(le32(f, e + 4) & 0x10, 0x10u) << "key frame";
        const std::size_t chunk = moviCode + le32(f, e + 8);
        ASSERT_LT(chunk + 8, f.size());
        EXPECT_EQ(f.substr(chunk, 4), "00dc") << "entry " << i;
        EXPECT_EQ(chunk % 2, 0u) << "chunks start on even offsets";
        EXPECT_EQ(le32(f, e + 12), expected[i].size());
        EXPECT_EQ(le32(f, chunk + 4), expected[i].size());
    }
}

// Frames ffprobe decodes from the file (-1 when it refuses it).
long ffprobeFrames(const std::string& path) {
    std::string out = pavtest::privateDir() + "/frames.txt";
    std::string cmd = "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                      "-of default=nw=1:nk=1 '" + path + "' >'" + out + "' 2>&1";
    if (std::system(cmd.c_str()) != 0) return -1;
    std::string s = slurp(out);
    char* end = nullptr;
    long n = std::strtol(s.c_str(), &end, 10);
    return end == s.c_str() || (*end != '\n' && *end != 0) ? -1 : n;
}

class AviFile : public ::testing::Test {
  protected:
    void SetUp() override {
        path = pavtest::privateDir() + "/clip.avi";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
    }
    std::string path;
    int fd = -1;
    std::string error;
};

TEST_F(AviFile, CountsSizesAndIndexAgreeWithTheFrames) {
    std::vector<Bytes> input = frames(7);
    std::size_t odd = 0;
    for (const Bytes& b : input) odd += b.size() & 1;
    ASSERT_TRUE(odd > 0 && odd < input.size()) << "frames of both parities";
    AviWriter w;
    ASSERT_EQ(w.begin(fd, path, {320, 240, 33}, &error), Written::Ok) << error;
    for (const Bytes& b : input) ASSERT_EQ(w.addFrame(b.data(), b.size(), &error), Written::Ok) << error;
    EXPECT_EQ(w.frames(), 7u);
    ASSERT_EQ(w.finish(&error), Written::Ok) << error;
    EXPECT_EQ(static_cast<std::uint64_t>(std::filesystem::file_size(path)), w.finishedLength());
    expectWholeAvi(path, input, 320, 240, 33);
    EXPECT_EQ(ffprobeFrames(path), 7);
}

TEST_F(AviFile, NoFramesStillMakesAWholeFile) {
    AviWriter w;
    ASSERT_EQ(w.begin(fd, path, {640, 480, 40}, &error), Written::Ok) << error;
    ASSERT_EQ(w.finish(&error), Written::Ok) << error;
    expectWholeAvi(path, {}, 640, 480, 40);
}

TEST_F(AviFile, AFileWrittenOverALongerOneIsCutToItsOwnLength) {
    std::vector<Bytes> input = frames(4);
    {
        AviWriter w;
        ASSERT_EQ(w.begin(fd, path, {320, 240, 33}, &error), Written::Ok);
        for (const Bytes& b : input) ASSERT_EQ(w.addFrame(b.data(), b.size(), &error), Written::Ok);
        ASSERT_EQ(w.finish(&error), Written::Ok);
    }
    AviWriter again;
    ASSERT_EQ(again.begin(fd, path, {320, 240, 33}, &error), Written::Ok);
    ASSERT_EQ(again.addFrame(input[0].data(), input[0].size(), &error), Written::Ok);
    ASSERT_EQ(again.finish(&error), Written::Ok);
    expectWholeAvi(path, {input[0]}, 320, 240, 33);
}

// The limit counts the whole finished file: the chunk, its pad byte, and the
// index entry it adds. A writer with a small limit stands in for 4 GiB.
TEST_F(AviFile, TheSizeLimitRefusesTheFrameThatWouldPassItAndTheFileEndsWhole) {
    std::vector<Bytes> input = frames(3);
    std::uint64_t two = AviWriter::kHeaderLength + 8 + 16 * 2;
    for (int i = 0; i < 2; ++i) two += 8 + input[i].size() + (input[i].size() & 1);
    AviWriter w(two);  // room for exactly two frames
    ASSERT_EQ(w.begin(fd, path, {320, 240, 33}, &error), Written::Ok);
    ASSERT_EQ(w.addFrame(input[0].data(), input[0].size(), &error), Written::Ok);
    ASSERT_EQ(w.addFrame(input[1].data(), input[1].size(), &error), Written::Ok);
    const std::uint64_t before = std::filesystem::file_size(path);
    EXPECT_EQ(w.addFrame(input[2].data(), input[2].size(), &error), Written::Full);
    EXPECT_NE(error.find("largest size an AVI file can have"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(path), before) << "a refused frame writes nothing";
    ASSERT_EQ(w.finish(&error), Written::Ok) << error;
    EXPECT_EQ(std::filesystem::file_size(path), two);
    expectWholeAvi(path, {input[0], input[1]}, 320, 240, 33);
    EXPECT_EQ(ffprobeFrames(path), 2);
}

TEST(VideoFiles, AFullDiskIsOneSentenceAndSaysSo) {
    std::string error;
    VideoOutput out;
    ASSERT_EQ(out.open("/dev/full", false, &error), VideoOutput::Result::Ok) << error;
    EXPECT_EQ(out.kind(), VideoOutput::Kind::Device);
    AviWriter avi;
    EXPECT_EQ(avi.begin(out.fd(), out.name(), {320, 240, 33}, &error), Written::DiskFull);
    EXPECT_EQ(error, "The disk is full: /dev/full could not be written.");
    MjpegWriter mjpeg;
    mjpeg.begin(out.fd(), out.name(), false);
    Bytes b = encodeJpeg(64, 56, 80, 0);
    EXPECT_EQ(mjpeg.addFrame(b.data(), b.size(), &error), Written::DiskFull);
    EXPECT_EQ(mjpeg.frames(), 0u);
    out.discard();
    EXPECT_TRUE(std::filesystem::exists("/dev/full")) << "a device is never removed";
}

TEST(VideoFiles, AFileAppearsOnlyWhenCommittedAndAFailedOneLeavesNothing) {
    std::string dir = pavtest::privateDir() + "/video";
    std::string error;
    {
        VideoOutput out;
        ASSERT_EQ(out.open(dir + "/a.mjpeg", false, &error), VideoOutput::Result::Ok) << error;
        Bytes b = encodeJpeg(64, 56, 80, 0);
        MjpegWriter w;
        w.begin(out.fd(), out.name(), out.seekable());
        ASSERT_EQ(w.addFrame(b.data(), b.size(), &error), Written::Ok);
        EXPECT_FALSE(std::filesystem::exists(dir + "/a.mjpeg"));
        ASSERT_EQ(out.commit(&error), VideoOutput::Result::Ok) << error;
        EXPECT_EQ(std::filesystem::file_size(dir + "/a.mjpeg"), b.size());
    }
    {
        VideoOutput out;
        EXPECT_EQ(out.open(dir + "/a.mjpeg", false, &error), VideoOutput::Result::Exists);
        ASSERT_EQ(out.open(dir + "/b.mjpeg", false, &error), VideoOutput::Result::Ok);
    }  // dropped without a commit
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir)) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"a.mjpeg"});
}

TEST(VideoFiles, AFrameCutShortByTheDiskIsTakenBackOutOfTheFile) {
    std::string path = pavtest::privateDir() + "/cut.mjpeg";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    Bytes b = encodeJpeg(64, 56, 80, 0);
    std::string error;
    MjpegWriter w;
    w.begin(fd, path, true);
    ASSERT_EQ(w.addFrame(b.data(), b.size(), &error), Written::Ok);
    // Half a frame more, as a full disk leaves it.
    ASSERT_EQ(::write(fd, b.data(), b.size() / 2), static_cast<ssize_t>(b.size() / 2));
    w.dropPartialFrame();
    ASSERT_EQ(w.addFrame(b.data(), b.size(), &error), Written::Ok);
    ::close(fd);
    std::string f = slurp(path);
    ASSERT_EQ(f.size(), 2 * b.size());
    EXPECT_EQ(0, std::memcmp(f.data() + b.size(), b.data(), b.size()));
}

TEST(VideoFiles, AWholeJpegHasBothMarkers) {
    Bytes b = encodeJpeg(64, 56, 80, 0);
    EXPECT_TRUE(looksLikeWholeJpeg(b.data(), b.size()));
    EXPECT_FALSE(looksLikeWholeJpeg(b.data(), b.size() - 1));
    EXPECT_FALSE(looksLikeWholeJpeg(b.data() + 1, b.size() - 1));
    EXPECT_FALSE(looksLikeWholeJpeg(b.data(), 0));
}

}  // namespace
}  // namespace pav512
