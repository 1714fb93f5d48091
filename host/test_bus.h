// A bus with no USB behind it: its physical device objects have an instance
// path, succeed the Plug and Play and power requests a function driver sends
// them, keep wait-wake requests pending until cancelled, and report arrival
// and departure to a listener. It lets the driver's Plug and Play, power and
// gate be exercised before a camera is attached to anything.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/wdm.h"
#include "platform/usb/bus.h"

namespace host {

class TestBus {
  public:
    // What a plugged device looks like to the driver above it.
    struct DeviceSettings {
        ULONG flags = DO_DIRECT_IO | DO_POWER_PAGABLE;
        ULONG characteristics = 0;
        ULONG alignment = 0;
        DEVICE_TYPE type = FILE_DEVICE_UNKNOWN;
        SYSTEM_POWER_STATE systemWake = PowerSystemUnspecified;
        DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
        // What the device reports it can do in the working state.
        DEVICE_POWER_STATE workingState = PowerDeviceD0;
        // Answer to the capabilities query (the driver forwards it down).
        NTSTATUS capabilitiesStatus = STATUS_SUCCESS;
    };

    explicit TestBus(const std::string& name = "pav_testbus");
    // Deletes the physical device objects left; their stacks must be gone.
    ~TestBus();
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    void setListener(usbbus::BusListener* listener);
    // Creates a physical device object and reports its arrival.
    PDEVICE_OBJECT plug(const std::string& instancePath, const DeviceSettings& settings);
    PDEVICE_OBJECT plug(const std::string& instancePath) {
        return plug(instancePath, DeviceSettings{});
    }
    // The device leaves: pending wait-wake requests end and the listener hears
    // of it; the object goes once its stack has been removed.
    void unplug(PDEVICE_OBJECT pdo);
    // Physical device objects not yet deleted.
    std::vector<PDEVICE_OBJECT> devices() const;
    // Deletes the objects of devices that left and whose stack is removed.
    void reap();

    // Plug and Play and power minor codes the device has received, in order.
    std::vector<UCHAR> pnpSeen(PDEVICE_OBJECT pdo) const;
    std::vector<UCHAR> powerSeen(PDEVICE_OBJECT pdo) const;
    // The last target state of a device set-power request it received.
    DEVICE_POWER_STATE lastDevicePower(PDEVICE_OBJECT pdo) const;
    // Wait-wake requests pending at the device.
    ULONG waitWakePending(PDEVICE_OBJECT pdo) const;
    // Completes the pending wait-wake requests with success (the device woke).
    void wake(PDEVICE_OBJECT pdo);

    PDRIVER_OBJECT driver() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace host
