// A driver brought up over a simulated camera, the way the daemon runs it: the
// real DriverEntry loaded by the PnP stand-in, a USB bus with a SimCamera made
// from a scenario plugged in, and the device started (or failed) before the
// test body runs. When the harness goes, the camera is removed, everything is
// torn down and every pool tag and request count is checked against what it
// was before the harness came: a device that leaves anything behind fails the
// test that used it.
//
//   pavtest::CameraHarness h;                       // default scenario
//   ASSERT_TRUE(h.started()) << h.arrivalText();
//   DeviceContext* device = h.device();
//   h.camera().changeFaults([](sim::Faults& f) { f.isoFailedPackets = 3; });
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/kernel/wdm.h"
#include "sim/object_store.h"
#include "sim/scenario.h"

struct DeviceContext;
struct DriverContext;

namespace host {
class PnpManager;
}
namespace usbbus {
class Bus;
class DeviceBackend;
}  // namespace usbbus
namespace sim {
class SimCamera;
}

namespace pavtest {

struct CameraHarnessOptions {
    sim::Scenario scenario = sim::defaultScenario();
    // The camera's memories exactly as given (objects built by hand, down to
    // their bytes) instead of the scenario's content.
    std::optional<sim::ObjectStore> store;
    // Runs the shared clock this much faster than real time (0: leave it as
    // it is). Set before the camera is plugged in: waits of 5 or 10 seconds
    // then take a fraction of that in real time.
    double clockScale = 0;
    // Called once the driver is loaded and before the camera arrives, e.g. to
    // replace module operations (driver->modules) for a test.
    std::function<void(DriverContext* driver)> configureDriver;
    // Plug the camera in at construction (otherwise call plug()).
    bool plugAtStart = true;
    // What the bus gets as the device: the camera itself when empty, or
    // something put in front of it (e.g. a backend that drops cancels).
    std::function<std::shared_ptr<usbbus::DeviceBackend>(std::shared_ptr<sim::SimCamera> camera)>
        wrapBackend;
};

class CameraHarness {
  public:
    CameraHarness();
    explicit CameraHarness(const sim::Scenario& scenario);
    explicit CameraHarness(CameraHarnessOptions options);
    // Removes the camera if still present, tears everything down and checks
    // that nothing of the driver is left (pool tags, requests).
    ~CameraHarness();
    CameraHarness(const CameraHarness&) = delete;
    CameraHarness& operator=(const CameraHarness&) = delete;

    // Plugs the camera in and waits until the PnP stand-in has handled its
    // arrival (AddDevice and start). False when the bus refused the camera,
    // or when the scenario's content could not be built (the constructor then
    // has failed the test, naming the objects).
    bool plug();

    // The arrival's outcome: STATUS_SUCCESS once AddDevice and the start
    // succeeded (a start whose modules failed still reports success).
    NTSTATUS arrivalStatus() const;
    // True when the device was added and started and takes requests.
    bool started() const;
    // What went wrong when it did not start (for failure messages).
    std::string arrivalText() const;

    // The driver's record of the camera; null when it was never added or has
    // been removed.
    DeviceContext* device() const;
    DriverContext* driver() const;
    // The driver's device object (top of the stack) and the bus's physical
    // device object; null when gone.
    PDEVICE_OBJECT fdo() const;
    PDEVICE_OBJECT pdo() const;
    sim::SimCamera& camera() const;
    std::shared_ptr<sim::SimCamera> cameraPointer() const;
    host::PnpManager& pnp() const;
    usbbus::Bus& bus() const;

    // Surprise removal of the camera; returns once the stack is gone.
    void unplug();
    // Waits until the PnP stand-in and the bus have nothing in hand (e.g.
    // after a port cycle); the device then may be a new one.
    void settle();

    // Removes the camera, unloads the driver and checks for leftovers now
    // instead of in the destructor. Safe to call twice.
    void tearDown();

    // Live bytes per pool tag right now.
    static std::map<ULONG, LONGLONG> liveBytesByTag();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pavtest
