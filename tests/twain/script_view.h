// A window module for programs that drive the data source without a display:
// it hands out the controller the source gives its window, answers the
// source's questions as told, and can press Cancel once a download has
// delivered its first block after the first one.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "twain/source/capture_dialog.h"

namespace twaintest {

struct ScriptState {
    pavtw::DialogController* controller = nullptr;
    bool answerYes = true;
    int questions = 0;
    int beeps = 0;
    std::vector<std::string> messages;
    // Cancel is pressed when a picture's progress passes its first block.
    bool cancelAfterFirstBlock = false;
    // Progress positions the dialog showed while a picture downloaded (one
    // per block read after the first).
    std::vector<std::uint32_t> downloadPositions;
};

}  // namespace twaintest

// Exported by the module ("pav_twain_script_view.so").
extern "C" twaintest::ScriptState* pav_script_state();
