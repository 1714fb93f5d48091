#include "library/stills/scaler_adapter.h"

#include "library/stills/error_bits.h"
#include "scaler/pavscale.h"

namespace pavstills {

namespace {
constexpr const char* kSlotNames[] = {"PAVScaleHandleOpen", "PAVScaleProcess",
                                      "PAVScaleHandleClose"};
}  // namespace

std::unique_ptr<ScalerBinding> ScalerBinding::load(const std::string& name) {
    std::unique_ptr<Module> module = Module::load(name);
    if (!module) {
        recordErrorBits(kErrorScalerNotStarted);
        return nullptr;
    }
    std::unique_ptr<ScalerBinding> binding(new ScalerBinding());
    binding->module_ = std::move(module);
    return binding;
}

ScalerBinding::~ScalerBinding() = default;

void* ScalerBinding::resolve(Slot slot) {
    if (!module_) return nullptr;
    void* entry = slots_[slot].load(std::memory_order_acquire);
    if (!entry) {
        // Unresolved stays unresolved: the next call asks again.
        entry = module_->symbol(kSlotNames[slot]);
        if (entry) slots_[slot].store(entry, std::memory_order_release);
    }
    return entry;
}

std::uint32_t ScalerBinding::open(void** slot, std::uint32_t sourceWidth,
                                  std::uint32_t sourceHeight, std::uint32_t targetWidth,
                                  std::uint32_t targetHeight) {
    auto* f = reinterpret_cast<decltype(&::PAVScaleHandleOpen)>(resolve(kOpen));
    const std::uint32_t status =
        f ? f(slot, sourceWidth, sourceHeight, targetWidth, targetHeight) : kScalerNotReached;
    if (status != 0) recordErrorBits(kErrorScalerNotStarted);
    return status;
}

std::uint32_t ScalerBinding::process(void** slot, const std::uint8_t* source,
                                     std::uint32_t sourceBytes, std::uint8_t* target,
                                     std::uint32_t targetBytes) {
    auto* f = reinterpret_cast<decltype(&::PAVScaleProcess)>(resolve(kProcess));
    return f ? f(slot, source, sourceBytes, target, targetBytes) : kScalerNotReached;
}

std::uint32_t ScalerBinding::close(void** slot) {
    auto* f = reinterpret_cast<decltype(&::PAVScaleHandleClose)>(resolve(kClose));
    return f ? f(slot) : kScalerNotReached;
}

void ScalerBinding::unload() {
    for (auto& s : slots_) s.store(nullptr, std::memory_order_release);
    module_.reset();
}

}  // namespace pavstills
