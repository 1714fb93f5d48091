// A loaded driver over the test bus, a stand-in module behind the gate that
// records what reaches it (and can hold requests pending), and a client that
// sends control requests the way the I/O manager does.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/core/device_context.h"
#include "driver/core/driver.h"
#include "host/pnp_manager.h"
#include "host/test_bus.h"
#include "platform/kernel/wdm.h"
#include "tests/support/device_client.h"

namespace drvtest {

// Stands in for the modules behind the dispatch switch.
class StandInModule {
  public:
    // Routes the driver's device-control requests here.
    static void install(PDRIVER_OBJECT driver);
    static void reset();
    // Requests arriving from now on stay pending until release().
    static void hold(bool on);
    // The tag (first byte of each buffer after the status byte) of every
    // request that reached the module, in arrival order.
    static std::vector<UCHAR> dispatched();
    static size_t heldCount();
    // Completes the held requests with module status 0.
    static void release();

  private:
    static NTSTATUS route(PDEVICE_OBJECT device, PIRP irp);
};

using pavtest::Reply;

// Sends buffered device-control requests to one device, as a client's
// channel would. Every request must have completed before the client goes.
class Client : public pavtest::DeviceClient {
  public:
    using DeviceClient::DeviceClient;

    // A request whose buffer is `length` bytes of 0xFF with `tag` in byte 1.
    std::shared_ptr<Reply> send(UCHAR tag, ULONG length = 8, ULONG code = 0x220000);
    std::shared_ptr<Reply> sendInternal(ULONG code, ULONG length = 8);
};

// The driver loaded by a PnP manager over a test bus.
struct Harness {
    host::TestBus bus;
    host::PnpManager pnp;

    // `autoStart`: the bus reports arrivals to the PnP manager, which adds
    // and starts each device; otherwise each step is the test's.
    explicit Harness(bool autoStart = true);
    ~Harness();

    DriverContext* driver() { return driverContextOf(pnp.driver()); }
    // Plugs a device and, with autoStart, waits until it has been started.
    PDEVICE_OBJECT plug(const std::string& instance = "USB\\VID_F1A5&PID_0B2D\\test-1",
                        const host::TestBus::DeviceSettings& settings = {});
    PDEVICE_OBJECT fdo(PDEVICE_OBJECT pdo) { return pnp.functionDevice(pdo); }
    DeviceContext* device(PDEVICE_OBJECT pdo) { return deviceContextOf(fdo(pdo)); }
};

}  // namespace drvtest
