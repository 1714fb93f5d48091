// The shared library's load and unload hooks (what process attach and detach
// did): they run once per process however often the library is opened.
#include "library/device/library.h"
#include "library/stills/string_table.h"

namespace {

__attribute__((constructor)) void libraryLoaded() {
    try {
        // The language comes first: what the library sets up afterwards
        // may already show a text.
        pavstills::libraryStringsStart();
    } catch (...) {
    }
    try {
        pavu::processAttach();
    } catch (...) {
        // A library that could not set up answers its calls with failures.
    }
}

__attribute__((destructor)) void libraryUnloaded() {
    try {
        pavu::processDetach();
    } catch (...) {
    }
}

}  // namespace
