#include "twain/source/gtk_view.h"

extern "C" __attribute__((visibility("default"))) pavtw::DialogView* pav512tw_make_view(
    pavtw::DialogController* controller) {
    return pavtw::makeGtkWindow(controller);
}
