// The PnP stand-in over the USB bus with a simulated camera plugged in: the
// camera arrives, is started and leaves again the way the daemon will see it.
#include <gtest/gtest.h>

#include <map>

#include "driver/core/device_context.h"
#include "driver/core/driver.h"
#include "host/pnp_manager.h"
#include "platform/usb/bus.h"
#include "sim/scenario.h"
#include "sim/sim_camera.h"
#include "tests/driver_core/harness.h"
#include "tests/support/kernel_test.h"

namespace {

std::map<ULONG, LONGLONG> liveByTag() {
    std::map<ULONG, LONGLONG> live;
    for (const kpool::TagUsage& u : kpool::snapshot()) live[u.tag] = u.liveBytes;
    return live;
}

TEST(SimulatedCamera, ArrivesStartsAndLeavesWithNothingLeftBehind) {
    std::map<ULONG, LONGLONG> before = liveByTag();
    {
        // The bus goes first: it tells the PnP stand-in of every device it
        // still holds, whichever way the block is left.
        host::PnpManager pnp;
        usbbus::Bus bus("simbus");
        ASSERT_EQ(pnp.loadDriver("pav512", PAV512_DriverEntry), STATUS_SUCCESS);
        bus.setListener(&pnp);
        sim::Scenario scenario = sim::defaultScenario();
        std::string error;
        PDEVICE_OBJECT pdo =
            bus.plug(sim::SimCamera::create(scenario), sim::instancePathFor(scenario), &error);
        ASSERT_NE(pdo, nullptr) << error;
        pnp.settle();
        EXPECT_EQ(pnp.arrivalStatus(pdo), STATUS_SUCCESS);
        PDEVICE_OBJECT fdo = pnp.functionDevice(pdo);
        ASSERT_NE(fdo, nullptr);
        EXPECT_EQ(kio::deviceName(fdo), "\\Device\\PAV512_001");
        DeviceContext* device = deviceContextOf(fdo);
        EXPECT_EQ(device->pnpState, kPnpStarted);
        EXPECT_EQ(device->capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
        EXPECT_EQ(device->capabilities.Flags & 0x210u, 0x210u);
        auto interfaces = kio::interfaces(&kPav512InterfaceClass, true);
        ASSERT_EQ(interfaces.size(), 1u);
        EXPECT_EQ(interfaces[0].physicalDevice, pdo);

        drvtest::StandInModule::install(pnp.driver());
        drvtest::Client client(fdo);
        auto reply = client.send(1);
        ASSERT_TRUE(drvtest::Client::wait(reply));
        EXPECT_EQ(reply->status, STATUS_SUCCESS);

        bus.unplug(pdo);
        ASSERT_TRUE(bus.settle());
        pnp.settle();
        EXPECT_TRUE(bus.devices().empty());
        EXPECT_TRUE(pnp.devices().empty());
        EXPECT_TRUE(kio::interfaces(&kPav512InterfaceClass, true).empty());
        bus.setListener(nullptr);
    }
    for (const auto& [tag, bytes] : liveByTag())
        EXPECT_EQ(bytes, before.count(tag) ? before[tag] : 0) << "pool tag " << kpool::tagName(tag);
}

}  // namespace
