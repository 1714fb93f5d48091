#include "tests/minidriver/capture_util.h"

#include <turbojpeg.h>

#include <algorithm>

#include "driver/core/device_context.h"
#include "pav512/guids.h"
#include "sim/sim_camera.h"
#include "tests/support/kernel_test.h"

namespace mdtest {
namespace {

::testing::AssertionResult fail(const char* step, NTSTATUS st) {
    return ::testing::AssertionFailure()
           << step << " gave 0x" << std::hex << static_cast<ULONG>(st);
}

}  // namespace

::testing::AssertionResult startCapture(pavtest::CameraHarness& h, host::CaptureMinidriver& mini,
                                        KS_DATAFORMAT_VIDEOINFOHEADER* format, LONG width,
                                        LONG height, bool masterClock, LONGLONG frameInterval) {
    NTSTATUS st = mini.connect(h.fdo());
    if (st != STATUS_SUCCESS) return fail("connect", st);
    return openAndRun(mini, format, width, height, masterClock, frameInterval);
}

::testing::AssertionResult openAndRun(host::CaptureMinidriver& mini,
                                      KS_DATAFORMAT_VIDEOINFOHEADER* format, LONG width,
                                      LONG height, bool masterClock, LONGLONG frameInterval) {
    NTSTATUS st = mini.initialiseDevice();
    if (st != STATUS_SUCCESS) return fail("initialise", st);
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    if ((st = mini.intersect(&f, width, height)) != STATUS_SUCCESS) return fail("intersect", st);
    if (frameInterval >= 0) f.VideoInfoHeader.AvgTimePerFrame = frameInterval;
    if ((st = mini.openStream(f)) != STATUS_SUCCESS) return fail("open", st);
    if (masterClock && (st = mini.indicateMasterClock(true)) != STATUS_SUCCESS)
        return fail("master clock", st);
    if ((st = mini.setState(KSSTATE_PAUSE)) != STATUS_SUCCESS) return fail("pause", st);
    if ((st = mini.setState(KSSTATE_RUN)) != STATUS_SUCCESS) return fail("run", st);
    if (format) *format = f;
    return ::testing::AssertionSuccess();
}

SrbifStream* driverStream(host::CaptureMinidriver& mini) {
    return static_cast<SrbifStream*>(mini.stream()->HwStreamExtension);
}

bool decodes(const std::vector<std::uint8_t>& bytes, int width, int height) {
    tjhandle tj = tjInitDecompress();
    if (!tj) return false;
    int w = 0, h = 0, sub = 0, colour = 0;
    bool ok = tjDecompressHeader3(tj, bytes.data(), static_cast<unsigned long>(bytes.size()), &w,
                                  &h, &sub, &colour) == 0 &&
              w == width && h == height;
    if (ok) {
        std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 3);
        ok = tjDecompress2(tj, bytes.data(), static_cast<unsigned long>(bytes.size()),
                           pixels.data(), w, 0, h, TJPF_RGB, 0) == 0;
    }
    tjDestroy(tj);
    return ok;
}

std::size_t stalledSeen(host::CaptureMinidriver& mini) {
    auto changes = mini.propertyChanges();
    return static_cast<std::size_t>(
        std::count_if(changes.begin(), changes.end(), [](const auto& c) {
            return c.set == pav512::kEventSetCamera && c.identifier == pav512::kEventVideoStalled;
        }));
}

bool waitStalled(host::CaptureMinidriver& mini, std::size_t seen) {
    return pavtest::waitFor([&] { return stalledSeen(mini) > seen; },
                            std::chrono::milliseconds(10000));
}

::testing::AssertionResult stallWithReadsQueued(pavtest::CameraHarness& h,
                                                host::CaptureMinidriver& mini, std::size_t reads,
                                                std::size_t frames) {
    if (!mini.keepReadsQueued(reads)) return ::testing::AssertionFailure() << "reads not queued";
    if (!mini.waitFrames(frames)) return ::testing::AssertionFailure() << "no frames came";
    mini.stopQueueingReads();
    const std::size_t seen = stalledSeen(mini);
    h.camera().pauseVideo(600000);
    if (!waitStalled(mini, seen)) return ::testing::AssertionFailure() << "no stall was seen";
    return ::testing::AssertionSuccess();
}

}  // namespace mdtest
