// The dialog's window lives in a module of its own, loaded when the first
// dialog is made; the controller bridge below is what it calls back.
#include <dlfcn.h>

#include <cstdlib>

#include "twain/source/data_source.h"

namespace pavtw {

namespace {

// Every command takes the source's lock and then looks whether its dialog is
// still the session's: one that was closed while the command waited for the
// lock is on its way out and is left alone.
class Bridge : public DialogController {
  public:
    explicit Bridge(CaptureDialog* dialog) : dialog_(dialog) {}
    DialogModel snapshot() override {
        SourceGuard g;
        return live() ? dialog_->model() : DialogModel{};
    }
    void cameraListOpened() override {
        SourceGuard g;
        if (live()) dialog_->cameraListOpened();
    }
    void cameraChosen(std::size_t index) override {
        SourceGuard g;
        if (live()) dialog_->cameraChosen(index);
    }
    void cameraNameEdited(const std::string& text) override {
        SourceGuard g;
        if (live()) dialog_->cameraNameEdited(text);
    }
    void command(int id) override {
        SourceGuard g;
        if (!live()) return;
        switch (id) {
        case kIdCapture: dialog_->capture(); break;
        case kIdClose: dialog_->close(); break;
        case kIdGetPictures: dialog_->getPictures(); break;
        case kIdClearCamera: dialog_->clearCamera(); break;
        default: break;
        }
    }
    void setSelection(const std::vector<std::size_t>& indices) override {
        SourceGuard g;
        if (live()) dialog_->setSelection(indices);
    }
    void timerTick() override {
        SourceGuard g;
        if (live()) dialog_->timerTick();
    }
    void languageChosen(std::size_t index) override {
        SourceGuard g;
        if (live()) dialog_->languageChanged(static_cast<std::uint32_t>(index));
    }
    // Without the lock: Cancel must get through while a download or the
    // thumbnail loader holds it. The dialog outlives its window, whose
    // threads are done before the dialog goes.
    void cancel() override { dialog_->cancelPressed(); }

  private:
    bool live() const { return currentDialog() == dialog_; }
    CaptureDialog* dialog_;
};

// A view that owns the bridge the window calls.
class LoadedView : public DialogView {
  public:
    LoadedView(std::unique_ptr<Bridge> bridge, DialogView* view) : bridge_(std::move(bridge)), view_(view) {}
    ~LoadedView() override { delete view_; }
    bool show() override { return view_->show(); }
    void hide() override { view_->hide(); }
    void modelChanged() override { view_->modelChanged(); }
    bool askYesNo(const std::string& t, const std::string& c) override { return view_->askYesNo(t, c); }
    void messageBox(const std::string& t, const std::string& c) override { view_->messageBox(t, c); }
    void beep() override { view_->beep(); }
    bool geometry(int d, int id, ControlGeometry* out) override { return view_->geometry(d, id, out); }
    bool screenshot(int d, const std::string& p) override { return view_->screenshot(d, p); }
    bool click(int id) override { return view_->click(id); }
    bool answerQuestion(bool yes) override { return view_->answerQuestion(yes); }
    bool selectThumbnails(const std::vector<std::size_t>& i) override { return view_->selectThumbnails(i); }
    std::size_t thumbnailCount() override { return view_->thumbnailCount(); }
    bool showProgressForInspection(bool on) override { return view_->showProgressForInspection(on); }
    bool chooseLanguage(std::size_t i) override { return view_->chooseLanguage(i); }
    std::string widgetText(int d, int id) override { return view_->widgetText(d, id); }
    void sync() override { view_->sync(); }

  private:
    std::unique_ptr<Bridge> bridge_;
    DialogView* view_;
};

}  // namespace

std::unique_ptr<DialogView> makeViewFrom(MakeViewFn make, CaptureDialog& dialog) {
    auto bridge = std::make_unique<Bridge>(&dialog);
    DialogView* view = make ? make(bridge.get()) : nullptr;
    if (!view) return nullptr;
    return std::make_unique<LoadedView>(std::move(bridge), view);
}

std::unique_ptr<DialogView> makeGtkView(CaptureDialog& dialog) {
    // The window module keeps a UI thread running once started, so it stays
    // loaded for the life of the process.
    // PAV512TW_VIEW_MODULE names another window module (a path), for
    // programs that drive the dialog without a display.
    static void* module = [] {
        const char* other = std::getenv("PAV512TW_VIEW_MODULE");
        const std::string path = other && *other ? std::string(other) : moduleDirectory() + "pav512tw_gtk.so";
        return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    }();
    if (!module) return nullptr;
    auto make = reinterpret_cast<MakeViewFn>(::dlsym(module, "pav512tw_make_view"));
    return makeViewFrom(make, dialog);
}

}  // namespace pavtw
