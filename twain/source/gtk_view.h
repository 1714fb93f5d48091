// The capture dialog as a GTK 3 window. GTK runs on one thread of its own,
// started with the first window; everything the source asks of the window is
// handed to that thread, and the window's actions reach the source through
// its controller.
#pragma once

#include "twain/source/capture_dialog.h"

namespace pavtw {

DialogView* makeGtkWindow(DialogController* controller);

}  // namespace pavtw
