// The simulated camera behind the bus's physical device object, driven with
// URBs as the driver sends them.
#include "platform/usb/bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "tests/sim/sim_test_util.h"
#include "tests/support/kernel_test.h"

using namespace simtest;

namespace {

class SimOnBus : public ::testing::Test {
  protected:
    void SetUp() override { bus_ = std::make_unique<usbbus::Bus>("simbus"); }
    void TearDown() override {
        owned_.clear();
        camera_.reset();
        bus_.reset();
        EXPECT_EQ(kpool::liveBytes(PoolTag("UBus")), 0);
        EXPECT_EQ(kpool::liveBytes(PoolTag("USBD")), 0);
    }

    PDEVICE_OBJECT plug(const sim::Scenario& s) {
        camera_ = std::make_shared<sim::SimCamera>(s, smallStore());
        std::string error;
        pdo_ = bus_->plug(camera_, sim::instancePathFor(s), &error);
        EXPECT_NE(pdo_, nullptr) << error;
        return pdo_;
    }

    // Sends one internal request down to `target` and waits for it.
    static NTSTATUS send(PDEVICE_OBJECT target, ULONG code, PVOID argument) {
        PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
        auto done = std::make_shared<std::atomic<bool>>(false);
        irp->OriginatorCompletion = [](PIRP, PVOID c) {
            static_cast<std::atomic<bool>*>(c)->store(true);
        };
        irp->OriginatorContext = done.get();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = argument;
        IoCallDriver(target, irp);
        if (!pavtest::waitFor([&] { return done->load(); })) {
            ADD_FAILURE() << "request never completed";
            return STATUS_TIMEOUT;  // left allocated: the bus still holds it
        }
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return status;
    }
    NTSTATUS submit(PURB urb) { return send(pdo_, IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }

    std::vector<UCHAR> descriptor(UCHAR type, ULONG length) {
        std::vector<UCHAR> buffer(length);
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                     buffer.data(), length);
        EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
        buffer.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
        return buffer;
    }

    NTSTATUS vendor(bool in, UCHAR request, USHORT value, std::vector<UCHAR>* data) {
        URB urb{};
        UsbBuildVendorRequest(
            &urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
            in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0, request, value, 0,
            data->empty() ? nullptr : data->data(), static_cast<ULONG>(data->size()));
        NTSTATUS s = submit(&urb);
        lastUsbd_ = urb.UrbHeader.Status;
        data->resize(urb.UrbControlVendorClassRequest.TransferBufferLength);
        return s;
    }

    // Selects an alternate setting of the camera interface the way the
    // driver does: a select-configuration URB built from the descriptor.
    PUSBD_INTERFACE_INFORMATION select(UCHAR alternate, NTSTATUS* status) {
        if (config_.empty()) {
            auto head = descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
            config_ = descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, head[2] | (head[3] << 8));
        }
        auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
        PUSB_INTERFACE_DESCRIPTOR ifc = USBD_ParseConfigurationDescriptorEx(
            cd, cd, camera_->scenario().interfaceNumber, alternate, -1, -1, -1);
        if (!ifc) {
            *status = STATUS_UNSUCCESSFUL;
            return nullptr;
        }
        USBD_INTERFACE_LIST_ENTRY list[2] = {{ifc, nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
        owned_.emplace_back(urb, [](PURB u) { ExFreePool(u); });
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i)
            info->Pipes[i].MaximumTransferSize = 0x10000;
        *status = submit(urb);
        lastUsbd_ = urb->UrbHeader.Status;
        return NT_SUCCESS(*status) ? info : nullptr;
    }

    static const USBD_PIPE_INFORMATION* pipe(PUSBD_INTERFACE_INFORMATION info, UCHAR endpoint) {
        for (ULONG i = 0; info && i < info->NumberOfPipes; ++i)
            if (info->Pipes[i].EndpointAddress == endpoint) return &info->Pipes[i];
        return nullptr;
    }

    NTSTATUS bulkIn(PUSBD_INTERFACE_INFORMATION info, std::vector<UCHAR>* data) {
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                               pipe(info, sim::kBulkInEndpoint)->PipeHandle,
                                               data->data(), static_cast<ULONG>(data->size()),
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
        NTSTATUS s = submit(&urb);
        data->resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        return s;
    }

    std::unique_ptr<usbbus::Bus> bus_;
    std::shared_ptr<sim::SimCamera> camera_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<UCHAR> config_;
    USBD_STATUS lastUsbd_ = 0;
    std::vector<std::unique_ptr<URB, void (*)(PURB)>> owned_;
};

TEST_F(SimOnBus, EnumeratesAndAnswersTheCommandSetThroughUrbs) {
    sim::Scenario s = quickScenario();
    s.interfaceNumber = 1;
    ASSERT_NE(plug(s), nullptr);
    EXPECT_TRUE(usbbus::descriptorProblems(pdo_).empty());
    auto dev = descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18);
    ASSERT_EQ(dev.size(), 18u);
    EXPECT_EQ(dev[8] | (dev[9] << 8), 0xF1A5);
    EXPECT_EQ(dev[10] | (dev[11] << 8), 0x0B2D);

    std::vector<UCHAR> info(22);
    ASSERT_EQ(vendor(true, 0x84, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.size(), 22u);
    EXPECT_EQ(info[3], 0x03);
    std::vector<UCHAR> bad(1);
    EXPECT_FALSE(NT_SUCCESS(vendor(true, 0x81, 7, &bad)));
    EXPECT_EQ(lastUsbd_, USBD_STATUS_STALL_PID) << "the camera's stall reaches the URB";

    // The object table over the bulk-in pipe of setting 1.
    NTSTATUS st = 0;
    PUSBD_INTERFACE_INFORMATION alt1 = select(1, &st);
    ASSERT_EQ(st, STATUS_SUCCESS);
    EXPECT_EQ(camera_->alternateSetting(), 1);
    std::vector<UCHAR> none;
    ASSERT_EQ(vendor(false, 0x85, 0, &none), STATUS_SUCCESS);
    std::vector<UCHAR> table(64);
    ASSERT_EQ(bulkIn(alt1, &table), STATUS_SUCCESS);
    ASSERT_EQ(table.size(), 20u) << "five objects, a short packet ends the transfer";
    EXPECT_EQ(readBe32(&table[0]), 0x08000001u);
}

TEST_F(SimOnBus, IsochronousVideoAndTheBandwidthLimit) {
    sim::Scenario s = quickScenario();
    s.maxAlternate = 6;
    ASSERT_NE(plug(s), nullptr);
    NTSTATUS st = 0;
    EXPECT_EQ(select(7, &st), nullptr);
    EXPECT_EQ(lastUsbd_, USBD_STATUS_NO_BANDWIDTH);
    Host host(camera_);
    host.startVideo(160, 120);
    PUSBD_INTERFACE_INFORMATION alt6 = select(6, &st);
    ASSERT_EQ(st, STATUS_SUCCESS);
    const USBD_PIPE_INFORMATION* iso = pipe(alt6, sim::kIsoEndpoint);
    ASSERT_NE(iso, nullptr);
    ASSERT_EQ(iso->MaximumPacketSize, 896);

    constexpr ULONG kPackets = 32;
    std::vector<UCHAR> urbBytes(GET_ISO_URB_SIZE(kPackets));
    auto* urb = reinterpret_cast<PURB>(urbBytes.data());
    std::vector<UCHAR> buffer(kPackets * iso->MaximumPacketSize);
    _URB_ISOCH_TRANSFER& t = urb->UrbIsochronousTransfer;
    t.Hdr.Length = static_cast<USHORT>(urbBytes.size());
    t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    t.PipeHandle = iso->PipeHandle;
    t.TransferFlags =
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    t.TransferBuffer = buffer.data();
    t.TransferBufferLength = static_cast<ULONG>(buffer.size());
    t.NumberOfPackets = kPackets;
    for (ULONG i = 0; i < kPackets; ++i) t.IsoPacket[i].Offset = i * iso->MaximumPacketSize;
    ULONG before = camera_->currentFrame();
    ASSERT_EQ(submit(urb), STATUS_SUCCESS);
    EXPECT_GE(camera_->currentFrame() - before, kPackets) << "one packet per frame";
    int data = 0;
    for (ULONG i = 0; i < kPackets; ++i) {
        const auto& p = t.IsoPacket[i];
        ASSERT_EQ(p.Status, USBD_STATUS_SUCCESS);
        if (p.Length < 2) continue;
        ++data;
        unsigned sum = 0;
        for (ULONG k = 0; k < p.Length - 2; ++k) sum += buffer[p.Offset + k];
        EXPECT_EQ(buffer[p.Offset + p.Length - 2] | (buffer[p.Offset + p.Length - 1] << 8),
                  static_cast<int>(sum & 0xFFFF));
    }
    EXPECT_GT(data, 0) << "video flowed";
}

TEST_F(SimOnBus, PatchedCameraComesBackPatchedAfterThePortCycle) {
    ASSERT_NE(plug(quickScenario()), nullptr);
    std::shared_ptr<sim::SimCamera> camera = camera_;
    // A regular ("52") image of 300 bytes, its checksum at offset 5.
    std::vector<UCHAR> image(300);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<UCHAR>(i * 13);
    image[2] = '5';
    image[3] = '2';
    image[99] = 0x01;
    image[100] = 0x2C;
    UCHAR sum = 0xFF;
    for (std::size_t i = 6; i < image.size(); ++i) sum ^= image[i];
    image[4] = 0;
    image[5] = sum;
    std::vector<UCHAR> head = {0, 0, 0x01, 0x2C, 0x02, 0x07, 0, 0, sum, 0};
    ASSERT_EQ(vendor(false, 0x06, 0, &head), STATUS_SUCCESS);
    NTSTATUS st = 0;
    PUSBD_INTERFACE_INFORMATION alt1 = select(1, &st);
    ASSERT_EQ(st, STATUS_SUCCESS);
    image.resize(320, 0);  // whole packets
    URB out{};
    UsbBuildInterruptOrBulkTransferRequest(&out, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe(alt1, sim::kBulkOutEndpoint)->PipeHandle,
                                           image.data(), static_cast<ULONG>(image.size()), 0);
    ASSERT_EQ(submit(&out), STATUS_SUCCESS);
    EXPECT_EQ(camera->patchState(), sim::PatchState::Accepted) << camera->patchProblem();

    ULONG port = 0;
    ASSERT_EQ(send(pdo_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_SUCCESS);
    EXPECT_EQ(port, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
    ASSERT_NE(pdo_->NextDevice, nullptr);
    // The device that comes back is a new object under a new name; its
    // address may well be the old one's.
    const std::string before = kio::deviceName(pdo_);
    ASSERT_EQ(send(pdo_->NextDevice, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(bus_->settle());
    ASSERT_EQ(bus_->devices().size(), 1u);
    pdo_ = bus_->devices().at(0);
    EXPECT_NE(kio::deviceName(pdo_), before) << "the camera did not come back as a new device";
    config_.clear();
    EXPECT_EQ(usbbus::backendOf(pdo_), camera);
    std::vector<UCHAR> info(22);
    ASSERT_EQ(vendor(true, 0x84, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info[2], 0x02);
    EXPECT_EQ(info[3], 0x07);
}

TEST_F(SimOnBus, SurpriseRemovalEndsAPendingUrb) {
    ASSERT_NE(plug(quickScenario()), nullptr);
    NTSTATUS st = 0;
    PUSBD_INTERFACE_INFORMATION alt1 = select(1, &st);
    ASSERT_EQ(st, STATUS_SUCCESS);
    std::vector<UCHAR> buffer(512);
    URB in{};
    UsbBuildInterruptOrBulkTransferRequest(
        &in, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe(alt1, sim::kBulkInEndpoint)->PipeHandle,
        buffer.data(), 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    NTSTATUS result = STATUS_PENDING;
    std::thread reader([&] { result = submit(&in); });
    ASSERT_TRUE(pavtest::waitFor([&] { return camera_->pendingTransfers() == 1; }));
    camera_->unplug();
    reader.join();
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(result, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(pavtest::waitFor([&] { return bus_->devices().empty(); }));
}

TEST_F(SimOnBus, MalformedDescriptorsAreReportedByTheBus) {
    sim::Scenario s = quickScenario();
    s.faults.descriptor.zeroPacketSize = true;
    ASSERT_NE(plug(s), nullptr);
    EXPECT_FALSE(usbbus::descriptorProblems(pdo_).empty());
}

}  // namespace
