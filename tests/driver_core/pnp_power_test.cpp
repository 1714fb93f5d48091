// Plug and Play and power handling: module order, the camera-change counter,
// capabilities, requests passed down, wait-wake and device power.
#include <gtest/gtest.h>

#include <thread>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver/core/pnp.h"
#include "tests/driver_core/harness.h"
#include "tests/support/kernel_test.h"

namespace {

using drvtest::Client;
using drvtest::Harness;

const std::string kCamera = "USB\\VID_F1A5&PID_0B2D\\pnp";

std::mutex moduleLogLock;
std::vector<std::string> moduleLog;
int failingModule = -1;

template <int I>
NTSTATUS initialise(DeviceContext*) {
    std::lock_guard<std::mutex> g(moduleLogLock);
    moduleLog.push_back("init" + std::to_string(I));
    return I == failingModule ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

template <int I>
void terminate(DeviceContext*) {
    std::lock_guard<std::mutex> g(moduleLogLock);
    moduleLog.push_back("term" + std::to_string(I));
}

template <int... I>
void installLoggingModules(DriverContext* driver, std::integer_sequence<int, I...>) {
    moduleLog.clear();
    ((driver->modules[I] = ModuleOps{"logged", initialise<I>, terminate<I>}), ...);
}

std::vector<std::string> takeModuleLog() {
    std::lock_guard<std::mutex> g(moduleLogLock);
    std::vector<std::string> out;
    out.swap(moduleLog);
    return out;
}

ULONG cameraChanges() {
    ULONG value = 0;
    regReadDword(kCameraChangeKey, kCameraChangeValue, &value);
    return value;
}

const std::vector<std::string> kAllTerminated = {"term0", "term1", "term2",
                                                 "term3", "term4", "term5"};

TEST(StartStop, ModulesStartAndStopInOrderAndEachChangeIsCounted) {
    Harness h(false);
    installLoggingModules(h.driver(), std::make_integer_sequence<int, kModuleCount>{});
    PDEVICE_OBJECT pdo = h.bus.plug(kCamera);
    ASSERT_EQ(h.pnp.addDevice(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(regKeyExists(kCameraChangeKey));
    ASSERT_EQ(h.pnp.start(pdo), STATUS_SUCCESS);
    EXPECT_EQ(takeModuleLog(),
              std::vector<std::string>({"init0", "init1", "init2", "init3", "init4", "init5"}));
    EXPECT_EQ(cameraChanges(), 1u);
    ASSERT_EQ(h.pnp.stop(pdo), STATUS_SUCCESS);
    EXPECT_EQ(takeModuleLog(), kAllTerminated);
    EXPECT_EQ(cameraChanges(), 2u);
    ASSERT_EQ(h.pnp.stop(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(takeModuleLog().empty()) << "a stopped camera is not stopped again";
    EXPECT_EQ(cameraChanges(), 2u);
    ASSERT_EQ(h.pnp.remove(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(takeModuleLog().empty());

    // Without a registry the start goes on; nothing is written.
    PDEVICE_OBJECT second = h.bus.plug(kCamera + "-2");
    ASSERT_EQ(h.pnp.addDevice(second), STATUS_SUCCESS);
    kfault::arm(kfault::RegistryOpen, 1000);
    EXPECT_EQ(h.pnp.start(second), STATUS_SUCCESS);
    kfault::clearAll();
    EXPECT_EQ(cameraChanges(), 2u);
}

TEST(StartStop, AModuleThatFailsToStartLeavesTheCameraRefusingEverything) {
    Harness h;
    installLoggingModules(h.driver(), std::make_integer_sequence<int, kModuleCount>{});
    failingModule = kModuleStreamInterface;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    failingModule = -1;
    EXPECT_EQ(h.pnp.arrivalStatus(pdo), STATUS_SUCCESS) << "the start itself succeeds";
    std::vector<std::string> expected = {"init0", "init1", "init2"};
    expected.insert(expected.end(), kAllTerminated.begin(), kAllTerminated.end());
    EXPECT_EQ(takeModuleLog(), expected);
    EXPECT_FALSE(h.device(pdo)->running.load());

    Client client(h.fdo(pdo));
    auto reply = client.send(1);
    ASSERT_TRUE(Client::wait(reply));
    EXPECT_EQ(reply->status, STATUS_DELETE_PENDING);
    ASSERT_EQ(h.pnp.start(pdo), STATUS_SUCCESS);
    reply = client.send(2);
    ASSERT_TRUE(Client::wait(reply));
    EXPECT_EQ(reply->status, STATUS_DELETE_PENDING) << "a later start does not revive it";
    EXPECT_TRUE(drvtest::StandInModule::dispatched().empty());
}

TEST(Capabilities, AlwaysShowD0WhenWorkingAndAllowSurpriseRemoval) {
    Harness h;
    host::TestBus::DeviceSettings settings;
    settings.workingState = PowerDeviceD3;
    settings.systemWake = PowerSystemSleeping3;
    settings.deviceWake = PowerDeviceD2;
    PDEVICE_OBJECT pdo = h.plug(kCamera, settings);
    DEVICE_CAPABILITIES caps{};
    ASSERT_EQ(h.pnp.queryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(caps.Flags & 0x210u, 0x210u);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(std::memcmp(&h.device(pdo)->capabilities, &caps, sizeof caps), 0);

    settings.capabilitiesStatus = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT refusing = h.plug(kCamera + "-2", settings);
    EXPECT_EQ(h.pnp.queryCapabilities(refusing, &caps), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(h.device(refusing)->capabilities.Size, 0) << "nothing recorded from a failed query";
}

TEST(PassDown, OtherRequestsReachTheBusUnchanged) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    EXPECT_EQ(h.pnp.pnp(pdo, IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);
    ULONG_PTR state = 77;
    EXPECT_EQ(h.pnp.queryPnpDeviceState(pdo, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, 0u);
    auto seen = h.bus.pnpSeen(pdo);
    EXPECT_NE(std::find(seen.begin(), seen.end(), IRP_MN_QUERY_ID), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), IRP_MN_QUERY_PNP_DEVICE_STATE), seen.end());
    EXPECT_EQ(h.pnp.setDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(h.bus.lastDevicePower(pdo), PowerDeviceD3);
}

struct WaitWakeResult {
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::function<void(NTSTATUS)> callback() {
        return [this](NTSTATUS s) { status = s; };
    }
    bool ended() {
        return pavtest::waitFor([this] { return status.load() != STATUS_PENDING; });
    }
};

host::TestBus::DeviceSettings wakeableCamera(SYSTEM_POWER_STATE systemWake = PowerSystemSleeping3) {
    host::TestBus::DeviceSettings settings;
    settings.systemWake = systemWake;
    settings.deviceWake = PowerDeviceD2;
    return settings;
}

// A wake that completes the request while the working state cancels it: the
// cancel and the completion agree on who finishes it, so the request is
// never touched after it has gone back, and it ends exactly once.
TEST(WaitWake, AWakeCrossingItsCancelEndsTheRequestOnce) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera, wakeableCamera());
    DeviceContext* device = h.device(pdo);
    LONG irpsBefore = kio::liveIrps();
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        std::atomic<int> endings{0};
        std::atomic<NTSTATUS> status{STATUS_PENDING};
        h.pnp.waitWake(pdo, PowerSystemSleeping3, [&](NTSTATUS s) {
            status = s;
            ++endings;
        });
        ASSERT_TRUE(pavtest::waitFor([&] { return h.bus.waitWakePending(pdo) == 1; }));
        std::atomic<bool> go{false};
        std::thread waker([&] {
            while (!go.load()) {
            }
            h.bus.wake(pdo);
        });
        go = true;
        ASSERT_EQ(h.pnp.setSystemPower(pdo, PowerSystemWorking), STATUS_SUCCESS);
        waker.join();
        ASSERT_TRUE(pavtest::waitFor([&] { return status.load() != STATUS_PENDING; }));
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << status;
        ASSERT_TRUE(pavtest::waitFor([&] { return device->waitWakeBelow == 0; }));
        EXPECT_EQ(endings.load(), 1);
        EXPECT_EQ(device->waitWakeIrp, nullptr);
    }
    EXPECT_TRUE(pavtest::waitFor([&] { return kio::liveIrps() == irpsBefore; }));
}

// The same crossing made certain: the camera wakes the system after the
// working state has taken the request out of its slot and before it cancels
// it. The request finishes once, after the cancel, never under it.
host::TestBus* wakingBus = nullptr;
PDEVICE_OBJECT wakingPdo = nullptr;
std::atomic<int> wakesInWindow{0};
void wakeInTheWindow(DeviceContext*) {
    wakesInWindow++;
    wakingBus->wake(wakingPdo);
}

TEST(WaitWake, AWakeBetweenTakingAndCancellingLeavesTheRequestToItsCanceller) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera, wakeableCamera());
    DeviceContext* device = h.device(pdo);
    LONG irpsBefore = kio::liveIrps();
    wakingBus = &h.bus;
    wakingPdo = pdo;
    wakesInWindow = 0;
    waitWakeTakenHook.store(wakeInTheWindow);
    std::atomic<int> endings{0};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    h.pnp.waitWake(pdo, PowerSystemSleeping3, [&](NTSTATUS s) {
        status = s;
        ++endings;
    });
    ASSERT_TRUE(pavtest::waitFor([&] { return h.bus.waitWakePending(pdo) == 1; }));
    EXPECT_EQ(h.pnp.setSystemPower(pdo, PowerSystemWorking), STATUS_SUCCESS);
    waitWakeTakenHook.store(nullptr);
    EXPECT_EQ(wakesInWindow.load(), 1);
    ASSERT_TRUE(pavtest::waitFor([&] { return status.load() != STATUS_PENDING; }));
    EXPECT_EQ(status.load(), STATUS_SUCCESS) << "the wake came first";
    EXPECT_TRUE(pavtest::waitFor([&] { return ReadAcquire(&device->waitWakeBelow) == 0; }));
    EXPECT_EQ(endings.load(), 1);
    EXPECT_EQ(device->waitWakeIrp, nullptr);
    EXPECT_TRUE(pavtest::waitFor([&] { return kio::liveIrps() == irpsBefore; }));
}

TEST(WaitWake, ANewRequestReplacesTheOldAndWorkingStateCancelsIt) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera, wakeableCamera());
    DeviceContext* device = h.device(pdo);
    WaitWakeResult first, second, third, fourth;
    EXPECT_EQ(h.pnp.waitWake(pdo, PowerSystemSleeping3, first.callback()), STATUS_PENDING);
    ASSERT_TRUE(pavtest::waitFor([&] { return h.bus.waitWakePending(pdo) == 1; }));
    EXPECT_NE(device->waitWakeIrp, nullptr);

    h.pnp.waitWake(pdo, PowerSystemSleeping3, second.callback());
    ASSERT_TRUE(first.ended());
    EXPECT_EQ(first.status, STATUS_CANCELLED);
    EXPECT_EQ(h.bus.waitWakePending(pdo), 1u);

    ASSERT_EQ(h.pnp.setSystemPower(pdo, PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_TRUE(second.ended());
    EXPECT_EQ(second.status, STATUS_CANCELLED);
    EXPECT_EQ(device->waitWakeIrp, nullptr);

    // A wake that happens empties the slot too.
    h.pnp.waitWake(pdo, PowerSystemSleeping3, third.callback());
    ASSERT_TRUE(pavtest::waitFor([&] { return h.bus.waitWakePending(pdo) == 1; }));
    h.bus.wake(pdo);
    ASSERT_TRUE(third.ended());
    EXPECT_EQ(third.status, STATUS_SUCCESS);
    EXPECT_EQ(device->waitWakeIrp, nullptr);

    // Removal takes a pending one back before the device goes.
    h.pnp.waitWake(pdo, PowerSystemSleeping3, fourth.callback());
    ASSERT_TRUE(pavtest::waitFor([&] { return h.bus.waitWakePending(pdo) == 1; }));
    ASSERT_EQ(h.pnp.remove(pdo), STATUS_SUCCESS);
    ASSERT_TRUE(fourth.ended());
    EXPECT_EQ(fourth.status, STATUS_CANCELLED);
    EXPECT_EQ(h.bus.waitWakePending(pdo), 0u);
}

TEST(DevicePower, IsRecordedAndKeptWithinTheWakeStateWhileAWakeIsPending) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera, wakeableCamera());
    DeviceContext* device = h.device(pdo);
    ASSERT_EQ(h.pnp.setDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(device->devicePowerState, PowerDeviceUnspecified) << "the first D0 is not a change";
    ASSERT_EQ(h.pnp.setDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(device->devicePowerState, PowerDeviceD3);
    ASSERT_EQ(h.pnp.setDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(device->devicePowerState, PowerDeviceD0);

    WaitWakeResult wake;
    h.pnp.waitWake(pdo, PowerSystemSleeping3, wake.callback());
    ASSERT_TRUE(pavtest::waitFor([&] { return h.bus.waitWakePending(pdo) == 1; }));
    ASSERT_EQ(h.pnp.setDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(device->devicePowerState, PowerDeviceD2);
    EXPECT_EQ(h.bus.lastDevicePower(pdo), PowerDeviceD2) << "sent down as the wake state";

    ASSERT_EQ(h.pnp.queryDevicePower(pdo, PowerDeviceD1), STATUS_SUCCESS);
    EXPECT_EQ(device->devicePowerState, PowerDeviceD2);
    EXPECT_EQ(h.bus.powerSeen(pdo).back(), IRP_MN_QUERY_POWER);
    h.pnp.setSystemPower(pdo, PowerSystemWorking);
    ASSERT_TRUE(wake.ended());
}

NTSTATUS wakeEnabled(DeviceContext*, const GUID* set, ULONG identifier, bool write, PVOID data,
                     ULONG, ULONG outputSize, ULONG* actual) {
    const GUID deviceSet = {
        0x2BBD8342, 0x6AA2, 0x11D3, {0xA0, 0x76, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
    if (!(*set == deviceSet) || identifier != 34 || write || outputSize < 1)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *static_cast<UCHAR*>(data) = 1;
    *actual = 1;
    return STATUS_SUCCESS;
}

void flushWorker(DeviceContext* device) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    ASSERT_TRUE(workerQueue(
        device,
        [](DeviceContext*, PVOID event, PVOID) {
            KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
        },
        &done, nullptr));
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

TEST(SystemPower, AQueryArmsTheWakeOnlyWhenWakingIsEnabled) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera, wakeableCamera());
    DeviceContext* device = h.device(pdo);

    // No property manager yet: the wake-enable read fails and nothing is armed.
    EXPECT_EQ(h.pnp.querySystemPower(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    flushWorker(device);
    EXPECT_EQ(h.bus.waitWakePending(pdo), 0u);
    EXPECT_EQ(device->systemPowerState, PowerSystemUnspecified);

    device->propertyRequest = wakeEnabled;
    EXPECT_EQ(h.pnp.querySystemPower(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    flushWorker(device);
    EXPECT_TRUE(pavtest::waitFor([&] { return h.bus.waitWakePending(pdo) == 1; }));
    EXPECT_EQ(device->systemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(h.bus.powerSeen(pdo).front(), IRP_MN_QUERY_POWER);

    // One is pending already: the next query arms nothing more.
    EXPECT_EQ(h.pnp.querySystemPower(pdo, PowerSystemSleeping2), STATUS_SUCCESS);
    flushWorker(device);
    EXPECT_EQ(h.bus.waitWakePending(pdo), 1u);
    EXPECT_EQ(requestWaitWake(device), STATUS_INVALID_DEVICE_STATE);

    // Deeper than the camera can wake from: hibernation is allowed, sleep is not.
    EXPECT_EQ(h.pnp.querySystemPower(pdo, PowerSystemHibernate), STATUS_SUCCESS);
    ASSERT_EQ(h.pnp.setSystemPower(pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(pavtest::waitFor([&] { return h.bus.waitWakePending(pdo) == 0; }));

    PDEVICE_OBJECT shallow = h.plug(kCamera + "-2", wakeableCamera(PowerSystemSleeping1));
    h.device(shallow)->propertyRequest = wakeEnabled;
    EXPECT_EQ(h.pnp.querySystemPower(shallow, PowerSystemSleeping3), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(h.pnp.querySystemPower(shallow, PowerSystemSleeping1), STATUS_SUCCESS);
    flushWorker(h.device(shallow));
    EXPECT_TRUE(pavtest::waitFor([&] { return h.bus.waitWakePending(shallow) == 1; }));
    h.pnp.setSystemPower(shallow, PowerSystemWorking);

    PDEVICE_OBJECT sleepless = h.plug(kCamera + "-3", wakeableCamera(PowerSystemWorking));
    EXPECT_EQ(requestWaitWake(h.device(sleepless)), STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
