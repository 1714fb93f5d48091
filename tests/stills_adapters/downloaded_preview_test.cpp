// The preview of pictures as the driver delivers them: a store built by hand
// in the simulated camera, the object information and the picture read
// through the PTP transport, the preview made from what came.
#include <gtest/gtest.h>

#include <cstring>

#include "library/stills/preview.h"
#include "sim/object_store.h"
#include "sim/sim_camera.h"
#include "tests/ptp/ptp_client.h"
#include "tests/stills_adapters/stills_test_util.h"
#include "tests/support/camera_harness.h"

namespace {

using namespace stillstest;
using namespace pavstills;

constexpr std::uint16_t kOk = 0x2001;

std::uint32_t handleOf(int memory, std::uint32_t number) {
    return 0x10000000u | (static_cast<std::uint32_t>(memory) << 24) | number;
}

sim::ObjectSpec pictureOf(int width, int height, std::uint32_t seed) {
    sim::ObjectSpec s;
    s.kind = sim::ObjectKind::Picture;
    s.width = width;
    s.height = height;
    s.seed = seed;
    return s;
}

TEST(DownloadedPreview, PicturesFromTheCameraPreviewAndALyingEntryIsRefused) {
    sim::ObjectStore store;
    sim::Memory& m = store.memory(0);
    m.add(pictureOf(640, 480, 31));
    // A directory entry that announces 640 x 480 for a 320 x 240 picture.
    const sim::ObjectSpec announced = pictureOf(640, 480, 32);
    sim::StoredObject liar = sim::generateObject(announced, 2);
    liar.picture = picture(320, 240, 32);
    sim::fillDirectoryEntry(liar, announced);
    m.add(std::move(liar));
    sim::ObjectSpec odd = pictureOf(81, 61, 33);
    odd.progressive = true;
    m.add(odd);

    pavtest::CameraHarnessOptions options;
    options.store = store;
    pavtest::CameraHarness h(options);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    ptptest::PtpClient client(h.fdo());
    ptptest::LockedSession session(client);
    ASSERT_TRUE(session.ok());

    auto jpegLibrary = jpeg();
    auto scalerBinding = scaler();
    ASSERT_NE(jpegLibrary, nullptr);
    ASSERT_NE(scalerBinding, nullptr);
    auto preview = [&](std::uint32_t number, Bytes* out) {
        const std::uint32_t handle = handleOf(0, number);
        ptptest::Transaction info = client.run(session.id(), 0x1008, {handle}, 200);
        EXPECT_EQ(info.response, kOk);
        out->assign(kPreviewBytes, 0);
        auto read = [&](std::uint8_t* buffer, std::uint32_t length) -> std::uint32_t {
            ptptest::Transaction t = client.run(session.id(), 0x1009, {handle}, 65536);
            if (t.response != kOk) return 0xF0000000u + t.response;
            if (t.data.size() > length) return 3;  // too small for the object
            std::memcpy(buffer, t.data.data(), t.data.size());
            return 0;
        };
        return makePreview(jpegLibrary.get(), scalerBinding.get(), info.data.data(),
                           info.data.size(), read, out->data(), kPreviewBytes);
    };

    Bytes first;
    ASSERT_EQ(preview(1, &first), kPreviewDone);
    Bytes full;
    int w = 0, hh = 0;
    Bytes stored;
    h.camera().withStore([&](sim::ObjectStore& st) { stored = st.memory(0).find(1)->picture; });
    ASSERT_TRUE(sim::decodeJpeg(stored.data(), stored.size(), &full, &w, &hh));
    BitmapBlock got;
    ASSERT_TRUE(got.allocate(80, 60));
    std::memcpy(got.data(), first.data(), kPreviewBytes);
    EXPECT_LT(meanDifference(topDownRgb(got), boxMean(full, w, hh, 80, 60)), 3.0);

    Bytes second;
    EXPECT_EQ(preview(2, &second), kPreviewDecodeFailed);
    EXPECT_EQ(second, Bytes(kPreviewBytes, 0));

    Bytes third;
    EXPECT_EQ(preview(3, &third), kPreviewDone);
    EXPECT_EQ(le32(third.data() + 4), 80u);
}

}  // namespace
