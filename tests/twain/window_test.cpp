// The real GTK window under an X server: Xvfb is started for this process
// when no display is given.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "tests/twain/source_fixture.h"
#include "twain/source/gtk_view.h"

namespace twaintest {
namespace {

pid_t g_xvfb = 0;

// A display for the process, or an empty string when there is none to have.
std::string display() {
    static std::string name = [] {
        // A server of our own when Xvfb is there (the display the session
        // names may be gone); else the display given.
        const char* given = std::getenv("DISPLAY");
        std::string fallback = given && *given ? given : "";
        int fds[2];
        if (::pipe(fds) != 0) return fallback;
        pid_t pid = ::fork();
        if (pid == 0) {
            // The server ends with this process. Killing it from an exit
            // handler instead would cut the window thread's connection while
            // the process is still ending, and the toolkit exits with 1 then.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::close(fds[0]);
            std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                     "-nolisten", "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        // The server writes its number and a newline once it listens; the
        // pipe stays open behind it (closing it early ends the server).
        char buf[16] = {};
        ssize_t n = 0;
        while (pid > 0 && n < static_cast<ssize_t>(sizeof buf - 1)) {
            ssize_t r = ::read(fds[0], buf + n, 1);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0 || buf[n] == '\n') {
                if (r > 0) ++n;
                break;
            }
            ++n;
        }
        if (n <= 0) {
            if (pid > 0) ::waitpid(pid, nullptr, 0);
            return fallback;
        }
        g_xvfb = pid;
        std::string d = ":" + std::string(buf, std::strlen(buf) - (buf[n - 1] == '\n' ? 1 : 0));
        ::setenv("DISPLAY", d.c_str(), 1);
        return d;
    }();
    return name;
}

template <typename F>
bool waitFor(F condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Window : public SourceTest {
  protected:
    void SetUp() override {
        SourceTest::SetUp();
        if (display().empty())
            GTEST_SKIP() << "no X display and no Xvfb to start: the window cannot be tested";
        pavtw::setViewFactory(
            [](pavtw::CaptureDialog& d) { return pavtw::makeViewFrom(pavtw::makeGtkWindow, d); });
        call<void (*)(std::uint32_t, const char*)>("fake_addCamera")(1, "Kitchen");
        for (int i = 0; i < 3; ++i)
            call<std::uint32_t (*)(int, int, int, std::uint32_t)>("fake_addPicture")(40 + 8 * i, 30,
                                                                                     50 * i, 0);
        open();
        ASSERT_NE(view(), nullptr) << "the window did not come up";
        enable();
        {
            pavtw::SourceGuard g;
            pavtw::currentDialog()->cameraChosen(1);
        }
        view()->sync();
    }
    pavtw::DialogView* view() { return pavtw::currentDialog()->view(); }
};

TEST_F(Window, ControlsSitWhereTheDialogUnitsPlaceThemAndThumbnailsShow) {
    pavtw::DialogUnits du;
    for (const pavtw::ControlSpec& c : pavtw::kCaptureControls) {
        // The list follows the window's layout, and without a logo file the
        // logo's place stays empty.
        if (c.kind == pavtw::kListView || c.id == pavtw::kIdLogo) continue;
        pavtw::ControlGeometry g;
        ASSERT_TRUE(view()->geometry(pavtw::kCaptureDialogId, c.id, &g)) << c.id;
        EXPECT_TRUE(g.visible) << c.id;
        EXPECT_EQ(g.x, du.x(c.x)) << c.id;
        EXPECT_EQ(g.y, du.y(c.y)) << c.id;
        EXPECT_GE(g.width, du.x(c.width)) << c.id;
    }
    EXPECT_EQ(view()->thumbnailCount(), 3u);
    EXPECT_TRUE(
        view()->screenshot(pavtw::kCaptureDialogId, TWAIN_SHOT_DIR "/twain_capture_dialog.png"));
    view()->showProgressForInspection(true);
    view()->sync();
    for (const pavtw::ControlSpec& c : pavtw::kProgressControls) {
        pavtw::ControlGeometry g;
        ASSERT_TRUE(view()->geometry(pavtw::kProgressDialogId, c.id, &g)) << c.id;
        EXPECT_EQ(g.visible, c.id != pavtw::kIdReadBytes) << c.id;
        if (!g.visible) continue;
        EXPECT_EQ(g.x, du.x(c.x)) << c.id;
        EXPECT_EQ(g.y, du.y(c.y)) << c.id;
    }
    EXPECT_TRUE(
        view()->screenshot(pavtw::kProgressDialogId, TWAIN_SHOT_DIR "/twain_progress_dialog.png"));
    view()->showProgressForInspection(false);
}

TEST_F(Window, CaptureOfThreeSelectedThumbnails) {
    ASSERT_TRUE(view()->selectThumbnails({0, 1, 2}));
    view()->sync();
    ASSERT_TRUE(view()->click(pavtw::kIdCapture));
    ASSERT_TRUE(waitFor([&] {
        pavtw::SourceGuard g;
        return pavtw::sessionState() == 6;
    }));
    view()->sync();
    EXPECT_EQ(notifications_, std::vector<TW_UINT16>{MSG_XFERREADY});
    for (int i = 0; i < 3; ++i) {
        TW_HANDLE h = nullptr;
        ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_XFERDONE);
        EXPECT_EQ(static_cast<pavtw::BitmapInfoHeader*>(h)->biWidth, 40 + 8 * i);
        std::free(h);
        TW_PENDINGXFERS p{};
        ASSERT_EQ(ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_SUCCESS);
    }
    EXPECT_EQ(pavtw::sessionState(), 5);
}

TEST_F(Window, AnsweringNoDeletesNothing) {
    ASSERT_TRUE(view()->click(pavtw::kIdClearCamera));
    ASSERT_TRUE(waitFor([&] { return view()->answerQuestion(false); }));
    view()->sync();
    EXPECT_EQ(call<int (*)(const char*)>("fake_count")("PACI_Command"), 0);
    EXPECT_EQ(call<int (*)()>("fake_pictureCount")(), 3);
    ASSERT_TRUE(view()->click(pavtw::kIdClearCamera));
    ASSERT_TRUE(waitFor([&] { return view()->answerQuestion(true); }));
    ASSERT_TRUE(waitFor([&] { return call<int (*)()>("fake_pictureCount")() == 0; }));
}

TEST_F(Window, UnpluggingSelectsNoneAtTheNextTick) {
    call<void (*)()>("fake_unplugAll")();
    EXPECT_TRUE(waitFor([&] {
        pavtw::SourceGuard g;
        return pavtw::currentDialog()->camera().currentIndex() == 0;
    }));
    pavtw::SourceGuard g;
    EXPECT_EQ(pavtw::currentDialog()->model().cameraLabels, std::vector<std::string>{"None"});
}

TEST_F(Window, TheLanguageSwitchChangesTheTexts) {
    EXPECT_EQ(view()->widgetText(pavtw::kCaptureDialogId, pavtw::kIdCapture), "C_apture");
    EXPECT_EQ(view()->widgetText(pavtw::kCaptureDialogId, pavtw::kIdTwainControls), "TWAIN Controls");
    pavtw::ControlGeometry g;
    ASSERT_TRUE(view()->geometry(pavtw::kCaptureDialogId, pavtw::kIdLanguage, &g));
    EXPECT_TRUE(g.visible);
    ASSERT_TRUE(view()->chooseLanguage(1));
    view()->sync();
    EXPECT_EQ(view()->widgetText(pavtw::kCaptureDialogId, pavtw::kIdCapture), "_Aufnehmen");
    EXPECT_EQ(view()->widgetText(pavtw::kCaptureDialogId, pavtw::kIdTwainControls), "TWAIN-Steuerung");
    EXPECT_EQ(view()->widgetText(pavtw::kCaptureDialogId, pavtw::kIdGetPictures), "_Bilder holen");
    EXPECT_EQ(view()->widgetText(pavtw::kProgressDialogId, pavtw::kIdPressCancel),
              "Zum Anhalten Abbrechen druecken");
    EXPECT_EQ(view()->widgetText(pavtw::kProgressDialogId, pavtw::kIdProgressCancel), "Ab_brechen");
    EXPECT_TRUE(
        view()->screenshot(pavtw::kCaptureDialogId, TWAIN_SHOT_DIR "/twain_capture_dialog_deutsch.png"));
    ASSERT_TRUE(view()->chooseLanguage(0));
    view()->sync();
    EXPECT_EQ(view()->widgetText(pavtw::kCaptureDialogId, pavtw::kIdCapture), "C_apture");
}

TEST_F(Window, CancelIsTakenWhileTheThumbnailsLoad) {
    for (int i = 0; i < 5; ++i)
        call<std::uint32_t (*)(int, int, int, std::uint32_t)>("fake_addPicture")(16, 16, i, 0);
    pavtw::CaptureDialog* dialog = nullptr;
    {
        pavtw::SourceGuard g;
        dialog = pavtw::currentDialog();
    }
    // The loader stops inside its second thumbnail until the test lets it go.
    call<void (*)(int)>("fake_holdPreview")(2);
    ASSERT_TRUE(view()->click(pavtw::kIdGetPictures));
    ASSERT_TRUE(waitFor([&] { return call<int (*)()>("fake_previewHeld")() == 1; }));
    // Meanwhile the window draws the progress dialog and takes the press.
    EXPECT_TRUE(waitFor([&] {
        pavtw::ControlGeometry g;
        return view()->geometry(pavtw::kProgressDialogId, pavtw::kIdProgressCancel, &g) && g.visible;
    }));
    ASSERT_TRUE(view()->click(pavtw::kIdProgressCancel));
    const bool taken = waitFor([&] { return dialog->cancelRequested(); });
    call<void (*)()>("fake_releasePreview")();
    ASSERT_TRUE(taken) << "the window did not answer while the thumbnails loaded";
    view()->sync();
    pavtw::SourceGuard g;
    // The thumbnail being read when Cancel came is kept; no more are read.
    EXPECT_EQ(dialog->model().thumbnails.size(), 2u);
    EXPECT_FALSE(dialog->model().progressVisible);
    EXPECT_EQ(view()->thumbnailCount(), 2u);
}

TEST_F(Window, ClosingTheSourceWhileAWindowCommandWaitsForTheLockEndsBoth) {
    std::promise<void> closed;
    std::future<void> done = closed.get_future();
    std::thread app([&] {
        {
            pavtw::SourceGuard g;
            EXPECT_TRUE(view()->click(pavtw::kIdGetPictures));
            // The window's command is held up behind the lock this thread holds.
            EXPECT_TRUE(waitFor([] { return pavtw::sourceLockWaiters() >= 1; }));
            TW_IDENTITY source{};
            EXPECT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source), TWRC_SUCCESS);
        }
        closed.set_value();
    });
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        // The window and the application wait for each other: nothing ends.
        std::fprintf(stderr, "closing the source deadlocked against the window's command\n");
        std::_Exit(1);
    }
    app.join();
    pavtw::SourceGuard g;
    EXPECT_EQ(pavtw::currentDialog(), nullptr);
    EXPECT_EQ(pavtw::sessionState(), 3);
}

}  // namespace
}  // namespace twaintest

// The toolkit's libraries keep caches (fonts, types, the bus connection) for
// the life of the process and never free them; the leak checker is told
// about those libraries only, so a leak of the data source's own still fails.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\n"
           "leak:libdbus-1.so\n"
           "leak:libgtk-3.so\n"
           "leak:libgdk-3.so\n"
           "leak:libpango-1.0.so\n"
           "leak:libpangoft2-1.0.so\n"
           "leak:libcairo.so\n"
           "leak:libharfbuzz.so\n"
           "leak:libatk-bridge-2.0.so\n"
           "leak:libatspi.so\n";
}
