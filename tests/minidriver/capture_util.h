// What the capture tests share: bringing a capture up through the stand-in
// the way the stream class does, and judging the frames it received.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "driver/core/srbif.h"
#include "host/minidriver.h"
#include "tests/support/camera_harness.h"

namespace mdtest {

constexpr ULONG kMjpg = 0x47504A4D;
constexpr ULONG imageSizeOf(ULONG width, ULONG height) {
    return 2 * width * height + 608;
}

// Connect, initialise, intersect the first range (at width x height, 0: its
// default), open, optionally indicate the stand-in's master clock, pause,
// run. A frame interval of 0 makes every frame due (-1: the intersected
// one). *format gets what was opened.
::testing::AssertionResult startCapture(pavtest::CameraHarness& h, host::CaptureMinidriver& mini,
                                        KS_DATAFORMAT_VIDEOINFOHEADER* format = nullptr,
                                        LONG width = 0, LONG height = 0, bool masterClock = false,
                                        LONGLONG frameInterval = -1);
// The same after the connect, for a stand-in already connected.
::testing::AssertionResult openAndRun(host::CaptureMinidriver& mini,
                                      KS_DATAFORMAT_VIDEOINFOHEADER* format = nullptr,
                                      LONG width = 0, LONG height = 0, bool masterClock = false,
                                      LONGLONG frameInterval = -1);

// The driver's record of the stand-in's open stream.
SrbifStream* driverStream(host::CaptureMinidriver& mini);

// Whether `bytes` is a whole JPEG picture of width x height.
bool decodes(const std::vector<std::uint8_t>& bytes, int width, int height);

// Waits for the camera's next "video stalled" event after `seen` of them
// through the stand-in's watch: no data has come for a while, so no frame
// is on its way through the driver any more.
bool waitStalled(host::CaptureMinidriver& mini, std::size_t seen);
std::size_t stalledSeen(host::CaptureMinidriver& mini);

// Keeps `reads` reads queued until `frames` frames have come, then pauses
// the camera's video and waits until the driver has seen it stall (the
// stand-in must watch the "video stalled" event): what is still queued
// then stays queued.
::testing::AssertionResult stallWithReadsQueued(pavtest::CameraHarness& h,
                                                host::CaptureMinidriver& mini, std::size_t reads,
                                                std::size_t frames);

}  // namespace mdtest
