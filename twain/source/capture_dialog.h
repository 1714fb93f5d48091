// The capture dialog's logic: its controls and captions, the camera choice,
// thumbnails, selection, commands and progress. A view (the GTK window, or a
// test's stand-in) draws the model and forwards the user's actions; nothing
// here needs a display.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "twain/source/still_camera.h"

namespace pavtw {

enum ControlKind { kGroupBox, kPushButton, kDropDown, kEditBox, kStaticBitmap, kListView, kStaticText, kProgressBar };

struct ControlSpec {
    int id;
    ControlKind kind;
    int x, y, width, height;  // dialog units
    const char* text;         // at start
    const char* key;          // caption key, or null
};

// Capture dialog (337 x 189 dialog units) and progress dialog (187 x 106).
enum CaptureControl {
    kIdTwainControls = 1054, kIdCapture = 1056, kIdClose = 2, kIdCameraSettings = 1064,
    kIdCameraChoice = 1067, kIdCameraName = 1079, kIdGetPictures = 1073, kIdClearCamera = 1074,
    kIdLogo = 1200, kIdThumbnails = 1072,
    // The language switch, below the controls (a drop-down of the table's
    // languages; it has no caption of its own).
    kIdLanguage = 1090
};
enum ProgressControl {
    kIdProgressText = 1077, kIdPressCancel = 1078, kIdProgressBar = 1075, kIdReadBytes = 1079,
    kIdProgressCancel = 1076
};
extern const std::vector<ControlSpec> kCaptureControls;
extern const std::vector<ControlSpec> kProgressControls;
constexpr int kCaptureWidthDu = 337, kCaptureHeightDu = 189;
constexpr int kProgressWidthDu = 187, kProgressHeightDu = 106;
constexpr char kProductName[] = "TQM Video Camera";

// Dialog units to pixels from the dialog font's base units (average
// character width and height), as dialog templates are laid out.
struct DialogUnits {
    int baseX = 6;
    int baseY = 13;
    int x(int du) const { return du * baseX / 4; }
    int y(int du) const { return du * baseY / 8; }
};

struct Thumbnail {
    std::string label;               // "%d (%dx%d)"
    std::vector<std::uint8_t> block;  // 80 x 60 bitmap block (14440 bytes)
};

struct DialogModel {
    std::vector<std::pair<int, std::string>> captions;  // control id -> text
    std::vector<std::string> cameraLabels;
    // The languages of the string table and the one the captions are in.
    std::vector<std::string> languages;
    std::size_t language = 0;
    std::size_t cameraIndex = 0;
    std::string cameraName;
    std::vector<Thumbnail> thumbnails;
    std::vector<bool> selected;
    bool captureEnabled = false, clearEnabled = false, getPicturesEnabled = false;
    bool listVisible = false;
    bool timerRunning = false;
    bool visible = false;
    // The logo: info header + pixels of the "CompanyLogo" bitmap, or empty.
    std::vector<std::uint8_t> logo;
    // Progress dialog.
    bool progressVisible = false;
    std::string progressText, pressCancelText, cancelText;
    std::uint32_t progressRange = 0, progressStep = 1, progressPosition = 0;
    std::string caption(int id) const;
};

// What the window calls: each call takes the source's lock itself, except
// cancel(), which must get through while a download holds it.
class DialogController {
  public:
    virtual ~DialogController() = default;
    virtual DialogModel snapshot() = 0;
    virtual void cameraListOpened() = 0;
    virtual void cameraChosen(std::size_t index) = 0;
    virtual void cameraNameEdited(const std::string& text) = 0;
    virtual void command(int controlId) = 0;  // Capture, Close, Get Pictures, Clear Camera
    virtual void setSelection(const std::vector<std::size_t>& indices) = 0;
    virtual void timerTick() = 0;
    // The language switch: index into DialogModel::languages.
    virtual void languageChosen(std::size_t index) = 0;
    virtual void cancel() = 0;
};

struct ControlGeometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool visible = false;
};

// What the view does for the controller.
class DialogView {
  public:
    virtual ~DialogView() = default;
    virtual bool show() = 0;
    virtual void hide() = 0;
    // The model changed; the view redraws from it.
    virtual void modelChanged() = 0;
    virtual bool askYesNo(const std::string& text, const std::string& caption) = 0;
    virtual void messageBox(const std::string& text, const std::string& caption) = 0;
    virtual void beep() = 0;

    // Inspection and driving of the real widgets (the window's own checks and
    // its tests); a view without widgets answers false.
    virtual bool geometry(int /*dialog*/, int /*controlId*/, ControlGeometry* /*out*/) { return false; }
    virtual bool screenshot(int /*dialog*/, const std::string& /*pngPath*/) { return false; }
    virtual bool click(int /*controlId*/) { return false; }
    // Answers the question the window shows; false when none is open.
    virtual bool answerQuestion(bool /*yes*/) { return false; }
    virtual bool selectThumbnails(const std::vector<std::size_t>& /*indices*/) { return false; }
    virtual std::size_t thumbnailCount() { return 0; }
    virtual bool showProgressForInspection(bool /*on*/) { return false; }
    // Picks a language in the window's language switch, as the user would.
    virtual bool chooseLanguage(std::size_t /*index*/) { return false; }
    // The text a control shows (a button's or group box's caption, a label).
    virtual std::string widgetText(int /*dialog*/, int /*controlId*/) { return {}; }
    // Returns once the window has handled everything asked of it so far.
    virtual void sync() {}
};
constexpr int kCaptureDialogId = 0, kProgressDialogId = 1;

// The window module's factory ("pav512tw_gtk.so": pav512tw_make_view).
using MakeViewFn = DialogView* (*)(DialogController* controller);

// The session's side of the dialog.
struct DialogHost {
    std::function<void(std::uint16_t selectedCount)> capture;  // Capture pressed
    std::function<void()> closeRequested;                      // Close pressed
};

class CaptureDialog : public DownloadObserver {
  public:
    explicit CaptureDialog(DialogHost host);
    ~CaptureDialog() override;
    void setView(std::unique_ptr<DialogView> view);
    DialogView* view() { return view_.get(); }

    // Reads the scaling settings and the logo, builds the camera list and
    // chooses the camera used last when it is still there.
    void open();
    void setLogo(std::vector<std::uint8_t> logo);
    bool show();
    void hide();

    // Commands.
    void cameraListOpened();
    void cameraChosen(std::size_t index);
    void cameraNameEdited(const std::string& text);
    void getPictures();
    void clearCamera();
    void capture();
    void close();
    void timerTick();
    void setSelection(const std::vector<std::size_t>& indices);
    void cancelPressed() { cancel_ = true; }
    void languageChanged(std::uint32_t language);
    void applyLanguage();

    // The transfer triplets' side.
    std::vector<std::size_t> selection() const;
    void deselect(std::size_t index);
    StillCamera& camera() { return *camera_; }
    const DialogModel& model() const { return model_; }

    // DownloadObserver.
    void progressBegin(std::uint32_t pictureNumber, std::uint32_t range, std::uint32_t step) override;
    void progressSet(std::uint32_t position) override;
    void progressEnd() override;
    bool cancelRequested() override { return cancel_.load(); }
    void messageBox(const std::string& text) override;

  private:
    void rebuildCameraChoice();
    void updateEnabling();
    void changed();

    DialogHost host_;
    std::unique_ptr<DialogView> view_;
    std::unique_ptr<StillCamera> camera_;
    DialogModel model_;
    std::atomic<bool> cancel_{false};
};

// "UploadingImage" carries one decimal placeholder for the picture number;
// only that placeholder is filled (the text comes from a file and is never
// used as a format).
std::string fillNumber(const std::string& format, std::uint32_t number);

// Registry-held settings the dialog reads when it opens.
ScalingSettings readScalingSettings();
std::vector<std::uint8_t> readLogo(const std::string& moduleDirectory);

}  // namespace pavtw
