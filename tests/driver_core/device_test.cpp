// AddDevice: names, what the device object takes from below, failure paths,
// and what a removed device leaves behind.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/driver_core/harness.h"
#include "tests/support/kernel_test.h"

namespace {

using drvtest::Client;
using drvtest::Harness;

std::string instance(int n) {
    return "USB\\VID_F1A5&PID_0B2D\\test-" + std::to_string(n);
}

TEST(Devices, EachCameraGetsTheNextNumberAndNumbersAreNeverReused) {
    Harness h;
    std::vector<PDEVICE_OBJECT> pdos;
    for (int n = 1; n <= 3; ++n) pdos.push_back(h.plug(instance(n)));
    EXPECT_EQ(kio::deviceName(h.fdo(pdos[0])), "\\Device\\PAV512_001");
    EXPECT_EQ(kio::deviceName(h.fdo(pdos[2])), "\\Device\\PAV512_003");
    h.bus.unplug(pdos[1]);
    h.pnp.settle();
    h.bus.reap();
    PDEVICE_OBJECT fourth = h.plug(instance(4));
    EXPECT_EQ(kio::deviceName(h.fdo(fourth)), "\\Device\\PAV512_004");
    for (int n = 5; n <= 10; ++n) pdos.push_back(h.plug(instance(n)));
    EXPECT_EQ(kio::deviceName(h.fdo(pdos.back())), "\\Device\\PAV512_00A");
}

TEST(Devices, TakesOverTheTransferAndPowerFlagsOfTheDeviceBelow) {
    Harness h(false);
    host::TestBus::DeviceSettings settings;
    settings.flags = DO_DIRECT_IO | DO_POWER_INRUSH | DO_VERIFY_VOLUME;
    settings.type = FILE_DEVICE_BUS_EXTENDER;
    settings.characteristics = 0x100;
    settings.alignment = 3;
    PDEVICE_OBJECT pdo = h.bus.plug(instance(1), settings);
    ASSERT_EQ(h.pnp.addDevice(pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = h.fdo(pdo);
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(fdo->Flags & (0x6014 | DO_DEVICE_INITIALIZING | DO_VERIFY_VOLUME),
              DO_DIRECT_IO | DO_POWER_INRUSH | DO_BUFFERED_IO | DO_POWER_PAGABLE);
    EXPECT_EQ(fdo->DeviceType, FILE_DEVICE_BUS_EXTENDER);
    EXPECT_EQ(fdo->Characteristics, 0x100u);
    EXPECT_EQ(fdo->AlignmentRequirement, 3u);
    EXPECT_EQ(h.device(pdo)->pnpState, kPnpAdded);

    // The interface exists from AddDevice but only a started camera shows it.
    auto interfaces = kio::interfaces(&kPav512InterfaceClass, false);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_FALSE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].physicalDevice, pdo);
    ASSERT_EQ(h.pnp.start(pdo), STATUS_SUCCESS);
    EXPECT_EQ(kio::interfaces(&kPav512InterfaceClass, true).size(), 1u);
    EXPECT_EQ(h.device(pdo)->pnpState, kPnpStarted);
    ASSERT_EQ(h.pnp.remove(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(kio::interfaces(&kPav512InterfaceClass, false).empty());
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

struct Failure {
    const char* what;
    std::function<void()> inject;
    NTSTATUS expected;
};

TEST(Devices, AFailedAddDeviceDeletesTheDeviceAndReturnsTheStatus) {
    const Failure failures[] = {
        {"creation", [] { kfault::arm(kfault::DeviceCreation, 1); }, STATUS_INSUFFICIENT_RESOURCES},
        {"worker thread", [] { kthread::failCreations(1); }, STATUS_INSUFFICIENT_RESOURCES},
        {"attach", [] { kfault::arm(kfault::Attach, 1); }, STATUS_NO_SUCH_DEVICE},
        {"interface", [] { kfault::arm(kfault::InterfaceRegistration, 1); },
         STATUS_INSUFFICIENT_RESOURCES},
    };
    Harness h(false);
    PDEVICE_OBJECT pdo = h.bus.plug(instance(1));
    LONG threads = kthread::running();
    LONGLONG objects = kobj::liveObjects();
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.what);
        f.inject();
        EXPECT_EQ(h.pnp.addDevice(pdo), f.expected);
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        EXPECT_EQ(h.pnp.driver()->DeviceObject, nullptr);
        EXPECT_TRUE(kio::interfaces(&kPav512InterfaceClass, false).empty());
        EXPECT_EQ(kpool::liveBytes(kNodePoolTag), 0);
        // The thread drops its own reference a moment after it has ended.
        EXPECT_TRUE(pavtest::waitFor(
            [&] { return kthread::running() == threads && kobj::liveObjects() == objects; }));
    }
    ASSERT_EQ(h.pnp.addDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(kio::deviceName(h.fdo(pdo)), "\\Device\\PAV512_005") << "every attempt took a number";

    // A driver object without the driver's record cannot add devices.
    PDRIVER_OBJECT bare = nullptr;
    ASSERT_EQ(kio::loadDriver("bare", nullptr, &bare), STATUS_SUCCESS);
    EXPECT_EQ(PAV512_AddDevice(bare, pdo), STATUS_UNSUCCESSFUL);
    kio::unloadDriver(bare);
}

std::map<ULONG, LONGLONG> liveByTag() {
    std::map<ULONG, LONGLONG> live;
    for (const kpool::TagUsage& u : kpool::snapshot()) live[u.tag] = u.liveBytes;
    return live;
}

void noWork(DeviceContext*, PVOID, PVOID) {}

TEST(Devices, ARemovedCameraGivesEveryPoolTagBack) {
    std::map<ULONG, LONGLONG> before = liveByTag();
    LONG threads = kthread::running();
    {
        Harness h;
        PDEVICE_OBJECT pdo = h.plug(instance(1));
        DeviceContext* device = h.device(pdo);
        ASSERT_NE(device, nullptr);
        Client client(h.fdo(pdo));
        for (UCHAR tag = 1; tag <= 3; ++tag) ASSERT_TRUE(Client::wait(client.send(tag)));
        PKEVENT event = kobj::create<KEVENT>(*ExEventObjectType);
        KeInitializeEvent(event, NotificationEvent, FALSE);
        HANDLE handle = kobj::insertHandle(event);
        device->watches.addEvent(kCameraEventSet, 0, handle);
        device->watches.addEvent(kInputEventSet, 0x30, handle);
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(workerQueue(device, noWork, nullptr, nullptr));
        EXPECT_GT(kpool::liveBytes(kNodePoolTag), 0);

        h.bus.unplug(pdo);
        h.pnp.settle();
        h.bus.reap();
        EXPECT_TRUE(h.bus.devices().empty());
        ZwClose(handle);
        ObfDereferenceObject(event);
        for (const auto& [tag, bytes] : liveByTag())
            EXPECT_EQ(bytes, before.count(tag) ? before[tag] : 0)
                << "pool tag " << kpool::tagName(tag);
    }
    EXPECT_TRUE(pavtest::waitFor([&] { return kthread::running() == threads; }));
}

TEST(Devices, StreamPowerStatesAreRefusedUnlessTheCameraIsStarted) {
    Harness h(false);
    PDEVICE_OBJECT pdo = h.bus.plug(instance(1));
    ASSERT_EQ(h.pnp.addDevice(pdo), STATUS_SUCCESS);
    DeviceContext* device = h.device(pdo);
    EXPECT_FALSE(setStreamPowerState(device, kPnpStreamPoweredDown));
    EXPECT_EQ(device->pnpState, kPnpAdded);
    ASSERT_EQ(h.pnp.start(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(setStreamPowerState(device, kPnpStreamPoweredDown));
    EXPECT_EQ(device->pnpState, kPnpStreamPoweredDown);
    EXPECT_TRUE(setStreamPowerState(device, kPnpStreamPoweredUp));
    EXPECT_FALSE(setStreamPowerState(device, kPnpStarted)) << "only the two stream states";
    ASSERT_EQ(h.pnp.stop(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(setStreamPowerState(device, kPnpStreamPoweredUp));
    EXPECT_EQ(device->pnpState, kPnpStopped);
}

}  // namespace
