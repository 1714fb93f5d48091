// The driver loaded by the PnP stand-in over the test bus with one camera
// started, for tests that talk to the real dispatch switch.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver/core/device_context.h"
#include "driver/core/driver.h"
#include "host/pnp_manager.h"
#include "host/test_bus.h"
#include "tests/channels/channel_fixture.h"

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

// That driver with one control channel open on its camera, over each
// transport in turn.
class DriverChannelTest : public ::testing::TestWithParam<Transport> {
  protected:
    void SetUp() override {
        driver_ = std::make_unique<DriverUnderTest>();
        transport_ = std::make_unique<TransportScope>(GetParam());
        auto paths = listInterfaces();
        ASSERT_EQ(paths.size(), 1u);
        channel_ = openChannel(paths[0]);
        ASSERT_NE(channel_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (channel_ != INVALID_HANDLE_VALUE) CloseHandle(channel_);
        transport_.reset();
        driver_.reset();
    }

    std::unique_ptr<DriverUnderTest> driver_;
    std::unique_ptr<TransportScope> transport_;
    HANDLE channel_ = INVALID_HANDLE_VALUE;
};

}  // namespace pavtest
