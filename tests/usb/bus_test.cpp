// The physical device object while the device is plugged in: enumeration,
// configuration and settings, transfers, cancellation, Plug and Play and power.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <algorithm>

#include "tests/usb/bus_harness.h"

using namespace usbtest;

namespace {

std::vector<UCHAR> setup(UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length) {
    return {type,
            request,
            static_cast<UCHAR>(value & 0xFF),
            static_cast<UCHAR>(value >> 8),
            static_cast<UCHAR>(index & 0xFF),
            static_cast<UCHAR>(index >> 8),
            static_cast<UCHAR>(length & 0xFF),
            static_cast<UCHAR>(length >> 8)};
}

TEST_F(BusTest, PlugEnumeratesTheDeviceAndPublishesItsObjects) {
    ASSERT_NE(plug(), nullptr);
    EXPECT_EQ(kio::deviceInstancePath(pdo), kPath);
    EXPECT_EQ(bus->devices(), std::vector<PDEVICE_OBJECT>{pdo});
    EXPECT_EQ(usbbus::backendOf(pdo), fake);
    EXPECT_TRUE(usbbus::descriptorProblems(pdo).empty());
    ASSERT_EQ(listener.arrived, std::vector<PDEVICE_OBJECT>{pdo});
    // The port object follows the physical device object in the driver's list.
    ASSERT_NE(pdo->NextDevice, nullptr);
    EXPECT_NE(kio::deviceName(pdo->NextDevice).find("Port"), std::string::npos);
    EXPECT_EQ(pdo->DriverObject, bus->driver());
    // Device descriptor, configuration header, then the whole configuration.
    auto setups = fake->calls().setups;
    ASSERT_EQ(setups.size(), 3u);
    EXPECT_EQ(setups[0], setup(0x80, 0x06, 0x0100, 0, 18));
    EXPECT_EQ(setups[1], setup(0x80, 0x06, 0x0200, 0, 9));
    EXPECT_EQ(setups[2],
              setup(0x80, 0x06, 0x0200, 0, static_cast<USHORT>(fake->configBytes.size())));

    ULONG portStatus = 0;
    Sent status(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, IOCTL_INTERNAL_USB_GET_PORT_STATUS,
                &portStatus);
    EXPECT_EQ(status.call(), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
}

TEST_F(BusTest, PlugRefusesADeviceWhoseDescriptorsCannotBeUsed) {
    std::string error;
    fake->deviceBytes.resize(8);
    EXPECT_EQ(bus->plug(fake, kPath, &error), nullptr);
    EXPECT_NE(error.find("8 bytes received"), std::string::npos) << error;
    fake->deviceBytes = deviceDescriptor();
    fake->configBytes[1] = USB_STRING_DESCRIPTOR_TYPE;
    EXPECT_EQ(bus->plug(fake, kPath, &error), nullptr);
    EXPECT_NE(error.find("type 3"), std::string::npos) << error;
    fake->refuseSubmit = USBD_STATUS_DEV_NOT_RESPONDING;
    EXPECT_EQ(bus->plug(fake, kPath, &error), nullptr);
    EXPECT_NE(error.find("0xC0000005"), std::string::npos) << error;
    EXPECT_TRUE(bus->devices().empty());
    EXPECT_TRUE(listener.arrived.empty());
    // Each attempt attached the backend and let go of it again.
    EXPECT_EQ(fake->calls().attaches, 3);
    EXPECT_EQ(fake->calls().detaches, 3);
}

TEST_F(BusTest, PlugKeepsTheWellFormedPartOfABrokenConfiguration) {
    // Setting 2 has an endpoint with wMaxPacketSize 0 and setting 3 is cut off
    // by a descriptor with bLength 0.
    std::vector<UCHAR> bytes = configurationHeader();
    appendInterface(bytes, 0, 0, 1);
    appendEndpoint(bytes, {0x82, USB_ENDPOINT_TYPE_BULK, 64});
    appendInterface(bytes, 0, 2, 1);
    appendEndpoint(bytes, {0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 0});
    bytes.insert(bytes.end(), {0, 4});
    appendInterface(bytes, 0, 3, 0);
    finishConfiguration(bytes, 1);
    fake->configBytes = bytes;
    ASSERT_NE(plug(), nullptr);
    auto problems = usbbus::descriptorProblems(pdo);
    EXPECT_GE(problems.size(), 3u);  // the endpoint, the cut, the missing setting 1
    // The driver works from a copy that has every setting whole.
    config = std::make_unique<Exact>(configurationDescriptor(cameraSettings()));

    NTSTATUS st;
    PUSBD_INTERFACE_INFORMATION alt2 = select(2, &st);
    ASSERT_NE(alt2, nullptr) << std::hex << st;
    EXPECT_EQ(alt2->NumberOfPipes, 0u);  // its broken endpoint is not a pipe
    // The bus never saw setting 3 whole.
    PURB urb = selection(3);
    EXPECT_EQ(submitAndWait(pdo, urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(BusTest, SelectConfigurationFillsEveryPipeOfTheSetting) {
    ASSERT_NE(plug(), nullptr);
    PURB urb = selection(2);
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    info->Pipes[1].MaximumTransferSize = 1234;
    ASSERT_EQ(submitAndWait(pdo, urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(info->Class, 0xFF);
    EXPECT_NE(info->InterfaceHandle, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 4u);
    struct Want {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT packet;
        UCHAR interval;
    } want[] = {{0x82, UsbdPipeTypeBulk, 64, 1},
                {0x05, UsbdPipeTypeBulk, 64, 1},
                {0x83, UsbdPipeTypeInterrupt, 8, 10},
                {0x81, UsbdPipeTypeIsochronous, 128, 1}};
    std::set<USBD_PIPE_HANDLE> handles;
    for (ULONG i = 0; i < 4; ++i) {
        EXPECT_EQ(info->Pipes[i].EndpointAddress, want[i].address);
        EXPECT_EQ(info->Pipes[i].PipeType, want[i].type);
        EXPECT_EQ(info->Pipes[i].MaximumPacketSize, want[i].packet);
        EXPECT_EQ(info->Pipes[i].Interval, want[i].interval);
        EXPECT_NE(info->Pipes[i].PipeHandle, nullptr);
        handles.insert(info->Pipes[i].PipeHandle);
    }
    EXPECT_EQ(handles.size(), 4u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 1234u);  // kept as the caller set it
    auto calls = fake->calls();
    EXPECT_EQ(calls.configurations, std::vector<UCHAR>{1});
    ASSERT_EQ(calls.interfaces.size(), 1u);
    EXPECT_EQ(calls.interfaces[0], std::make_pair(UCHAR{0}, UCHAR{2}));

    // A bulk transfer longer than the pipe's maximum transfer size is refused.
    UCHAR buffer[2048];
    auto big = bulk(info->Pipes[1].PipeHandle, buffer, sizeof buffer);
    EXPECT_EQ(submitAndWait(pdo, big.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(fake->held(), 0u);
}

TEST_F(BusTest, SelectionRefusesBlocksThatDoNotFitTheDevice) {
    ASSERT_NE(plug(), nullptr);
    // Too short for the setting's four pipes.
    PURB urb = selection(0);
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    info->AlternateSetting = 2;
    EXPECT_EQ(submitAndWait(pdo, urb), STATUS_INVALID_PARAMETER);
    // A block whose length runs past the URB.
    urb = selection(0);
    urb->UrbSelectConfiguration.Interface.Length = 0x7FFF;
    EXPECT_EQ(submitAndWait(pdo, urb), STATUS_INVALID_PARAMETER);
    // Another configuration value than the device's.
    std::vector<UCHAR> other = fake->configBytes;
    other[5] = 7;
    Exact o(other);
    urb = selection(0);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = o.config();
    EXPECT_EQ(submitAndWait(pdo, urb), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(fake->calls().configurations.empty());
}

TEST_F(BusTest, SettingRefusedForBandwidthKeepsThePreviousOne) {
    ASSERT_NE(plug(), nullptr);
    PUSBD_INTERFACE_INFORMATION alt1 = select(1);
    ASSERT_NE(alt1, nullptr);
    USBD_PIPE_HANDLE bulkIn = pipeOf(alt1, 0x82);
    fake->refusedSettings = {2, 3};
    PURB refused = selection(3);
    EXPECT_EQ(submitAndWait(pdo, refused), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(refused->UrbHeader.Status, USBD_STATUS_NO_BANDWIDTH);

    // Setting 1's pipes still work.
    UCHAR buffer[64];
    auto urb =
        bulk(bulkIn, buffer, sizeof buffer, USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN);
    auto sent = sendUrb(pdo, urb.get());
    ASSERT_TRUE(fake->waitHeld(1));
    EXPECT_EQ(fake->heldAt(0)->endpoint, 0x82);
    fake->finish(0, USBD_STATUS_SUCCESS, 10);
    ASSERT_TRUE(sent->wait());
    EXPECT_EQ(sent->status(), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
    EXPECT_EQ(buffer[9], 0xA5);
}

TEST_F(BusTest, PipeHandlesOfAReplacedSettingAreRefused) {
    ASSERT_NE(plug(), nullptr);
    PURB first = selection(1);
    ASSERT_EQ(submitAndWait(pdo, first), STATUS_SUCCESS);
    USBD_PIPE_HANDLE old = pipeOf(&first->UrbSelectConfiguration.Interface, 0x05);
    USBD_CONFIGURATION_HANDLE oldConfig = first->UrbSelectConfiguration.ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION alt2 = select(2);
    ASSERT_NE(alt2, nullptr);
    USBD_PIPE_HANDLE fresh = pipeOf(alt2, 0x05);
    EXPECT_NE(fresh, old);

    UCHAR buffer[64] = {};
    auto stale = bulk(old, buffer, sizeof buffer);
    EXPECT_EQ(submitAndWait(pdo, stale.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(fake->held(), 0u);

    // SELECT_INTERFACE needs the current configuration's handle.
    // The buffer is at least a whole URB so that writes through the union
    // stay inside it; the URB's own length says how much of it counts.
    const size_t selLength = offsetof(_URB_SELECT_INTERFACE, Interface) + UsbdInterfaceInformationSize(3);
    std::vector<UCHAR> si(std::max(selLength, sizeof(URB)));
    auto* sel = reinterpret_cast<PURB>(si.data());
    sel->UrbHeader.Length = static_cast<USHORT>(selLength);
    sel->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    sel->UrbSelectInterface.Interface.Length = static_cast<USHORT>(UsbdInterfaceInformationSize(3));
    sel->UrbSelectInterface.Interface.AlternateSetting = 1;
    sel->UrbSelectInterface.ConfigurationHandle = oldConfig;
    EXPECT_EQ(submitAndWait(pdo, sel),
              STATUS_SUCCESS);  // one configuration: its handle is still current
    USBD_PIPE_HANDLE viaInterface = pipeOf(&sel->UrbSelectInterface.Interface, 0x05);
    EXPECT_NE(viaInterface, fresh);
    auto afterSelect = bulk(fresh, buffer, sizeof buffer);
    EXPECT_EQ(submitAndWait(pdo, afterSelect.get()), STATUS_INVALID_PARAMETER);
    sel->UrbSelectInterface.ConfigurationHandle = reinterpret_cast<PVOID>(0x1234);
    EXPECT_EQ(submitAndWait(pdo, sel), STATUS_INVALID_PARAMETER);

    // Unconfiguring invalidates everything.
    URB none{};
    UsbBuildSelectConfigurationRequest(&none, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(submitAndWait(pdo, &none), STATUS_SUCCESS);
    EXPECT_EQ(fake->calls().configurations, (std::vector<UCHAR>{1, 0}));
    auto unconfigured = bulk(viaInterface, buffer, sizeof buffer);
    EXPECT_EQ(submitAndWait(pdo, unconfigured.get()), STATUS_INVALID_PARAMETER);
}

// Submissions on a pipe while another thread replaces its setting (which
// frees the pipes no transfer holds) the moment each submission starts: each
// ends cancelled by the replacement or refused for its stale handle, and
// none reads a freed pipe.
TEST_F(BusTest, SubmissionsRacingTheReplacementOfTheirSettingEndCleanly) {
    ASSERT_NE(plug(), nullptr);
    PUSBD_INTERFACE_INFORMATION alt1 = select(1);
    ASSERT_NE(alt1, nullptr);
    std::atomic<USBD_PIPE_HANDLE> handle{pipeOf(alt1, 0x82)};
    std::atomic<int> started{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::atomic<int> cancelled{0}, refused{0}, other{0};
    std::thread submitter([&] {
        UCHAR data[64];
        USBD_PIPE_HANDLE last = nullptr;
        while (!stop.load()) {
            USBD_PIPE_HANDLE h = handle.load();
            if (h == last) {
                std::this_thread::yield();
                continue;
            }
            last = h;
            auto transfer = bulk(h, data, sizeof data, USBD_TRANSFER_DIRECTION_IN);
            ++started;
            const NTSTATUS st = submitAndWait(pdo, transfer.get());
            if (st == STATUS_CANCELLED)
                ++cancelled;
            else if (st == STATUS_INVALID_PARAMETER &&
                     transfer->UrbHeader.Status == USBD_STATUS_INVALID_PIPE_HANDLE)
                ++refused;
            else
                ++other;
        }
        done.store(true);
    });
    constexpr int kRounds = 300;
    for (int i = 1; i <= kRounds; ++i) {
        // Replaced as soon as the submission is on its way. One that went
        // out on a pipe the last replacement had just retired is held
        // until this one cancels it.
        while (started.load() < i && fake->held() == 0) std::this_thread::yield();
        PUSBD_INTERFACE_INFORMATION again = select(1);
        ASSERT_NE(again, nullptr);
        handle.store(pipeOf(again, 0x82));
    }
    stop.store(true);
    // Its last transfer is held until a replacement cancels it.
    while (!done.load()) ASSERT_NE(select(1), nullptr);
    submitter.join();
    // Most rounds had a submission on their way (a held one takes two).
    EXPECT_GT(cancelled.load() + refused.load(), kRounds / 2);
    EXPECT_EQ(other.load(), 0);
}

// A transfer that reaches its pipe after the drain that starts a change of
// setting, while the device switches, is cancelled by that change: it is
// not held on a pipe nobody can name until some later change.
TEST_F(BusTest, ATransferThatReachesItsPipeAsTheSettingChangesIsCancelledByThatChange) {
    ASSERT_NE(plug(), nullptr);
    PUSBD_INTERFACE_INFORMATION alt1 = select(1);
    ASSERT_NE(alt1, nullptr);
    UCHAR data[64];
    auto transfer = bulk(pipeOf(alt1, 0x82), data, sizeof data, USBD_TRANSFER_DIRECTION_IN);
    std::unique_ptr<Sent> sent;
    fake->duringSetInterface = [&] {
        if (!sent) sent = sendUrb(pdo, transfer.get());
    };
    ASSERT_NE(select(2), nullptr);
    fake->duringSetInterface = nullptr;
    ASSERT_TRUE(sent);
    const bool ended = sent->wait();
    if (!ended) select(1);  // the next change lets it go, so that the test ends cleanly
    EXPECT_TRUE(ended) << "the transfer was left on the replaced setting's pipe";
    EXPECT_EQ(sent->status(), STATUS_CANCELLED);
    EXPECT_EQ(fake->held(), 0u);
}

TEST_F(BusTest, ControlRequestsCarryTheirSetupPacketAndReportBytesMoved) {
    ASSERT_NE(plug(), nullptr);
    fake->vendor = [](usbbus::Transfer& t) {
        if (t.setup[1] == 0x84) {
            for (ULONG i = 0; i < t.length; ++i) t.buffer[i] = static_cast<UCHAR>(i);
            t.actualLength = 5;  // a short answer
        } else if (t.setup[1] == 0x99) {
            t.status = USBD_STATUS_STALL_PID;
            t.actualLength = 0;
        }
    };
    UCHAR info[22] = {};
    auto in = vendorRequest(true, 0x84, 0x0102, info, sizeof info);
    EXPECT_EQ(submitAndWait(pdo, in.get()), STATUS_SUCCESS);
    EXPECT_EQ(in->UrbControlVendorClassRequest.TransferBufferLength, 5u);
    EXPECT_EQ(info[4], 4);
    UCHAR out[3] = {1, 2, 3};
    auto write = vendorRequest(false, 0x01, 0x0203, out, sizeof out);
    EXPECT_EQ(submitAndWait(pdo, write.get()), STATUS_SUCCESS);
    auto stall = vendorRequest(true, 0x99, 0, info, 1);
    EXPECT_EQ(submitAndWait(pdo, stall.get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stall->UrbHeader.Status, USBD_STATUS_STALL_PID);

    // A descriptor read asking for more than there is: a short read succeeds
    // and the bytes past it stay as they were.
    UCHAR dd[64];
    std::memset(dd, 0xEE, sizeof dd);
    URB get{};
    UsbBuildGetDescriptorRequest(&get, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, dd, sizeof dd);
    EXPECT_EQ(submitAndWait(pdo, &get), STATUS_SUCCESS);
    EXPECT_EQ(get.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(dd[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(dd[18], 0xEE);

    auto setups = fake->calls().setups;
    ASSERT_EQ(setups.size(), 7u);
    EXPECT_EQ(setups[3], setup(0xC0, 0x84, 0x0102, 0, 22));
    EXPECT_EQ(setups[4], setup(0x40, 0x01, 0x0203, 0, 3));
    EXPECT_EQ(setups[6], setup(0x80, 0x06, 0x0100, 0, 64));
}

TEST_F(BusTest, IsochronousTransfersReportEveryPacket) {
    ASSERT_NE(plug(), nullptr);
    PUSBD_INTERFACE_INFORMATION alt3 = select(3);
    ASSERT_NE(alt3, nullptr);
    USBD_PIPE_HANDLE iso = pipeOf(alt3, 0x81);
    constexpr ULONG kPackets = 8;
    constexpr ULONG kPacket = 384;
    std::vector<UCHAR> buffer(kPackets * kPacket);
    std::vector<UCHAR> storage(GET_ISO_URB_SIZE(kPackets));
    auto* urb = reinterpret_cast<PURB>(storage.data());
    auto build = [&] {
        std::fill(storage.begin(), storage.end(), 0);
        _URB_ISOCH_TRANSFER& r = urb->UrbIsochronousTransfer;
        r.Hdr.Length = static_cast<USHORT>(storage.size());
        r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        r.PipeHandle = iso;
        r.TransferFlags =
            USBD_START_ISO_TRANSFER_ASAP | USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        r.TransferBuffer = buffer.data();
        r.TransferBufferLength = static_cast<ULONG>(buffer.size());
        r.NumberOfPackets = kPackets;
        for (ULONG i = 0; i < kPackets; ++i) r.IsoPacket[i].Offset = i * kPacket;
    };

    build();
    auto good = sendUrb(pdo, urb);
    ASSERT_TRUE(fake->waitHeld(1));
    EXPECT_EQ(fake->heldAt(0)->packetSize, kPacket);
    fake->finish(0, USBD_STATUS_SUCCESS, 100);
    ASSERT_TRUE(good->wait());
    EXPECT_EQ(good->status(), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbIsochronousTransfer.ErrorCount, 0u);
    EXPECT_EQ(urb->UrbIsochronousTransfer.IsoPacket[7].Length, 100u);
    EXPECT_EQ(buffer[7 * kPacket + 99], 0xA5);

    build();
    auto bad = sendUrb(pdo, urb);
    ASSERT_TRUE(fake->waitHeld(1));
    fake->finish(0, USBD_STATUS_CRC, 0);
    ASSERT_TRUE(bad->wait());
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(urb->UrbIsochronousTransfer.ErrorCount, kPackets);

    // A packet that would not fit in the buffer, a packet count out of range,
    // and an isochronous URB on a bulk pipe never reach the device.
    build();
    urb->UrbIsochronousTransfer.IsoPacket[7].Offset = static_cast<ULONG>(buffer.size()) - 10;
    EXPECT_EQ(submitAndWait(pdo, urb), STATUS_INVALID_PARAMETER);
    build();
    urb->UrbIsochronousTransfer.NumberOfPackets = 0;
    EXPECT_EQ(submitAndWait(pdo, urb), STATUS_INVALID_PARAMETER);
    build();
    urb->UrbIsochronousTransfer.NumberOfPackets = 9;  // more than the URB holds
    EXPECT_EQ(submitAndWait(pdo, urb), STATUS_INVALID_PARAMETER);
    build();
    urb->UrbIsochronousTransfer.PipeHandle = pipeOf(alt3, 0x82);
    EXPECT_EQ(submitAndWait(pdo, urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(fake->held(), 0u);
}

TEST_F(BusTest, AbortPipeEndsThePipesPendingTransfersBeforeItCompletes) {
    ASSERT_NE(plug(), nullptr);
    PUSBD_INTERFACE_INFORMATION alt1 = select(1);
    ASSERT_NE(alt1, nullptr);
    USBD_PIPE_HANDLE bulkIn = pipeOf(alt1, 0x82);
    USBD_PIPE_HANDLE interrupt = pipeOf(alt1, 0x83);
    std::mutex m;
    std::vector<std::string> order;
    UCHAR buffers[4][64];
    std::vector<std::unique_ptr<URB>> urbs;
    std::vector<std::unique_ptr<Sent>> sent;
    for (int i = 0; i < 4; ++i) {
        urbs.push_back(
            bulk(i < 3 ? bulkIn : interrupt, buffers[i], 64, USBD_TRANSFER_DIRECTION_IN));
        auto s = std::make_unique<Sent>(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                                        IOCTL_INTERNAL_USB_SUBMIT_URB, urbs.back().get());
        s->onComplete = [&m, &order, i] {
            std::lock_guard<std::mutex> g(m);
            order.push_back("transfer" + std::to_string(i));
        };
        EXPECT_EQ(s->call(), STATUS_PENDING);
        sent.push_back(std::move(s));
    }
    ASSERT_TRUE(fake->waitHeld(4));

    URB abort{};
    abort.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    abort.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = bulkIn;
    Sent request(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, IOCTL_INTERNAL_USB_SUBMIT_URB, &abort);
    request.onComplete = [&] {
        std::lock_guard<std::mutex> g(m);
        order.push_back("abort");
    };
    request.call();
    ASSERT_TRUE(request.wait());
    EXPECT_EQ(request.status(), STATUS_SUCCESS);
    {
        std::lock_guard<std::mutex> g(m);
        ASSERT_EQ(order.size(), 4u);
        EXPECT_EQ(order.back(), "abort");
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i]->status(), STATUS_CANCELLED);
        EXPECT_EQ(urbs[i]->UrbHeader.Status, USBD_STATUS_CANCELED);
    }
    // The other pipe's transfer is untouched, and the aborted pipe still works.
    EXPECT_FALSE(sent[3]->completed());
    ASSERT_EQ(fake->held(), 1u);
    fake->finish(0, USBD_STATUS_SUCCESS, 8);
    ASSERT_TRUE(sent[3]->wait());
    auto again = bulk(bulkIn, buffers[0], 64, USBD_TRANSFER_DIRECTION_IN);
    auto s = sendUrb(pdo, again.get());
    ASSERT_TRUE(fake->waitHeld(1));
    fake->finish(0, USBD_STATUS_SUCCESS, 64);
    ASSERT_TRUE(s->wait());
    EXPECT_EQ(s->status(), STATUS_SUCCESS);

    URB reset{};
    reset.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    reset.UrbPipeRequest.PipeHandle = interrupt;
    EXPECT_EQ(submitAndWait(pdo, &reset), STATUS_SUCCESS);
    EXPECT_EQ(fake->calls().clearedHalts, std::vector<UCHAR>{0x83});
}

class CancelTest : public BusTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CancelTest, IoCancelIrpEndsAPendingUrb) {
    fake->cancelInline = GetParam();
    fake->holdVendor = true;
    ASSERT_NE(plug(), nullptr);
    PUSBD_INTERFACE_INFORMATION alt1 = select(1);
    ASSERT_NE(alt1, nullptr);
    UCHAR data[64];
    auto transfer = bulk(pipeOf(alt1, 0x82), data, sizeof data, USBD_TRANSFER_DIRECTION_IN);
    auto pending = sendUrb(pdo, transfer.get());
    EXPECT_EQ(pending->returned(), STATUS_PENDING);
    UCHAR info[22];
    auto vendor = vendorRequest(true, 0x84, 0, info, sizeof info);
    auto control = sendUrb(pdo, vendor.get());
    ASSERT_TRUE(fake->waitHeld(2));
    EXPECT_FALSE(pending->completed());

    EXPECT_TRUE(IoCancelIrp(pending->irp()));
    ASSERT_TRUE(pending->wait());
    EXPECT_EQ(pending->status(), STATUS_CANCELLED);
    EXPECT_EQ(transfer->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_TRUE(IoCancelIrp(control->irp()));
    ASSERT_TRUE(control->wait());
    EXPECT_EQ(control->status(), STATUS_CANCELLED);
    EXPECT_EQ(fake->calls().cancels, 2);
    EXPECT_EQ(fake->held(), 0u);

    // A request cancelled before it reached the bus never reaches the device.
    Sent early(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, IOCTL_INTERNAL_USB_SUBMIT_URB,
               transfer.get());
    early.irp()->Cancel = TRUE;
    early.call();
    ASSERT_TRUE(early.wait());
    EXPECT_EQ(early.status(), STATUS_CANCELLED);
    EXPECT_EQ(fake->held(), 0u);
    EXPECT_EQ(fake->calls().cancels, 2);
}

INSTANTIATE_TEST_SUITE_P(CompletionThread, CancelTest, ::testing::Values(false, true),
                         [](const auto& info) {
                             return info.param ? "InsideCancel" : "FromDeviceThread";
                         });

// A stream resubmits from its completions for as long as it runs: the bus's
// record of each request is taken again from the device, not from the pool,
// and one taken again still meets a failure injected for the pool.
TEST_F(BusTest, RequestRecordsAreReusedAndStillMeetInjectedPoolFailures) {
    ASSERT_NE(plug(), nullptr);
    UCHAR info[22];
    auto first = vendorRequest(true, 0x84, 0, info, sizeof info);
    ASSERT_EQ(submitAndWait(pdo, first.get()), STATUS_SUCCESS);
    const ULONGLONG blocks = kpool::totalAllocations(PoolTag("UBus"));
    for (int i = 0; i < 20; ++i) {
        auto again = vendorRequest(true, 0x84, 0, info, sizeof info);
        ASSERT_EQ(submitAndWait(pdo, again.get()), STATUS_SUCCESS);
    }
    EXPECT_EQ(kpool::totalAllocations(PoolTag("UBus")), blocks);

    kpool::failAllocations(PoolTag("UBus"), 1);
    auto refused = vendorRequest(true, 0x84, 0, info, sizeof info);
    EXPECT_EQ(submitAndWait(pdo, refused.get()), STATUS_INSUFFICIENT_RESOURCES);
    kpool::failAllocations(0, 0);
    auto after = vendorRequest(true, 0x84, 0, info, sizeof info);
    EXPECT_EQ(submitAndWait(pdo, after.get()), STATUS_SUCCESS);
}

TEST_F(BusTest, RefusedOrMalformedUrbsCompleteAtOnce) {
    ASSERT_NE(plug(), nullptr);
    PUSBD_INTERFACE_INFORMATION alt1 = select(1);
    ASSERT_NE(alt1, nullptr);
    UCHAR data[64];

    fake->refuseSubmit = USBD_STATUS_XACT_ERROR;
    auto refused = bulk(pipeOf(alt1, 0x82), data, sizeof data);
    EXPECT_EQ(submitAndWait(pdo, refused.get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused->UrbHeader.Status, USBD_STATUS_XACT_ERROR);
    fake->refuseSubmit = USBD_STATUS_PENDING;

    kpool::failAllocations(PoolTag("UBus"), 1);
    auto noPool = bulk(pipeOf(alt1, 0x82), data, sizeof data);
    EXPECT_EQ(submitAndWait(pdo, noPool.get()), STATUS_INSUFFICIENT_RESOURCES);
    kpool::failAllocations(0, 0);

    URB unknown{};
    unknown.UrbHeader.Length = sizeof(URB);
    unknown.UrbHeader.Function = 0x7F;
    EXPECT_EQ(submitAndWait(pdo, &unknown), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

    auto truncated = bulk(pipeOf(alt1, 0x82), data, sizeof data);
    truncated->UrbHeader.Length = sizeof(_URB_HEADER) + 4;
    EXPECT_EQ(submitAndWait(pdo, truncated.get()), STATUS_INVALID_PARAMETER);
    auto noBuffer = bulk(pipeOf(alt1, 0x82), nullptr, 16);
    EXPECT_EQ(submitAndWait(pdo, noBuffer.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(submitAndWait(pdo, nullptr), STATUS_INVALID_PARAMETER);

    URB frame{};
    frame.UrbHeader.Length = sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
    frame.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    EXPECT_EQ(submitAndWait(pdo, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.UrbGetCurrentFrameNumber.FrameNumber, 4242u);

    // The port cycle belongs to the port object, not to the physical device object.
    Sent cycle(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr);
    EXPECT_EQ(cycle.call(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(fake->held(), 0u);
}

TEST_F(BusTest, PlugAndPlayAndPowerRequests) {
    ASSERT_NE(plug(), nullptr);
    for (UCHAR minor :
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
          IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_STOP_DEVICE}) {
        EXPECT_EQ(sendPnp(pdo, minor), STATUS_SUCCESS) << int(minor);
    }
    EXPECT_EQ(sendPnp(pdo, IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);  // left as it came

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    EXPECT_EQ(sendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, sizeof caps);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s)
        EXPECT_EQ(caps.DeviceState[s], PowerDeviceD3);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    EXPECT_TRUE(caps.Flags & DEVICE_CAP_SURPRISE_REMOVAL_OK);

    Sent setPower(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, 0, nullptr);
    EXPECT_EQ(setPower.call(), STATUS_SUCCESS);
    Sent wake(pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE, 0, nullptr);
    EXPECT_EQ(wake.call(), STATUS_PENDING);
    Sent second(pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE, 0, nullptr);
    EXPECT_EQ(second.call(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(wake.completed());
    EXPECT_TRUE(IoCancelIrp(wake.irp()));
    ASSERT_TRUE(wake.wait());
    EXPECT_EQ(wake.status(), STATUS_CANCELLED);
}

}  // namespace
