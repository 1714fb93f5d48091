// Shared pieces of the frame manager's tests: a camera brought up by the
// driver with the frame manager's initialisation, a recorder standing in for
// the stream interface's frame delivery (which can hold a delivery to keep a
// frame "being converted"), and feeding chunks to the data routine by hand.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/core/frame.h"
#include "sim/scenario.h"
#include "tests/support/camera_harness.h"

struct DeviceContext;

namespace frametest {

using Bytes = std::vector<std::uint8_t>;

// Every image the frame manager delivered, in order. One per test process;
// reset() in each test.
class Deliveries {
  public:
    static void reset();
    static void install(DeviceContext* device);
    static std::vector<Bytes> images();
    static std::size_t count();
    // The next delivery waits in the worker (under the frame manager's
    // lock, its frame still in flight) until release().
    static void holdNext();
    // True once a held delivery has arrived and is waiting.
    static bool holding();
    static void release();
    // Whether the deliveries keep their images waiting for a read, as a
    // stream with no read queued does (true after reset()).
    static void keep(bool keep);

  private:
    static bool deliver(DeviceContext* device, const UCHAR* image, ULONG length);
};

// Harness options: a scenario named after the test (its own driver key), the
// clock run faster unless asked otherwise.
pavtest::CameraHarnessOptions options(sim::Scenario scenario, double clockScale = 10);
sim::Scenario scenarioFor(const std::string& name);
std::string testName();

// The format the stream interface would pass for a picture size.
FrameFormat mjpgFormat(ULONG width, ULONG height);

// Acquires for video and opens at width x height; the camera's own video
// is paused and the tick's stall call switched off, so that only what the
// test feeds reaches the data routine.
void openQuiet(DeviceContext* device, pavtest::CameraHarness& h, ULONG width, ULONG height);

void feed(DeviceContext* device, const Bytes& chunk);
// A small frame: FF D8, `fill` bytes of `seed`, FF D9.
Bytes frame(std::size_t fill, std::uint8_t seed);

// Live bytes of the frame manager's pool tag.
LONGLONG frameBytes();

}  // namespace frametest
