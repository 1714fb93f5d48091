// The data source linked into the test, with a window stand-in that records
// what the dialog shows and answers its questions, notifications caught on
// their way to the source manager, and the stand-in user library.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "twain/source/data_source.h"

namespace twaintest {

struct FakeViewState {
    bool showResult = true;
    bool answerYes = true;
    int questions = 0;
    int beeps = 0;
    std::vector<std::string> messages;
    pavtw::CaptureDialog* dialog = nullptr;
    int (*cancelDue)() = nullptr;  // presses Cancel when the library says so
};

class FakeView : public pavtw::DialogView {
  public:
    explicit FakeView(FakeViewState* s) : s_(s) {}
    bool show() override { return s_->showResult; }
    void hide() override {}
    void modelChanged() override {
        if (s_->cancelDue && s_->cancelDue() && s_->dialog) s_->dialog->cancelPressed();
    }
    bool askYesNo(const std::string&, const std::string&) override {
        ++s_->questions;
        return s_->answerYes;
    }
    void messageBox(const std::string& text, const std::string&) override { s_->messages.push_back(text); }
    void beep() override { ++s_->beeps; }

  private:
    FakeViewState* s_;
};

class SourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PAV512TW_USER_LIBRARY", FAKE_PACI_LIBRARY, 1);
        // The scaler that ships beside the user library.
        ::setenv("PAV512_SCALER_LIBRARY", PAVSCALE_LIBRARY, 1);
        fake_ = ::dlopen(FAKE_PACI_LIBRARY, RTLD_NOW);
        ASSERT_NE(fake_, nullptr) << ::dlerror();
        call<void (*)()>("fake_reset")();
        pavtw::resetSession();
        pavtw::setViewFactory([this](pavtw::CaptureDialog& d) {
            view_.dialog = &d;
            return std::make_unique<FakeView>(&view_);
        });
        pavtw::setNotifier([this](const TW_IDENTITY&, const TW_IDENTITY& app, TW_UINT16 msg) {
            notifications_.push_back(msg);
            notifiedApp_ = app.Id;
        });
        app_ = identity(7, 1, 9);
    }
    void TearDown() override {
        pavtw::resetSession();
        pavtw::setViewFactory(nullptr);
        pavtw::setNotifier(nullptr);
        if (fake_) ::dlclose(fake_);
    }

    template <typename F>
    F call(const char* name) {
        void* f = ::dlsym(fake_, name);
        EXPECT_NE(f, nullptr) << name;
        return reinterpret_cast<F>(f);
    }

    static TW_IDENTITY identity(TW_UINT32 id, TW_UINT16 major, TW_UINT16 minor) {
        TW_IDENTITY i{};
        i.Id = id;
        i.ProtocolMajor = major;
        i.ProtocolMinor = minor;
        i.SupportedGroups = DG_CONTROL | DG_IMAGE;
        return i;
    }

    TW_UINT16 ds(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
        return pavtw::dsEntry(&app_, dg, dat, msg, data);
    }
    TW_UINT16 conditionCode() {
        TW_STATUS s{};
        EXPECT_EQ(ds(DG_CONTROL, DAT_STATUS, MSG_GET, &s), TWRC_SUCCESS);
        return s.ConditionCode;
    }
    void open() {
        TW_IDENTITY source{};
        ASSERT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_GET, &source), TWRC_SUCCESS);
        source.Id = 3;
        ASSERT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source), TWRC_SUCCESS);
        ASSERT_EQ(pavtw::sessionState(), 4);
    }
    void enable() {
        TW_USERINTERFACE ui{1, 0, nullptr};
        ASSERT_EQ(ds(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        ASSERT_EQ(pavtw::sessionState(), 5);
    }

    void* fake_ = nullptr;
    FakeViewState view_;
    std::vector<TW_UINT16> notifications_;
    TW_UINT32 notifiedApp_ = 0;
    TW_IDENTITY app_{};
};

}  // namespace twaintest
