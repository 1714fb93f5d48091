// The data source's session: its identity, the one connected application,
// the TWAIN state, the condition code and the triplets, over the capture
// dialog and the camera.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "twain/source/capture_dialog.h"
#include "twain/twain_types.h"

namespace pavtw {

TW_UINT16 dsEntry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

// The source's state is one module-wide record. Triplets come on the
// application's thread and the dialog's commands on the window's thread, so
// both hold this lock; notifications queued while it is held are delivered
// after the outermost holder lets go (the application may call back in).
class SourceGuard {
  public:
    SourceGuard();
    ~SourceGuard();
    SourceGuard(const SourceGuard&) = delete;
    SourceGuard& operator=(const SourceGuard&) = delete;
};

// How a notification leaves the source: by default through `DSM_Entry` of
// the source manager already loaded in the process; a silent no-op without it.
using Notifier = std::function<void(const TW_IDENTITY& source, const TW_IDENTITY& app, TW_UINT16 msg)>;
void setNotifier(Notifier notifier);

// Makes the dialog's window; the default is the GTK window.
using ViewFactory = std::function<std::unique_ptr<DialogView>(CaptureDialog& dialog)>;
void setViewFactory(ViewFactory factory);
std::unique_ptr<DialogView> makeGtkView(CaptureDialog& dialog);
// Wraps a window made by `make` with the controller bridge it calls.
std::unique_ptr<DialogView> makeViewFrom(MakeViewFn make, CaptureDialog& dialog);

// Threads waiting to take the source's lock (tests that must know a
// command is held up behind it).
int sourceLockWaiters();

// Read-outs for tests and for the window (hold a SourceGuard).
CaptureDialog* currentDialog();
int sessionState();
std::string moduleDirectory();
// Puts the module back as loading leaves it (tests that link the source).
void resetSession();

}  // namespace pavtw
