#include "tests/twain/script_view.h"

namespace twaintest {
namespace {

ScriptState g_state;

class ScriptView : public pavtw::DialogView {
  public:
    explicit ScriptView(pavtw::DialogController* c) { g_state.controller = c; }
    ~ScriptView() override { g_state.controller = nullptr; }
    bool show() override { return true; }
    void hide() override {}
    void modelChanged() override {
        // Called under the source's lock on the thread that changed the
        // model, so the snapshot is the model as it is now.
        if (!g_state.controller) return;
        pavtw::DialogModel m = g_state.controller->snapshot();
        if (!m.progressVisible || m.progressStep != pavtw::kBlockSize) return;
        if (m.progressPosition > 0 &&
            (g_state.downloadPositions.empty() || g_state.downloadPositions.back() != m.progressPosition))
            g_state.downloadPositions.push_back(m.progressPosition);
        if (g_state.cancelAfterFirstBlock && m.progressPosition > pavtw::kBlockSize) {
            g_state.cancelAfterFirstBlock = false;
            g_state.controller->cancel();
        }
    }
    bool askYesNo(const std::string&, const std::string&) override {
        ++g_state.questions;
        return g_state.answerYes;
    }
    void messageBox(const std::string& text, const std::string&) override { g_state.messages.push_back(text); }
    void beep() override { ++g_state.beeps; }
};

}  // namespace
}  // namespace twaintest

extern "C" __attribute__((visibility("default"))) twaintest::ScriptState* pav_script_state() {
    return &twaintest::g_state;
}

extern "C" __attribute__((visibility("default"))) pavtw::DialogView* pav512tw_make_view(
    pavtw::DialogController* controller) {
    return new twaintest::ScriptView(controller);
}
