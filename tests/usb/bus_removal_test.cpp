// Devices leaving: surprise removal with requests pending, removal of the
// physical device object, port cycles, and a bus going away.
#include <gtest/gtest.h>

#include "tests/usb/bus_harness.h"

using namespace usbtest;

namespace {

// A function driver stand-in that passes everything down and, on removal,
// detaches only a while after the request came back, as a driver that
// finishes its own teardown first does.
struct FilterExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS filterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* x = static_cast<FilterExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    bool remove = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
    PDEVICE_OBJECT lower = x->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS st = IoCallDriver(lower, irp);
    if (remove) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return st;
}

NTSTATUS filterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& fn : driver->MajorFunction) fn = filterDispatch;
    return STATUS_SUCCESS;
}

ULONG portStatus(PDEVICE_OBJECT target) {
    ULONG status = 0xFFFFFFFF;
    Sent s(target, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status);
    EXPECT_EQ(s.call(), STATUS_SUCCESS);
    return status;
}

TEST_F(BusTest, SurpriseRemovalEndsEveryPendingRequestWithDeviceGone) {
    fake->holdVendor = true;
    ASSERT_NE(plug(), nullptr);
    PUSBD_INTERFACE_INFORMATION alt3 = select(3);
    ASSERT_NE(alt3, nullptr);
    std::string name = kio::deviceName(pdo);

    UCHAR in[64], out[64], info[22];
    auto bulkIn = bulk(pipeOf(alt3, 0x82), in, sizeof in, USBD_TRANSFER_DIRECTION_IN);
    auto bulkOut = bulk(pipeOf(alt3, 0x05), out, sizeof out);
    auto vendor = vendorRequest(true, 0x84, 0, info, sizeof info);
    std::vector<std::unique_ptr<Sent>> sent;
    for (URB* u : {bulkIn.get(), bulkOut.get(), vendor.get()}) sent.push_back(sendUrb(pdo, u));
    Sent wake(pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE, 0, nullptr);
    EXPECT_EQ(wake.call(), STATUS_PENDING);
    ASSERT_TRUE(fake->waitHeld(3));

    listener.autoRemove = false;
    fake->goAway();
    for (auto& s : sent) {
        ASSERT_TRUE(s->wait());
        EXPECT_EQ(s->status(), STATUS_DEVICE_NOT_CONNECTED);
    }
    for (URB* u : {bulkIn.get(), bulkOut.get(), vendor.get()})
        EXPECT_EQ(u->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ASSERT_TRUE(wake.wait());
    EXPECT_EQ(wake.status(), STATUS_NO_SUCH_DEVICE);
    ASSERT_TRUE(pavtest::waitFor([&] { return listener.removedCount() == 1; }));
    EXPECT_EQ(listener.removed[0], pdo);
    EXPECT_NE(listener.removedOn, std::this_thread::get_id());
    EXPECT_TRUE(bus->devices().empty());
    EXPECT_EQ(usbbus::backendOf(pdo), nullptr);

    // Until the stack removes it the object stays, and fails what it is sent.
    EXPECT_EQ(kio::findDeviceByName(name), pdo);
    auto late = sendUrb(pdo, bulkIn.get());
    EXPECT_EQ(late->returned(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(bulkIn->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(portStatus(pdo), 0u);
    EXPECT_EQ(fake->calls().detaches, 0);

    TestListener::removeStack(pdo);
    ASSERT_TRUE(bus->settle(5000));
    EXPECT_EQ(kio::findDeviceByName(name), nullptr);
    EXPECT_EQ(fake->calls().detaches, 1);
    EXPECT_EQ(kpool::liveBytes(PoolTag("UBus")), 0);
}

TEST_F(BusTest, ThePdoIsDeletedOnlyAfterTheFunctionDriverDetached) {
    ASSERT_NE(plug(), nullptr);
    PDRIVER_OBJECT filterDriver = nullptr;
    ASSERT_EQ(kio::loadDriver("usbtestfilter", filterEntry, &filterDriver), STATUS_SUCCESS);
    PDEVICE_OBJECT filter = nullptr;
    ASSERT_EQ(IoCreateDevice(filterDriver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &filter),
              STATUS_SUCCESS);
    static_cast<FilterExtension*>(filter->DeviceExtension)->lower =
        IoAttachDeviceToDeviceStack(filter, pdo);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    // Requests through the stack reach the bus.
    EXPECT_EQ(portStatus(filter), USBD_PORT_ENABLED | USBD_PORT_CONNECTED);

    std::string name = kio::deviceName(pdo);
    // The removal comes from another thread than the bus's, which is then
    // free to delete too early.
    listener.autoRemove = false;
    bus->unplug(pdo);
    ASSERT_TRUE(pavtest::waitFor([&] { return listener.removedCount() == 1; }));
    TestListener::removeStack(pdo);
    ASSERT_TRUE(bus->settle(5000));
    EXPECT_EQ(kio::findDeviceByName(name), nullptr);
    EXPECT_EQ(filterDriver->DeviceObject, nullptr);
    kio::unloadDriver(filterDriver);
}

TEST_F(BusTest, WithoutAListenerTheBusTakesTheStackDownItself) {
    bus->setListener(nullptr);
    ASSERT_NE(plug(), nullptr);
    PUSBD_INTERFACE_INFORMATION alt1 = select(1);
    ASSERT_NE(alt1, nullptr);
    UCHAR data[8];
    auto urb = bulk(pipeOf(alt1, 0x83), data, sizeof data, USBD_TRANSFER_DIRECTION_IN);
    auto pending = sendUrb(pdo, urb.get());
    ASSERT_TRUE(fake->waitHeld(1));
    std::string name = kio::deviceName(pdo);
    bus->unplug(pdo);
    ASSERT_TRUE(pending->wait());
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ASSERT_TRUE(bus->settle(5000));
    EXPECT_EQ(kio::findDeviceByName(name), nullptr);
}

// A camera's own report that it left can cross the bus letting go of it;
// the report must find the device still there (ASan sees it otherwise).
struct ReportsAsItIsLetGo : FakeBackend {
    Sink* last = nullptr;
    int reportsAtDetach = 0;
    void attach(Sink* sink) override {
        if (!sink && last) {
            ++reportsAtDetach;
            last->deviceGone();
        }
        last = sink;
        FakeBackend::attach(sink);
    }
};

TEST_F(BusTest, AReportOfLeavingAsTheBusLetsGoReachesTheDeviceStillThere) {
    bus->setListener(nullptr);
    auto backend = std::make_shared<ReportsAsItIsLetGo>();
    PDEVICE_OBJECT device = bus->plug(backend, kPath);
    ASSERT_NE(device, nullptr);
    const std::string name = kio::deviceName(device);
    bus->unplug(device);
    ASSERT_TRUE(bus->settle(5000));
    EXPECT_EQ(backend->reportsAtDetach, 1);
    EXPECT_EQ(kio::findDeviceByName(name), nullptr);
    EXPECT_TRUE(bus->devices().empty());
}

TEST_F(BusTest, RemovalWhileStillPluggedInKeepsThePdoUntilTheDeviceLeaves) {
    ASSERT_NE(plug(), nullptr);
    std::string name = kio::deviceName(pdo);
    EXPECT_EQ(sendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_TRUE(bus->settle(5000));
    EXPECT_EQ(kio::findDeviceByName(name), pdo);
    EXPECT_EQ(bus->devices().size(), 1u);
    // The device can be started again, and selected.
    EXPECT_EQ(sendPnp(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_NE(select(0), nullptr);
    bus->unplug(pdo);
    ASSERT_TRUE(bus->settle(5000));
    EXPECT_EQ(kio::findDeviceByName(name), nullptr);
    EXPECT_EQ(listener.removedCount(), 1u);
}

TEST_F(BusTest, PortCycleBringsANewPdoForTheSameInstancePath) {
    ASSERT_NE(plug(), nullptr);
    std::vector<Setting> patched = cameraSettings();
    patched.push_back({0, 4, {{0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 640}}});
    fake->configAfterCycle = configurationDescriptor(patched);
    std::string oldName = kio::deviceName(pdo);
    PDEVICE_OBJECT port = pdo->NextDevice;
    // What the port object does not handle it passes to the physical device object.
    EXPECT_EQ(portStatus(port), USBD_PORT_ENABLED | USBD_PORT_CONNECTED);

    // Sent as the driver sends it: a bufferless internal request to the port.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, port, nullptr, 0,
                                             nullptr, 0, TRUE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(port, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);

    ASSERT_TRUE(bus->settle(5000));
    EXPECT_EQ(kio::findDeviceByName(oldName), nullptr);
    ASSERT_EQ(listener.removedCount(), 1u);
    EXPECT_NE(listener.removedOn, std::this_thread::get_id());
    ASSERT_EQ(listener.arrived.size(), 2u);
    std::vector<PDEVICE_OBJECT> now = bus->devices();
    ASSERT_EQ(now.size(), 1u);
    pdo = now[0];
    EXPECT_EQ(listener.arrived[1], pdo);
    EXPECT_EQ(kio::deviceInstancePath(pdo), kPath);
    EXPECT_NE(kio::deviceName(pdo), oldName);
    auto calls = fake->calls();
    EXPECT_EQ(calls.cycles, 1);
    EXPECT_EQ(calls.reenumerations, 1);
    EXPECT_EQ(calls.attaches, 2);
    EXPECT_EQ(calls.detaches, 1);
    // The device came back with the descriptors of its new firmware.
    config = std::make_unique<Exact>(fake->configAfterCycle);
    PUSBD_INTERFACE_INFORMATION alt4 = select(4);
    ASSERT_NE(alt4, nullptr);
    EXPECT_EQ(alt4->Pipes[0].MaximumPacketSize, 640);
}

TEST_F(BusTest, ACycledDeviceThatDoesNotComeBackIsGone) {
    fake->comesBack = false;
    ASSERT_NE(plug(), nullptr);
    Sent cycle(pdo->NextDevice, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, IOCTL_INTERNAL_USB_CYCLE_PORT,
               nullptr);
    EXPECT_EQ(cycle.call(), STATUS_SUCCESS);
    ASSERT_TRUE(bus->settle(5000));
    EXPECT_TRUE(bus->devices().empty());
    EXPECT_EQ(listener.arrived.size(), 1u);
    EXPECT_EQ(fake->calls().reenumerations, 1);
}

TEST_F(BusTest, DestroyingTheBusUnplugsEveryDevice) {
    ASSERT_NE(plug(), nullptr);
    auto second = std::make_shared<FakeBackend>();
    PDEVICE_OBJECT other = bus->plug(second, "USB\\VID_F1A5&PID_0B2D\\test-port-2");
    ASSERT_NE(other, nullptr);
    std::string names[2] = {kio::deviceName(pdo), kio::deviceName(other)};
    PUSBD_INTERFACE_INFORMATION alt1 = select(1);
    ASSERT_NE(alt1, nullptr);
    UCHAR data[8];
    auto urb = bulk(pipeOf(alt1, 0x83), data, sizeof data, USBD_TRANSFER_DIRECTION_IN);
    auto pending = sendUrb(pdo, urb.get());
    ASSERT_TRUE(fake->waitHeld(1));
    owned.clear();
    bus.reset();
    ASSERT_TRUE(pending->completed());
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    for (const std::string& n : names) EXPECT_EQ(kio::findDeviceByName(n), nullptr);
    EXPECT_EQ(second->calls().detaches, 1);
    EXPECT_EQ(listener.removedCount(), 2u);
}

}  // namespace
