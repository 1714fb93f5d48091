// Reading the configuration, finding the camera interface, selecting
// alternate settings with their fall-back, and the pipes of a setting.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "driver/core/device_context.h"
#include "sim/descriptors.h"
#include "sim/sim_camera.h"
#include "tests/camera_usb/usb_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using usbtest::configure;
using usbtest::usbOnly;

// A device put between the driver and the bus that keeps every selection of
// a configuration to itself, with no cancel routine (a bus that neither
// answers nor lets go), until the test releases it; everything else goes on
// to the bus.
class SelectionHolder {
  public:
    explicit SelectionHolder(DeviceContext* device) : device_(device) {
        lower_ = device->lowerDevice;
        EXPECT_EQ(kio::loadDriver("SelectionHolder", entry, &driver_), STATUS_SUCCESS);
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(SelectionHolder*), nullptr, FILE_DEVICE_UNKNOWN,
                                 0, FALSE, &filter_),
                  STATUS_SUCCESS);
        *static_cast<SelectionHolder**>(filter_->DeviceExtension) = this;
        filter_->StackSize = static_cast<CCHAR>(lower_->StackSize + 1);
        device->lowerDevice = filter_;
    }
    ~SelectionHolder() {
        release();
        device_->lowerDevice = lower_;
        IoDeleteDevice(filter_);
        kio::unloadDriver(driver_);
    }
    std::size_t held() {
        std::lock_guard<std::mutex> g(lock_);
        return held_.size();
    }
    // The bus lets go at last: it writes the selection's outcome into the URB
    // (which must still be there) and completes the request.
    void release() {
        std::vector<PIRP> held;
        {
            std::lock_guard<std::mutex> g(lock_);
            held.swap(held_);
        }
        for (PIRP irp : held) {
            auto* urb = static_cast<PURB>(
                IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
            urb->UrbSelectConfiguration.Interface.NumberOfPipes = 0;
            irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
    }

  private:
    static NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
        return STATUS_SUCCESS;
    }
    static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
        auto* self = *static_cast<SelectionHolder**>(device->DeviceExtension);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
        if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && urb &&
            urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
            urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr) {
            IoMarkIrpPending(irp);
            std::lock_guard<std::mutex> g(self->lock_);
            self->held_.push_back(irp);
            return STATUS_PENDING;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(self->lower_, irp);
    }

    DeviceContext* device_;
    PDEVICE_OBJECT lower_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    std::mutex lock_;
    std::vector<PIRP> held_;
};

std::uint64_t controlTransfers(pavtest::CameraHarness& h) {
    return h.camera().counters().controlTransfers;
}

TEST(Configuration, DescriptorIsReadInTwoStepsAndTheCameraInterfaceFound) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    std::uint64_t before = controlTransfers(h);
    ASSERT_EQ(USBIF_Initialise(device), STATUS_SUCCESS);
    EXPECT_EQ(controlTransfers(h) - before, 2u) << "header, then the whole descriptor";
    std::vector<std::uint8_t> real = sim::configurationDescriptor(0, 0, {});
    ASSERT_NE(device->usbif.config, nullptr);
    EXPECT_EQ(device->usbif.config->wTotalLength, real.size());
    EXPECT_EQ(0, std::memcmp(device->usbif.config, real.data(), real.size()));
    EXPECT_EQ(device->usbif.interfaceNumber, 0);
}

TEST(Configuration, DescriptorOfNineBytesIsUsedWithoutASecondRead) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    int real = static_cast<int>(sim::configurationDescriptor(0, 0, {}).size());
    h.camera().changeFaults([&](sim::Faults& f) { f.descriptor.totalLengthDelta = 9 - real; });
    DeviceContext* device = h.device();
    std::uint64_t before = controlTransfers(h);
    // Nine bytes hold no interface: there is no camera interface to find.
    EXPECT_EQ(USBIF_Initialise(device), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(controlTransfers(h) - before, 1u);
    ASSERT_NE(device->usbif.config, nullptr);
    EXPECT_EQ(device->usbif.config->wTotalLength, 9);
    EXPECT_EQ(device->usbif.interfaceNumber, -1);
    LONG selected = 7;
    EXPECT_FALSE(NT_SUCCESS(USBIF_SetCameraAlternate(device, 0, 7, &selected)));
    EXPECT_EQ(selected, -1);
    EXPECT_EQ(h.camera().configuration(), 0) << "nothing was selected";
}

TEST(Configuration, CameraInterfaceIsTheFirstOfZeroToThree) {
    sim::Scenario scenario = sim::defaultScenario();
    scenario.interfaceNumber = 2;
    scenario.precedingInterfaces = 1;  // numbered 4: outside the range looked at
    pavtest::CameraHarness h(usbOnly(scenario));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    LONG selected = -1;
    ASSERT_EQ(configure(h.device(), 2, &selected), STATUS_SUCCESS);
    EXPECT_EQ(h.device()->usbif.interfaceNumber, 2);
    EXPECT_EQ(selected, 2);
    EXPECT_EQ(h.camera().alternateSetting(), 2);
}

TEST(Configuration, WantedSettingFallsBackToWhatTheBusGrants) {
    sim::Scenario scenario = sim::defaultScenario();
    scenario.maxAlternate = 3;
    pavtest::CameraHarness h(usbOnly(scenario));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    LONG selected = -1;
    EXPECT_EQ(configure(device, 5, &selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 3);
    EXPECT_EQ(device->usbif.currentAlternate, 3);
    EXPECT_EQ(h.camera().alternateSetting(), 3);
    // The pipes are those of setting 3: the isochronous one at 384 bytes.
    USBD_PIPE_INFORMATION pipe{};
    ASSERT_TRUE(USBIF_GetPipeInfo(device, 0x81, &pipe));
    EXPECT_EQ(pipe.MaximumPacketSize, 384);
    EXPECT_EQ(pipe.MaximumTransferSize, kUsbifMaxTransferSize);
}

TEST(Configuration, BusGrantingNoBandwidthLeavesSettingZeroAndReportsADeviceError) {
    sim::Scenario scenario = sim::defaultScenario();
    scenario.maxAlternate = 0;
    pavtest::CameraHarness h(usbOnly(scenario));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    LONG selected = -1;
    EXPECT_EQ(configure(device, 7, &selected), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(selected, 0);
    EXPECT_EQ(device->usbif.currentAlternate, 0);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_EQ(h.camera().configuration(), 1) << "setting 0 is selected all the same";
}

TEST(Configuration, SettingZeroIsASuccessAndAMissingSettingIsSkipped) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    LONG selected = -1;
    EXPECT_EQ(configure(device, 0, &selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 0);
    // A descriptor without setting 6: wanting 6 lands on 5.
    h.camera().changeFaults([](sim::Faults& f) { f.descriptor.missingAlternate = 6; });
    ASSERT_EQ(USBIF_Initialise(device), STATUS_SUCCESS);
    EXPECT_EQ(USBIF_SetCameraAlternate(device, 0, 6, &selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 5);
    EXPECT_EQ(h.camera().alternateSetting(), 5);
}

TEST(Configuration, EndpointMissingFromTheSettingHasNoPipe) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    ASSERT_EQ(configure(device, 1), STATUS_SUCCESS);  // bulk video: no isochronous endpoint
    USBD_PIPE_INFORMATION pipe{};
    EXPECT_FALSE(USBIF_GetPipeInfo(device, 0x81, &pipe));
    EXPECT_EQ(USBIF_PipeRequest(device, URB_FUNCTION_ABORT_PIPE, 0x81),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(USBIF_PipeRequest(device, URB_FUNCTION_RESET_PIPE, 0x81),
              STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_TRUE(USBIF_GetPipeInfo(device, 0x82, &pipe));
    EXPECT_EQ(pipe.MaximumPacketSize, 64);
    EXPECT_EQ(USBIF_PipeRequest(device, URB_FUNCTION_RESET_PIPE, 0x82), STATUS_SUCCESS);
    // A reset clears a halted endpoint.
    h.camera().stallEndpoint(0x82);
    ASSERT_TRUE(h.camera().halted(0x82));
    EXPECT_EQ(USBIF_PipeRequest(device, URB_FUNCTION_RESET_PIPE, 0x82), STATUS_SUCCESS);
    EXPECT_FALSE(h.camera().halted(0x82));
}

TEST(Configuration, TerminationUnconfiguresAndFreesTheCopies) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    ASSERT_EQ(configure(device, 7), STATUS_SUCCESS);
    EXPECT_GT(usbtest::liveBytes("usbi"), 0);
    USBIF_Terminate(device);
    EXPECT_EQ(h.camera().configuration(), 0);
    EXPECT_EQ(device->usbif.config, nullptr);
    EXPECT_EQ(device->usbif.info, nullptr);
    EXPECT_EQ(usbtest::liveBytes("usbi"), 0);
    USBD_PIPE_INFORMATION pipe{};
    EXPECT_FALSE(USBIF_GetPipeInfo(device, 0x82, &pipe));
    LONG selected = 0;
    EXPECT_EQ(USBIF_SetCameraAlternate(device, 0, 1, &selected), STATUS_UNSUCCESSFUL)
        << "no descriptor copy";
}

// A selection the bus never answers times out. The URB and the interface
// block inside it are the bus's from then on: nothing is read from it, it is
// freed once (when the bus finally lets go), and no pipe of the setting
// before is handed out, since the device may be at another one by now.
TEST(Configuration, SelectionTheBusNeverAnswersFailsAndLeavesItsUrbToTheBus) {
    pavtest::CameraHarness h(usbOnly(sim::defaultScenario(), 100));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    ASSERT_EQ(configure(device, 3), STATUS_SUCCESS);
    USBD_PIPE_INFORMATION pipe{};
    ASSERT_TRUE(USBIF_GetPipeInfo(device, 0x81, &pipe));
    // The descriptor copy and the pipes of setting 3.
    ASSERT_EQ(usbtest::liveAllocations("usbi"), 2);
    {
        SelectionHolder holder(device);
        LONG selected = 5;
        NTSTATUS status = USBIF_SetCameraAlternate(device, 0, 7, &selected);
        EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
        EXPECT_EQ(status, STATUS_IO_TIMEOUT);
        EXPECT_EQ(selected, -1);
        EXPECT_EQ(holder.held(), 1u) << "a lower setting would wait as long again";
        EXPECT_FALSE(USBIF_GetPipeInfo(device, 0x81, &pipe));
        // The descriptor copy and the submission record; the URB (built by
        // USBD) is still out too.
        EXPECT_EQ(usbtest::liveAllocations("usbi"), 2);
        EXPECT_EQ(usbtest::liveAllocations("USBD"), 1);
        holder.release();
    }
    // Freed by the layer when the bus let go, and only then.
    EXPECT_TRUE(pavtest::waitFor([&] {
        return usbtest::liveAllocations("usbi") == 1 && usbtest::liveAllocations("USBD") == 0;
    }));
    LONG selected = -1;
    EXPECT_EQ(USBIF_SetCameraAlternate(device, 0, 7, &selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 7);
    EXPECT_TRUE(USBIF_GetPipeInfo(device, 0x81, &pipe));
}

}  // namespace
