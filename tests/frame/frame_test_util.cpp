#include "tests/frame/frame_test_util.h"

#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/support/kernel_test.h"

namespace frametest {
namespace {

std::mutex gLock;
std::condition_variable gChanged;
std::vector<Bytes> gImages;
bool gHoldNext = false;
bool gHolding = false;
bool gKeep = true;

}  // namespace

void Deliveries::reset() {
    std::lock_guard<std::mutex> g(gLock);
    gImages.clear();
    gHoldNext = false;
    gHolding = false;
    gKeep = true;
}

void Deliveries::keep(bool keep) {
    std::lock_guard<std::mutex> g(gLock);
    gKeep = keep;
}

void Deliveries::install(DeviceContext* device) {
    device->frame.hooks.deliver.store(deliver);
    // These deliveries are not the stream interface's: its look at the
    // streams' pacing does not decide which frames reach them.
    device->frame.hooks.wanted.store(nullptr);
}

std::vector<Bytes> Deliveries::images() {
    std::lock_guard<std::mutex> g(gLock);
    return gImages;
}

std::size_t Deliveries::count() {
    std::lock_guard<std::mutex> g(gLock);
    return gImages.size();
}

void Deliveries::holdNext() {
    std::lock_guard<std::mutex> g(gLock);
    gHoldNext = true;
}

bool Deliveries::holding() {
    std::lock_guard<std::mutex> g(gLock);
    return gHolding;
}

void Deliveries::release() {
    std::lock_guard<std::mutex> g(gLock);
    gHoldNext = false;
    gHolding = false;
    gChanged.notify_all();
}

bool Deliveries::deliver(DeviceContext*, const UCHAR* image, ULONG length) {
    std::unique_lock<std::mutex> g(gLock);
    gImages.emplace_back(image, image + length);
    if (gHoldNext) {
        gHoldNext = false;
        gHolding = true;
        gChanged.notify_all();
        gChanged.wait(g, [] { return !gHolding; });
    }
    return gKeep;
}

sim::Scenario scenarioFor(const std::string& name) {
    sim::Scenario s = sim::defaultScenario();
    s.name = name;
    s.defaultContent = false;
    return s;
}

std::string testName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    return name.substr(0, 60);
}

pavtest::CameraHarnessOptions options(sim::Scenario scenario, double clockScale) {
    pavtest::CameraHarnessOptions o;
    o.scenario = std::move(scenario);
    o.clockScale = clockScale;
    return o;
}

FrameFormat mjpgFormat(ULONG width, ULONG height) {
    FrameFormat f;
    f.width = width;
    f.height = height;
    f.bitCount = 24;
    f.compression = 0x47504A4D;  // "MJPG"
    f.imageSize = 2 * width * height + 608;
    return f;
}

void openQuiet(DeviceContext* device, pavtest::CameraHarness& h, ULONG width, ULONG height) {
    h.camera().pauseVideo(1000 * 1000 * 1000);
    device->tickHooks.videoStall.store(nullptr);
    ASSERT_EQ(Frame_AcquireVideo(device), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Open(device, mjpgFormat(width, height)), STATUS_SUCCESS);
    ASSERT_EQ(device->frame.state.load(), kFrameOpen);
}

void feed(DeviceContext* device, const Bytes& chunk) {
    Frame_DataRoutine(device, chunk.data(), static_cast<ULONG>(chunk.size()));
}

Bytes frame(std::size_t fill, std::uint8_t seed) {
    // Made at its whole size: growing a two-byte vector trips a false
    // bounds warning of GCC 12 at -O3.
    Bytes f(fill + 4, seed);
    f[0] = 0xFF;
    f[1] = 0xD8;
    f[fill + 2] = 0xFF;
    f[fill + 3] = 0xD9;
    return f;
}

LONGLONG frameBytes() {
    auto live = pavtest::CameraHarness::liveBytesByTag();
    auto it = live.find(kFrameTag);
    return it == live.end() ? 0 : it->second;
}

}  // namespace frametest
