// A scaler without PAVScaleProcess, whose open and close count their calls:
// a preview through it must stop at the missing entry point and still close
// what it opened.
#include <cstdint>

namespace {
int opens = 0;
int closes = 0;
int token = 0;
}  // namespace

extern "C" {
__attribute__((visibility("default"))) std::uint32_t PAVScaleHandleOpen(void** slot, std::uint32_t,
                                                                         std::uint32_t, std::uint32_t,
                                                                         std::uint32_t) {
    ++opens;
    *slot = &token;
    return 0;
}
__attribute__((visibility("default"))) std::uint32_t PAVScaleHandleClose(void** slot) {
    ++closes;
    *slot = nullptr;
    return 0;
}
__attribute__((visibility("default"))) int stubOpens() {
    return opens;
}
__attribute__((visibility("default"))) int stubCloses() {
    return closes;
}
}
