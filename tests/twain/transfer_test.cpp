// Pictures from the stand-in camera through the dialog's logic and the three
// transfer mechanisms.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/user/registry_api.h"
#include "tests/twain/source_fixture.h"

namespace twaintest {
namespace {

class Transfers : public SourceTest {
  protected:
    std::uint32_t addPicture(int w, int h, int seed, std::uint32_t pad = 0) {
        return call<std::uint32_t (*)(int, int, int, std::uint32_t)>("fake_addPicture")(w, h, seed, pad);
    }
    int count(const char* name) { return call<int (*)(const char*)>("fake_count")(name); }
    void camera() { call<void (*)(std::uint32_t, const char*)>("fake_addCamera")(1, "Kitchen"); }
    pavtw::CaptureDialog& dialog() { return *pavtw::currentDialog(); }
    // Opens, enables, chooses camera 1 (loading its thumbnails), selects and captures.
    void captureSelected(const std::vector<std::size_t>& selection) {
        open();
        enable();
        {
            pavtw::SourceGuard g;
            dialog().cameraChosen(1);
            dialog().setSelection(selection);
            dialog().capture();
        }
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
    TW_UINT16 endTransfer(TW_UINT16* remaining) {
        TW_PENDINGXFERS p{};
        TW_UINT16 rc = ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p);
        *remaining = p.Count;
        return rc;
    }
};

TEST_F(Transfers, TheCameraListShowsNoneThenEachCamera) {
    camera();
    call<void (*)(std::uint32_t, const char*)>("fake_addCamera")(4, "");
    open();
    const auto& list = dialog().camera().cameras();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_STREQ(list[0].label, "None");
    EXPECT_EQ(list[0].number, 0u);
    EXPECT_STREQ(list[1].label, "USB1");
    EXPECT_STREQ(list[1].deviceName, "Kitchen");
    EXPECT_STREQ(list[2].label, "USB4");
    EXPECT_EQ(dialog().camera().currentIndex(), 0u);
    pavtw::SourceGuard g;
    dialog().cameraChosen(1);
    EXPECT_EQ(dialog().model().cameraName, "Kitchen");
    dialog().cameraNameEdited("Garden");
    EXPECT_STREQ(dialog().camera().cameras()[1].deviceName, "Garden");
    dialog().cameraListOpened();
    EXPECT_STREQ(dialog().camera().cameras()[1].deviceName, "Garden");
    EXPECT_EQ(dialog().camera().currentIndex(), 1u);  // still chosen after the rebuild
}

TEST_F(Transfers, CaptureOfThreeSendsOneXferReadyAndDeliversThemInListOrder) {
    camera();
    addPicture(16, 8, 10);
    addPicture(24, 16, 20);
    addPicture(32, 8, 30);
    addPicture(40, 8, 40);
    captureSelected({0, 2, 3});
    ASSERT_EQ(notifications_, std::vector<TW_UINT16>{MSG_XFERREADY});
    EXPECT_EQ(notifiedApp_, app_.Id);
    EXPECT_EQ(pavtw::sessionState(), 6);
    TW_PENDINGXFERS p{};
    ASSERT_EQ(ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &p), TWRC_SUCCESS);
    EXPECT_EQ(+p.Count, 3);
    const int widths[] = {16, 32, 40};
    for (int i = 0; i < 3; ++i) {
        TW_IMAGEINFO info{};
        ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
        EXPECT_EQ(+info.ImageWidth, widths[i]);
        TW_HANDLE h = nullptr;
        ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_XFERDONE) << i;
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(pavtw::sessionState(), 7);
        auto* header = static_cast<pavtw::BitmapInfoHeader*>(h);
        EXPECT_EQ(header->biWidth, widths[i]);
        EXPECT_EQ(header->biHeight, 8);
        EXPECT_EQ(header->biBitCount, 24);
        EXPECT_EQ(header->biSizeImage, static_cast<std::uint32_t>(widths[i] * 8 * 3));
        // Blue carries the picture's seed (BGR order in the block).
        const std::uint8_t* px = static_cast<std::uint8_t*>(h) + 40;
        EXPECT_NEAR(px[0], widths[i] == 16 ? 10 : widths[i] == 32 ? 30 : 40, 3);
        std::free(h);
        TW_UINT16 remaining = 99;
        ASSERT_EQ(endTransfer(&remaining), TWRC_SUCCESS);
        EXPECT_EQ(remaining, 2 - i);
        EXPECT_EQ(pavtw::sessionState(), i < 2 ? 6 : 5);
    }
    EXPECT_EQ(notifications_.size(), 1u);
}

TEST_F(Transfers, CaptureWithNothingSelectedSendsNothing) {
    camera();
    addPicture(16, 8, 1);
    captureSelected({});
    EXPECT_TRUE(notifications_.empty());
    EXPECT_EQ(pavtw::sessionState(), 5);
    pavtw::SourceGuard g;
    dialog().close();
    // (delivered when the guard goes)
}

TEST_F(Transfers, CloseSendsCloseRequest) {
    open();
    enable();
    {
        pavtw::SourceGuard g;
        dialog().close();
    }
    EXPECT_EQ(notifications_, std::vector<TW_UINT16>{MSG_CLOSEDSREQ});
}

TEST_F(Transfers, WithoutTheScalerAScaledPictureIsDropped) {
    ::setenv("PAV512_SCALER_LIBRARY", "/nonexistent/libpavscale.so", 1);
    setScaling(1, 50);
    camera();
    addPicture(64, 48, 5);
    captureSelected({0});
    TW_HANDLE h = nullptr;
    EXPECT_EQ(ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_FAILURE);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(conditionCode(), TWCC_OPERATIONERROR);
    EXPECT_EQ(pavtw::sessionState(), 6);
}

TEST_F(Transfers, ScalingHalvesA640By480Picture) {
    setScaling(1, 50);
    camera();
    addPicture(640, 480, 5);
    captureSelected({0});
    EXPECT_EQ(dialog().model().thumbnails.at(0).label, "1 (320x240)");
    TW_IMAGEINFO info{};
    ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    EXPECT_EQ(+info.ImageWidth, 320);
    EXPECT_EQ(+info.ImageLength, 240);
    TW_HANDLE h = nullptr;
    ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_XFERDONE);
    auto* header = static_cast<pavtw::BitmapInfoHeader*>(h);
    EXPECT_EQ(header->biWidth, 320);
    EXPECT_EQ(header->biHeight, 240);
    EXPECT_EQ(header->biSizeImage, 320u * 240 * 3);
    std::free(h);
}

TEST_F(Transfers, APictureOfOneBlockNeedsNoNextBlock) {
    camera();
    std::uint32_t id = addPicture(16, 16, 1, 2048);
    ASSERT_EQ(call<std::uint32_t (*)(std::uint32_t)>("fake_pictureBytes")(id), 2048u);
    captureSelected({0});
    TW_HANDLE h = nullptr;
    ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_XFERDONE);
    std::free(h);
    EXPECT_EQ(count("PACI_ReadFirstBlock"), 1);
    EXPECT_EQ(count("PACI_ReadNextBlock"), 0);
}

TEST_F(Transfers, ALargePictureComesInBlocksOf2048) {
    camera();
    std::uint32_t id = addPicture(16, 16, 1, 5000);
    captureSelected({0});
    TW_HANDLE h = nullptr;
    ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_XFERDONE);
    std::free(h);
    ASSERT_EQ(call<std::uint32_t (*)(std::uint32_t)>("fake_pictureBytes")(id), 5000u);
    EXPECT_EQ(count("PACI_ReadNextBlock"), 2);  // 2048 + 2048 + 904
    EXPECT_EQ(dialog().model().progressRange, 5000u);
    EXPECT_EQ(dialog().model().progressPosition, 5000u);
}

TEST_F(Transfers, CancelDuringADownloadFailsTheTransfer) {
    camera();
    addPicture(64, 64, 1, 9000);
    view_.cancelDue = call<int (*)()>("fake_cancelDue");
    call<void (*)(int)>("fake_cancelAfterBlocks")(1);
    captureSelected({0});
    int cancelsBefore = count("PACI_CancelBlockTransfer");
    TW_HANDLE h = nullptr;
    EXPECT_EQ(ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_FAILURE);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(conditionCode(), TWCC_OPERATIONERROR);
    // One cancel clears the way before the first block, one stops the transfer.
    EXPECT_EQ(count("PACI_CancelBlockTransfer") - cancelsBefore, 2);
    EXPECT_EQ(count("PACI_ReadNextBlock"), 1);
    EXPECT_EQ(pavtw::sessionState(), 6);
}

TEST_F(Transfers, MemoryTransferOfOneRowPerCall) {
    camera();
    addPicture(20, 12, 77);
    captureSelected({0});
    TW_SETUPMEMXFER setup{};
    ASSERT_EQ(ds(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
    EXPECT_EQ(+setup.MinBufSize, 60u);
    EXPECT_EQ(+setup.MaxBufSize, 20u * 12 * 3);
    std::vector<std::uint8_t> row(60);
    TW_IMAGEMEMXFER x{};
    // A buffer shorter than a row is too little memory.
    x.Memory = TW_MEMORY{TWMF_APPOWNS | TWMF_POINTER, 59, row.data()};
    EXPECT_EQ(ds(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_LOWMEMORY);
    x.Memory.Length = 60;
    std::vector<std::uint8_t> image;
    int calls = 0;
    TW_UINT16 rc;
    while ((rc = ds(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x)) == TWRC_SUCCESS) {
        EXPECT_EQ(+x.Rows, 1u);
        EXPECT_EQ(+x.YOffset, static_cast<TW_UINT32>(calls));
        EXPECT_EQ(+x.BytesWritten, 60u);
        EXPECT_EQ(+x.BytesPerRow, 60u);
        EXPECT_EQ(+x.Columns, 20u);
        image.insert(image.end(), row.begin(), row.end());
        ASSERT_LT(++calls, 100);
    }
    EXPECT_EQ(calls, 12);
    EXPECT_EQ(rc, TWRC_XFERDONE);
    EXPECT_EQ(+x.BytesWritten, 0u);
    EXPECT_EQ(+x.YOffset, 12u);
    // Top row first, RGB order: red grows with x, green with y, blue = seed.
    EXPECT_NEAR(image[0], 0, 3);
    EXPECT_NEAR(image[(19) * 3], 255, 3);
    EXPECT_NEAR(image[1], 0, 3);
    EXPECT_NEAR(image[11 * 60 + 1], 255, 3);
    EXPECT_NEAR(image[2], 77, 3);
}

TEST_F(Transfers, FileTransferPadsRowsTo4Bytes) {
    camera();
    addPicture(81, 5, 9);
    captureSelected({0});
    std::string path = ::testing::TempDir() + "twain_file_" + std::to_string(::getpid()) + ".bmp";
    TW_SETUPFILEXFER f{};
    std::snprintf(f.FileName, sizeof f.FileName, "%s", path.c_str());
    ASSERT_EQ(ds(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &f), TWRC_SUCCESS);
    ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
    EXPECT_EQ(pavtw::sessionState(), 7);
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 54u + 244 * 5);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    std::uint32_t bfSize, offBits, width, image;
    std::memcpy(&bfSize, &bytes[2], 4);
    std::memcpy(&offBits, &bytes[10], 4);
    std::memcpy(&width, &bytes[18], 4);
    std::memcpy(&image, &bytes[34], 4);
    EXPECT_EQ(bfSize, bytes.size());
    EXPECT_EQ(offBits, 54u);
    EXPECT_EQ(width, 81u);
    EXPECT_EQ(image, 244u * 5);
    EXPECT_EQ(bytes[54 + 243], 0);  // the padding byte of the first row
    std::remove(path.c_str());
}

TEST_F(Transfers, ClearCameraDeletesEveryPictureInOneCommand) {
    camera();
    addPicture(16, 8, 1);
    addPicture(16, 8, 2);
    open();
    pavtw::SourceGuard g;
    dialog().cameraChosen(1);
    ASSERT_EQ(dialog().model().thumbnails.size(), 2u);
    EXPECT_TRUE(dialog().model().captureEnabled);
    EXPECT_TRUE(dialog().model().clearEnabled);
    view_.answerYes = false;
    dialog().clearCamera();
    EXPECT_EQ(view_.questions, 1);
    EXPECT_EQ(count("PACI_Command"), 0);
    EXPECT_EQ(call<int (*)()>("fake_pictureCount")(), 2);
    view_.answerYes = true;
    dialog().clearCamera();
    EXPECT_EQ(count("PACI_Command"), 1);
    EXPECT_EQ(call<std::uint32_t (*)()>("fake_lastCommandArg1")(), 0xFFFFFFFFu);
    EXPECT_TRUE(dialog().model().thumbnails.empty());
    EXPECT_FALSE(dialog().model().captureEnabled);
    EXPECT_FALSE(dialog().model().clearEnabled);
    EXPECT_TRUE(dialog().model().getPicturesEnabled);
}

TEST_F(Transfers, UnpluggingSelectsNoneAtTheNextTimerTick) {
    camera();
    addPicture(16, 8, 1);
    open();
    pavtw::SourceGuard g;
    dialog().cameraChosen(1);
    EXPECT_TRUE(dialog().model().timerRunning);
    dialog().timerTick();
    EXPECT_EQ(dialog().camera().currentIndex(), 1u);
    call<void (*)()>("fake_unplugAll")();
    dialog().timerTick();
    EXPECT_EQ(dialog().camera().currentIndex(), 0u);
    EXPECT_EQ(dialog().model().cameraIndex, 0u);
    EXPECT_EQ(dialog().model().cameraLabels, std::vector<std::string>{"None"});
    EXPECT_EQ(view_.beeps, 1);
    EXPECT_FALSE(dialog().model().listVisible);
}

TEST_F(Transfers, PendingResetDiscardsTheRest) {
    camera();
    addPicture(16, 8, 1);
    addPicture(16, 8, 2);
    captureSelected({0, 1});
    TW_HANDLE h = nullptr;
    ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_XFERDONE);
    std::free(h);
    TW_PENDINGXFERS p{};
    ASSERT_EQ(ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &p), TWRC_SUCCESS);
    EXPECT_EQ(+p.Count, 0);
    EXPECT_EQ(pavtw::sessionState(), 5);
}

TEST(UploadText, OnlyTheNumberPlaceholderIsFilled) {
    EXPECT_EQ(pavtw::fillNumber("Uploading image %d", 3), "Uploading image 3");
    EXPECT_EQ(pavtw::fillNumber("%s %d %d %n", 7), "%s 7 %d %n");
    EXPECT_EQ(pavtw::fillNumber("100%% %u", 2), "100% 2");
}

}  // namespace
}  // namespace twaintest
