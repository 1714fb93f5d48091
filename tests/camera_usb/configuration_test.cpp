// Reading the configuration, finding the camera interface, selecting
// alternate settings with their fall-back, and the pipes of a setting.
#include <gtest/gtest.h>

#include "driver/core/device_context.h"
#include "sim/descriptors.h"
#include "sim/sim_camera.h"
#include "tests/camera_usb/usb_test_util.h"

namespace {

using usbtest::configure;
using usbtest::usbOnly;

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

}  // namespace
