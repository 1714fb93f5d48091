// The scaler, a separate library (libpavscale.so, built in scaler/) loaded by
// name. Its contract: PAVScaleHandleOpen(slot, source width, source height,
// target width, target height), PAVScaleProcess(slot, source pixels, source
// bytes, target pixels, target bytes) and PAVScaleHandleClose(slot), each 0
// on success; the pixels are the pixel areas of two bitmap blocks. The slot
// is the caller's pointer-sized variable that the scaler fills at open.
//
// Each entry point has its own slot in the binding, resolved on its first
// use; a name that does not resolve leaves the slot unresolved, so the next
// call tries again. A call that cannot reach the library (not loaded, or the
// entry point missing) gives kScalerNotReached.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "library/stills/module.h"

namespace pavstills {

constexpr std::uint32_t kScalerNotReached = 10;

class ScalerBinding {
  public:
    // Null when the library cannot be loaded (the scaler error bit is then
    // recorded).
    static std::unique_ptr<ScalerBinding> load(const std::string& name = scalerLibraryName());
    ~ScalerBinding();
    ScalerBinding(const ScalerBinding&) = delete;
    ScalerBinding& operator=(const ScalerBinding&) = delete;

    std::uint32_t open(void** slot, std::uint32_t sourceWidth, std::uint32_t sourceHeight,
                       std::uint32_t targetWidth, std::uint32_t targetHeight);
    std::uint32_t process(void** slot, const std::uint8_t* source, std::uint32_t sourceBytes,
                          std::uint8_t* target, std::uint32_t targetBytes);
    std::uint32_t close(void** slot);
    // Frees the library; every later call gives kScalerNotReached.
    void unload();
    bool loaded() const { return module_ != nullptr; }

  private:
    enum Slot { kOpen, kProcess, kClose, kSlots };
    ScalerBinding() = default;
    void* resolve(Slot slot);

    std::unique_ptr<Module> module_;
    std::atomic<void*> slots_[kSlots] = {};
};

}  // namespace pavstills
