// The data source against the real user library and the simulated camera:
// this process serves the driver on the host's socket; an application of the
// tests (a process of its own) loads the source manager, which loads the
// source, which binds the built libpav512u and reaches the camera through it.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "platform/user/registry_api.h"
#include "sim/object_store.h"
#include "sim/sim_camera.h"
#include "tests/library/cameras.h"
#include "tests/support/kernel_test.h"
#include "tests/support/process.h"

namespace twaintest {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// "key=value" fields of one line.
std::map<std::string, std::string> fields(const std::string& line) {
    std::map<std::string, std::string> out;
    std::stringstream s(line);
    for (std::string word; s >> word;) {
        auto eq = word.find('=');
        if (eq != std::string::npos) out[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return out;
}

struct Decoded {
    int width = 0, height = 0;
    Bytes pixels;
};

// The camera's JPEG decoded by the same decoder, as BGR rows bottom-up (the
// bitmap's order) or RGB rows top-down (a memory transfer's).
Decoded decode(const Bytes& jpeg, bool bgrBottomUp) {
    Decoded d;
    tjhandle tj = tjInitDecompress();
    int sub = 0, space = 0;
    if (tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &d.width, &d.height, &sub, &space) == 0) {
        d.pixels.resize(static_cast<std::size_t>(d.width) * d.height * 3);
        if (tjDecompress2(tj, jpeg.data(), jpeg.size(), d.pixels.data(), d.width, d.width * 3, d.height,
                          bgrBottomUp ? TJPF_BGR : TJPF_RGB, bgrBottomUp ? TJFLAG_BOTTOMUP : 0) != 0)
            d.pixels.clear();
    }
    tjDestroy(tj);
    return d;
}

// A picture whose file is exactly `size` bytes: a comment segment after the
// start marker fills it up.
sim::StoredObject pictureOfExactly(std::size_t size, std::uint32_t number) {
    sim::ObjectSpec shape;
    shape.width = 16;
    shape.height = 16;
    shape.seed = 77;
    sim::StoredObject o = sim::generateObject(shape, number);
    const std::size_t pad = size - o.picture.size();
    Bytes comment = {0xFF, 0xFE, static_cast<std::uint8_t>((pad - 2) >> 8), static_cast<std::uint8_t>(pad - 2)};
    comment.resize(pad, 'x');
    o.picture.insert(o.picture.begin() + 2, comment.begin(), comment.end());
    for (int i = 0; i < 4; ++i) o.directoryEntry[69 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    sim::writeFirstBlock(o);
    return o;
}

constexpr char kCamera[] = "twain-camera";

class RealCamera : public ::testing::Test {
  protected:
    void SetUp() override {
        // The application inherits these; no host thread runs yet.
        ::setenv("PAV512TW_USER_LIBRARY", PAV512U_LIBRARY, 1);
        ::setenv("PAV512TW_VIEW_MODULE", SCRIPT_VIEW_MODULE, 1);
        ::setenv("PAV_TWAIN_DS_DIR", PAV512TW_DIR, 1);
        out_ = pavtest::privateDir();
        cameras_ = std::make_unique<pavtest::SimulatedCameras>(true);
    }
    void TearDown() override { cameras_.reset(); }

    // A 640 x 480 picture, one 81 pixels wide, and one of exactly 2048 bytes.
    bool plugStandard() {
        sim::ObjectStore store;
        sim::ObjectSpec big;
        big.seed = 11;
        big.number = 1;
        store.memory(0).add(big);
        sim::ObjectSpec odd;
        odd.width = 81;
        odd.height = 61;
        odd.seed = 12;
        odd.number = 2;
        store.memory(0).add(odd);
        exact_ = pictureOfExactly(2048, 3);
        store.memory(0).add(exact_);
        return cameras_->plug(kCamera, 1, std::move(store));
    }
    Bytes storedPicture(std::uint32_t number) {
        Bytes picture;
        cameras_->camera(kCamera)->withStore([&](sim::ObjectStore& st) {
            if (const sim::StoredObject* o = st.memory(0).find(number)) picture = o->picture;
        });
        return picture;
    }

    // Runs the application with `steps`; its lines, up to its end.
    std::vector<std::string> run(const std::vector<std::string>& steps) {
        std::vector<std::string> argv = {CAMERA_CLIENT, out_};
        argv.insert(argv.end(), steps.begin(), steps.end());
        pavtest::ChildProcess client(argv);
        std::vector<std::string> lines;
        for (std::string l = client.line(); !l.empty(); l = client.line()) lines.push_back(l);
        EXPECT_EQ(client.wait(), 0);
        std::string said;
        for (const std::string& l : lines) said += l + "\n";
        RecordProperty("application", said);
        if (HasFailure()) std::fprintf(stderr, "%s", said.c_str());
        return lines;
    }
    // The first line that starts with `word`.
    static std::map<std::string, std::string> line(const std::vector<std::string>& lines, const std::string& word,
                                                   int nth = 0) {
        for (const std::string& l : lines)
            if (l.rfind(word + " ", 0) == 0 && nth-- == 0) return fields(l);
        ADD_FAILURE() << "no line " << word << " #" << nth;
        return {};
    }

    void setScaling(DWORD on, DWORD percent) {
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                                  "Software\\Veltra\\USB Camera (PAV512)\\TQM Video Camera\\Scaling", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(k, "ScalingOn", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), 4);
        RegSetValueExA(k, "ScalingPercent", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&percent), 4);
        RegCloseKey(k);
    }

    std::string out_;
    std::unique_ptr<pavtest::SimulatedCameras> cameras_;
    sim::StoredObject exact_;
};

TEST_F(RealCamera, ListsTheCameraAndItsPicturesWithTheirSizes) {
    ASSERT_TRUE(plugStandard());
    auto lines = run({"model", "setupmem", "choose", "1", "enable", "setupmem"});
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "opened");
    auto before = line(lines, "model");
    EXPECT_EQ(before["index"], "0");
    EXPECT_EQ(before["cameras"].rfind("None|USB", 0), 0u) << before["cameras"];
    // No camera chosen: the source's own default picture.
    auto none = line(lines, "setupmem");
    EXPECT_EQ(none["min"], "1056");
    EXPECT_EQ(none["max"], "304128");
    auto chosen = line(lines, "chosen");
    EXPECT_EQ(chosen["index"], "1");
    EXPECT_EQ(chosen["thumbnails"], "3");
    EXPECT_EQ(chosen["labels"], "1_(640x480)|2_(81x61)|3_(16x16)");
    EXPECT_EQ(chosen["capture"], "1");
    EXPECT_EQ(chosen["clear"], "1");
    // A camera chosen: the first picture's size.
    auto first = line(lines, "setupmem", 1);
    EXPECT_EQ(first["min"], "1920");
    EXPECT_EQ(first["max"], "921600");
}

TEST_F(RealCamera, NativeTransfersDeliverTheDecodedPicturesInListOrder) {
    ASSERT_TRUE(plugStandard());
    auto lines = run({"enable", "choose", "1", "capture", "0,1,2", "info", "native", "info", "native", "info",
                      "native"});
    auto capture = line(lines, "capture");
    EXPECT_EQ(capture["ready"], "1");
    EXPECT_EQ(capture["pending"], "3");
    const std::uint32_t numbers[] = {1, 2, 3};
    for (int i = 0; i < 3; ++i) {
        auto native = line(lines, "native", i);
        ASSERT_EQ(native["rc"], "6") << i;  // TWRC_XFERDONE
        Bytes jpeg = storedPicture(numbers[i]);
        Decoded d = decode(jpeg, true);
        ASSERT_FALSE(d.pixels.empty()) << i;
        auto info = line(lines, "info", i);
        EXPECT_EQ(info["width"], std::to_string(d.width)) << i;
        EXPECT_EQ(info["height"], std::to_string(d.height)) << i;
        Bytes block = readBytes(native["path"]);
        ASSERT_EQ(block.size(), 40 + d.pixels.size()) << i;
        std::int32_t w, h;
        std::memcpy(&w, block.data() + 4, 4);
        std::memcpy(&h, block.data() + 8, 4);
        EXPECT_EQ(w, d.width);
        EXPECT_EQ(h, d.height);
        EXPECT_TRUE(std::equal(d.pixels.begin(), d.pixels.end(), block.begin() + 40)) << i;
        // Blocks read after the first one: the picture's size in 2048-byte
        // blocks, less one; none at all for a picture of exactly one block.
        EXPECT_EQ(std::stoul(native["blocks"]), (jpeg.size() + 2047) / 2048 - 1) << i;
    }
    EXPECT_EQ(storedPicture(3).size(), 2048u);
    EXPECT_EQ(line(lines, "native", 2)["blocks"], "0");
    EXPECT_EQ(line(lines, "native-end", 2)["pending"], "0");
}

TEST_F(RealCamera, MemoryTransferOfOneRowPerCallGivesRgbRowsTopFirst) {
    ASSERT_TRUE(plugStandard());
    auto lines = run({"mech", "memory", "enable", "choose", "1", "capture", "1", "memory"});
    auto memory = line(lines, "memory");
    EXPECT_EQ(memory["rc"], "6");
    EXPECT_EQ(memory["successes"], "61");  // one call per row, then the XFERDONE call
    EXPECT_EQ(memory["final-written"], "0");
    EXPECT_EQ(memory["final-yoffset"], "61");
    EXPECT_EQ(memory["in-order"], "1");
    EXPECT_EQ(memory["bytesperrow"], "243");
    Decoded d = decode(storedPicture(2), false);
    ASSERT_EQ(d.width, 81);
    EXPECT_EQ(readBytes(memory["path"]), d.pixels);
}

TEST_F(RealCamera, FileTransferOfAPicture81PixelsWideHasRowsOf244Bytes) {
    ASSERT_TRUE(plugStandard());
    auto lines = run({"mech", "file", "enable", "choose", "1", "capture", "1", "file"});
    auto file = line(lines, "file");
    ASSERT_EQ(file["rc"], "6");
    Bytes bmp = readBytes(file["path"]);
    ASSERT_EQ(bmp.size(), 54u + 244u * 61u);
    std::uint32_t offBits, width, height, image;
    std::memcpy(&offBits, bmp.data() + 10, 4);
    std::memcpy(&width, bmp.data() + 18, 4);
    std::memcpy(&height, bmp.data() + 22, 4);
    std::memcpy(&image, bmp.data() + 34, 4);
    EXPECT_EQ(offBits, 54u);
    EXPECT_EQ(width, 81u);
    EXPECT_EQ(height, 61u);
    EXPECT_EQ(image, 244u * 61u);
    Decoded d = decode(storedPicture(2), true);
    for (int y = 0; y < 61; ++y) {
        const std::uint8_t* row = bmp.data() + 54 + y * 244;
        ASSERT_TRUE(std::equal(row, row + 243, d.pixels.begin() + y * 243)) << "row " << y;
        EXPECT_EQ(row[243], 0) << "row " << y;
    }
}

TEST_F(RealCamera, HalfScaleDeliversA640By480PictureAs320By240) {
    ASSERT_TRUE(plugStandard());
    setScaling(1, 50);
    auto lines = run({"enable", "choose", "1", "capture", "0", "info", "native"});
    EXPECT_EQ(line(lines, "chosen")["labels"], "1_(320x240)|2_(40x30)|3_(8x8)");
    auto info = line(lines, "info");
    EXPECT_EQ(info["width"], "320");
    EXPECT_EQ(info["height"], "240");
    auto native = line(lines, "native");
    ASSERT_EQ(native["rc"], "6");
    Bytes block = readBytes(native["path"]);
    ASSERT_EQ(block.size(), 40u + 320u * 240u * 3u);
    std::int32_t w, h;
    std::memcpy(&w, block.data() + 4, 4);
    std::memcpy(&h, block.data() + 8, 4);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
}

TEST_F(RealCamera, CancelDuringADownloadFailsThatTransferAndTheNextOneWorks) {
    ASSERT_TRUE(plugStandard());
    auto lines = run({"enable", "choose", "1", "capture", "0,1", "cancelnext", "native", "native"});
    auto cancelled = line(lines, "native");
    EXPECT_EQ(cancelled["rc"], "1");  // TWRC_FAILURE
    EXPECT_EQ(cancelled["cc"], "5");  // TWCC_OPERATIONERROR
    EXPECT_EQ(cancelled["blocks"], "1") << "the download stopped at the block after Cancel";
    auto next = line(lines, "native", 1);
    ASSERT_EQ(next["rc"], "6");
    Decoded d = decode(storedPicture(2), true);
    EXPECT_EQ(readBytes(next["path"]).size(), 40 + d.pixels.size());
}

TEST_F(RealCamera, ClearCameraAsksFirstThenDeletesEveryPicture) {
    ASSERT_TRUE(plugStandard());
    auto lines = run({"enable", "choose", "1", "clear", "no", "clear", "yes"});
    auto no = line(lines, "cleared");
    EXPECT_EQ(no["questions"], "1");
    EXPECT_EQ(no["thumbnails"], "3");
    auto yes = line(lines, "cleared", 1);
    EXPECT_EQ(yes["questions"], "2");
    EXPECT_EQ(yes["thumbnails"], "0");
    EXPECT_EQ(yes["capture"], "0");
    EXPECT_EQ(yes["clear"], "0");
    std::size_t left = 99;
    cameras_->camera(kCamera)->withStore([&](sim::ObjectStore& st) { left = st.memory(0).objects().size(); });
    EXPECT_EQ(left, 0u);
}

TEST_F(RealCamera, UnpluggingTheChosenCameraSelectsNoneAtTheNextTick) {
    ASSERT_TRUE(plugStandard());
    std::vector<std::string> argv = {CAMERA_CLIENT, out_, "enable", "choose", "1", "watch"};
    pavtest::ChildProcess client(argv);
    std::string l;
    do {
        l = client.line();
    } while (!l.empty() && l != "watching");
    ASSERT_EQ(l, "watching");
    cameras_->unplug(kCamera);
    auto watched = fields(client.line());
    EXPECT_EQ(watched["index"], "0");
    EXPECT_EQ(watched["cameras"], "None");
    EXPECT_EQ(watched["thumbnails"], "0");
    EXPECT_EQ(watched["beeps"], "1");
    EXPECT_EQ(client.wait(), 0);
}

TEST_F(RealCamera, WithoutACameraTheListHoldsOnlyNoneAndTheDefaultPictureIsReported) {
    auto lines = run({"model", "choose", "1", "enable", "setupmem", "capture", "0"});
    auto model = line(lines, "model");
    EXPECT_EQ(model["cameras"], "None");
    EXPECT_EQ(line(lines, "chosen")["index"], "0");
    auto setup = line(lines, "setupmem");
    EXPECT_EQ(setup["min"], "1056");  // 352 x 3
    EXPECT_EQ(setup["max"], "304128");  // 352 x 288 x 3
    EXPECT_EQ(line(lines, "capture")["ready"], "0");
}

}  // namespace
}  // namespace twaintest
