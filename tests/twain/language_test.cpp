// The dialog's language switch through the controller the window calls,
// with the string table that ships beside the source.
#include "tests/twain/source_fixture.h"

namespace twaintest {
namespace {

pavtw::DialogController* g_controller = nullptr;
FakeViewState* g_viewState = nullptr;

pavtw::DialogView* makeFake(pavtw::DialogController* controller) {
    g_controller = controller;
    return new FakeView(g_viewState);
}

class Language : public SourceTest {
  protected:
    void SetUp() override {
        SourceTest::SetUp();
        g_viewState = &view_;
        pavtw::setViewFactory([](pavtw::CaptureDialog& d) { return pavtw::makeViewFrom(makeFake, d); });
        open();
        ASSERT_NE(g_controller, nullptr);
    }
    void TearDown() override {
        SourceTest::TearDown();
        g_controller = nullptr;
    }
};

TEST_F(Language, TheSwitchRewritesEveryCaptionWithAKey) {
    pavtw::DialogModel m = g_controller->snapshot();
    ASSERT_EQ(m.languages, (std::vector<std::string>{"English", "Deutsch"}));
    EXPECT_EQ(m.language, 0u);
    EXPECT_EQ(m.caption(pavtw::kIdCapture), "C&apture");
    EXPECT_EQ(m.caption(pavtw::kIdTwainControls), "TWAIN Controls");
    EXPECT_EQ(m.pressCancelText, "Press Cancel to stop");

    g_controller->languageChosen(1);
    m = g_controller->snapshot();
    EXPECT_EQ(m.language, 1u);
    EXPECT_EQ(m.caption(pavtw::kIdCapture), "&Aufnehmen");
    EXPECT_EQ(m.caption(pavtw::kIdClose), "&Schliessen");
    EXPECT_EQ(m.caption(pavtw::kIdCameraSettings), "Kamera-Steuerung");
    EXPECT_EQ(m.caption(pavtw::kIdGetPictures), "&Bilder holen");
    EXPECT_EQ(m.caption(pavtw::kIdClearCamera), "Kamera &leeren");
    EXPECT_EQ(m.pressCancelText, "Zum Anhalten Abbrechen druecken");
    EXPECT_EQ(m.cancelText, "Ab&brechen");
    // Controls without a key keep their text.
    EXPECT_EQ(m.caption(pavtw::kIdCameraChoice), "");

    // An index beyond the table changes nothing.
    g_controller->languageChosen(2);
    m = g_controller->snapshot();
    EXPECT_EQ(m.language, 1u);
    EXPECT_EQ(m.caption(pavtw::kIdCapture), "&Aufnehmen");
    g_controller->languageChosen(0);
    EXPECT_EQ(g_controller->snapshot().caption(pavtw::kIdCapture), "C&apture");
}

TEST_F(Language, TheQuestionAndTheProgressComeInTheChosenLanguage) {
    call<void (*)(std::uint32_t, const char*)>("fake_addCamera")(1, "Kitchen");
    call<std::uint32_t (*)(int, int, int, std::uint32_t)>("fake_addPicture")(16, 8, 1, 0);
    g_controller->languageChosen(1);
    g_controller->cameraListOpened();
    g_controller->cameraChosen(1);
    ASSERT_EQ(g_controller->snapshot().thumbnails.size(), 1u);
    EXPECT_EQ(g_controller->snapshot().progressText, "Miniaturbilder werden geladen");
    view_.answerYes = false;
    g_controller->command(pavtw::kIdClearCamera);
    EXPECT_EQ(view_.questions, 1);
    EXPECT_EQ(call<int (*)(const char*)>("fake_count")("PACI_Command"), 0);
}

}  // namespace
}  // namespace twaintest
