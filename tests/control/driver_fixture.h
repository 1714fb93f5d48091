// The driver loaded by the PnP stand-in over the test bus with one camera
// started, for tests that talk to the real dispatch switch.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "driver/core/device_context.h"
#include "driver/core/driver.h"
#include "host/pnp_manager.h"
#include "host/test_bus.h"

namespace pavtest {

struct DriverUnderTest {
    host::TestBus bus;
    host::PnpManager pnp;
    PDEVICE_OBJECT pdo = nullptr;

    explicit DriverUnderTest(const std::string& instance = "USB\\VID_F1A5&PID_0B2D\\5&3&1") {
        EXPECT_EQ(pnp.loadDriver("pav512", PAV512_DriverEntry), STATUS_SUCCESS);
        // The camera's start-up needs a camera behind the device; the test
        // bus has none, so the switch is tested without it.
        if (PDRIVER_OBJECT driver = pnp.driver())
            driverContextOf(driver)->modules[kModuleStreamInterface] =
                streamInterfaceWithoutCamera();
        bus.setListener(&pnp);
        pdo = bus.plug(instance);
        pnp.settle();
        EXPECT_EQ(pnp.arrivalStatus(pdo), STATUS_SUCCESS);
    }
    ~DriverUnderTest() {
        pnp.removeAll();
        bus.setListener(nullptr);
    }
    PDEVICE_OBJECT fdo() { return pnp.functionDevice(pdo); }
    DeviceContext* device() { return deviceContextOf(fdo()); }
};

}  // namespace pavtest
