// Shared pieces of the USB layer tests: a driver whose camera engine runs
// only the USB layer's own modules (the tests drive the layer themselves and
// tear it down on removal the way the camera object does), and a recorder
// behind the data, fill and reset routines of the streams.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "driver/camera/usbif.h"
#include "driver/camera/usbstrm.h"
#include "host/pnp_manager.h"
#include "sim/scenario.h"
#include "tests/support/camera_harness.h"

struct DriverContext;

namespace usbtest {

// Harness options: the scenario as given, every module but the USB layer's
// replaced by nothing, and a stop that destroys every stream of the device
// and terminates the layer.
pavtest::CameraHarnessOptions usbOnly(const sim::Scenario& scenario = sim::defaultScenario(),
                                      double clockScale = 0);
// What the stop does: destroys every stream and terminates the USB layer.
void releaseUsb(DeviceContext* device);
// Reads the descriptors and selects `alternate` (with its fall-back).
NTSTATUS configure(DeviceContext* device, LONG alternate, LONG* selected = nullptr);

// One recorder per test process (the stream routines take no context).
class Recorder {
  public:
    static Recorder& get();
    void clear();
    // Bytes the fill routine supplies in all (it then supplies nothing).
    void setSupply(std::uint32_t bytes);

    static void data(DeviceContext* device, PUCHAR data, ULONG length);
    static ULONG fill(DeviceContext* device, PUCHAR buffer, ULONG length);
    static void reset(DeviceContext* device, ULONG phase);

    std::uint32_t dataCalls() const { return dataCalls_; }
    std::uint64_t dataBytes() const { return dataBytes_; }
    std::vector<ULONG> dataLengths() const;
    std::vector<ULONG> fillLengths() const;
    std::vector<ULONG> resetPhases() const;

  private:
    mutable std::mutex lock_;
    std::atomic<std::uint32_t> dataCalls_{0};
    std::atomic<std::uint64_t> dataBytes_{0};
    std::vector<ULONG> dataLengths_;
    std::vector<ULONG> fillLengths_;
    std::vector<ULONG> resetPhases_;
    std::uint32_t supplyLeft_ = 0;
    std::uint32_t supplied_ = 0;
};

// Live bytes and allocations of one pool tag.
LONGLONG liveBytes(const char (&tag)[5]);
LONGLONG liveAllocations(const char (&tag)[5]);

}  // namespace usbtest

namespace usbtest {
// Makes the simulated sensor deliver video of the given size (a multiple of
// 4) on the isochronous pipe: the size registers, then the video power mode.
NTSTATUS runSensor(DeviceContext* device, int width, int height);
}  // namespace usbtest
