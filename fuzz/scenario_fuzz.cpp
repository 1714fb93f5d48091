// Arbitrary text as a scenario file of the simulated camera, as a user hands
// one to the driver host: either a clear reason it is refused, or a camera
// made from it, with its content, without a crash.
#include <cstdint>
#include <string>

#include "sim/scenario.h"
#include "sim/sim_camera.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const sim::Scenario s = sim::parseScenario(text, &error, "fuzz.json");
    if (!error.empty()) return 0;
    auto camera = sim::SimCamera::create(s);
    if (!camera) __builtin_trap();
    return 0;
}
