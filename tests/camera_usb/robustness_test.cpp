// What the camera sends is never trusted: malformed descriptors, short and
// empty reads, and a camera that goes away in the middle of streaming.
#include <gtest/gtest.h>

#include "driver/core/device_context.h"
#include "platform/usb/bus.h"
#include "sim/descriptors.h"
#include "sim/sim_camera.h"
#include "tests/camera_usb/usb_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using pavtest::waitFor;
using usbtest::configure;
using usbtest::Recorder;
using usbtest::usbOnly;

struct DescriptorCase {
    const char* name;
    sim::DescriptorFaults faults;
};

std::vector<DescriptorCase> descriptorCases() {
    std::vector<DescriptorCase> cases;
    auto add = [&](const char* name, auto change) {
        sim::DescriptorFaults f;
        change(f);
        cases.push_back({name, f});
    };
    add("no isochronous endpoint", [](sim::DescriptorFaults& f) { f.noIsoEndpoint = true; });
    add("packet size 0", [](sim::DescriptorFaults& f) { f.zeroPacketSize = true; });
    add("packet size 1500", [](sim::DescriptorFaults& f) { f.oversizedPacketSize = true; });
    add("setting 7 missing", [](sim::DescriptorFaults& f) { f.missingAlternate = 7; });
    add("total length 50 too long", [](sim::DescriptorFaults& f) { f.totalLengthDelta = 50; });
    add("total length cut into setting 7",
        [](sim::DescriptorFaults& f) { f.totalLengthDelta = -10; });
    add("total length cut to the first interface", [](sim::DescriptorFaults& f) {
        f.totalLengthDelta =
            9 + 4 - static_cast<int>(sim::configurationDescriptor(0, 0, {}).size());
    });
    add("total length below the header", [](sim::DescriptorFaults& f) {
        f.totalLengthDelta = 5 - static_cast<int>(sim::configurationDescriptor(0, 0, {}).size());
    });
    return cases;
}

// Whatever a malformed descriptor made of the configuration, an isochronous
// stream either runs on a pipe the bus really opened, with a packet size the
// camera can send, or does not start at all.
void expectNoStreamOnAMissingPipe(pavtest::CameraHarness& h, DeviceContext* device) {
    UsbStream* s = nullptr;
    ASSERT_EQ(USBSTRM_Create(device, 0, 0x81, 8, 8, "iso", &s), STATUS_SUCCESS);
    NTSTATUS started = USBSTRM_Start(s, 0, Recorder::data, nullptr, nullptr);
    USBD_PIPE_INFORMATION pipe{};
    bool hasPipe = USBIF_GetPipeInfo(device, 0x81, &pipe);
    if (NT_SUCCESS(started)) {
        ASSERT_TRUE(hasPipe);
        EXPECT_GT(pipe.MaximumPacketSize, 0);
        EXPECT_LE(pipe.MaximumPacketSize, 1023);
        EXPECT_TRUE(waitFor([&] { return h.camera().counters().isoPackets > 0; }));
    } else {
        EXPECT_EQ(started, STATUS_IO_DEVICE_ERROR);
        EXPECT_TRUE(!hasPipe || pipe.MaximumPacketSize == 0);
        EXPECT_EQ(ReadAcquire(&s->active), 0);
    }
    USBSTRM_Destroy(&s);
    EXPECT_EQ(h.camera().pendingTransfers(), 0u);
}

TEST(MalformedDescriptors, EachIsRefusedOrCorrectedWhenTheDriverReadsIt) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    for (const DescriptorCase& c : descriptorCases()) {
        SCOPED_TRACE(c.name);
        h.camera().changeFaults([&](sim::Faults& f) { f.descriptor = c.faults; });
        NTSTATUS read = USBIF_Initialise(device);
        if (NT_SUCCESS(read)) {
            ASSERT_NE(device->usbif.config, nullptr);
            // The copy never claims more than was read.
            EXPECT_LE(device->usbif.config->wTotalLength,
                      sim::configurationDescriptor(0, 0, c.faults).size());
        }
        LONG selected = -1;
        NTSTATUS set = USBIF_SetCameraAlternate(device, 0, 7, &selected);
        if (NT_SUCCESS(set)) {
            EXPECT_GE(selected, 0);
            EXPECT_LE(selected, 7);
            EXPECT_EQ(h.camera().alternateSetting(), selected);
        }
        expectNoStreamOnAMissingPipe(h, device);
        USBIF_Terminate(device);
        EXPECT_EQ(usbtest::liveBytes("usbi"), 0);
    }
}

TEST(MalformedDescriptors, CameraEnumeratedWithThemNeverGetsAStreamOnAMissingPipe) {
    for (const DescriptorCase& c : descriptorCases()) {
        if (c.faults.totalLengthDelta != 0 || c.faults.missingAlternate >= 0) continue;
        SCOPED_TRACE(c.name);
        sim::Scenario scenario = sim::defaultScenario();
        scenario.faults.descriptor = c.faults;
        pavtest::CameraHarness h(usbOnly(scenario));
        if (!h.started()) continue;  // the bus refused the camera: nothing to trust
        DeviceContext* device = h.device();
        configure(device, 7);
        expectNoStreamOnAMissingPipe(h, device);
    }
}

TEST(ShortReads, DescriptorsThatComeBackShortOrEmptyAreRefused) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    for (int limit : {0, 5, 8}) {
        SCOPED_TRACE(limit);
        h.camera().changeFaults([&](sim::Faults& f) { f.shortControlReads = {{6, limit}}; });
        EXPECT_EQ(USBIF_Initialise(device), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(device->usbif.config, nullptr);
        EXPECT_EQ(device->usbif.interfaceNumber, -1);
        USHORT vendor = 0x1111, product = 0x2222;
        EXPECT_EQ(USBIF_GetDeviceIds(device, &vendor, &product), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(vendor, 0x1111) << "nothing handed out";
        EXPECT_EQ(product, 0x2222);
    }
    // The header comes whole but the rest is cut: only what came is walked.
    h.camera().changeFaults([](sim::Faults& f) { f.shortControlReads = {{6, 20}}; });
    EXPECT_EQ(USBIF_Initialise(device), STATUS_SUCCESS);
    ASSERT_NE(device->usbif.config, nullptr);
    EXPECT_EQ(device->usbif.config->wTotalLength, 20);
    LONG selected = -1;
    EXPECT_EQ(USBIF_SetCameraAlternate(device, 0, 7, &selected), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(selected, 0) << "only setting 0 lies within the 20 bytes";
}

class Removal : public ::testing::Test {
  protected:
    void SetUp() override {
        Recorder::get().clear();
        ASSERT_TRUE(h.started()) << h.arrivalText();
        device = h.device();
        ASSERT_EQ(configure(device, 7), STATUS_SUCCESS);
        ASSERT_EQ(usbtest::runSensor(device, 640, 480), STATUS_SUCCESS);
        // The four pipes of the camera, as the camera object runs them.
        ASSERT_EQ(USBSTRM_Create(device, 0, 0x82, 1, 64, "bulk in", &bulkIn), STATUS_SUCCESS);
        ASSERT_EQ(USBSTRM_Create(device, 0, 0x05, 8, 64, "bulk out", &bulkOut), STATUS_SUCCESS);
        ASSERT_EQ(USBSTRM_Create(device, 0, 0x81, 8, 8, "iso", &iso), STATUS_SUCCESS);
        ASSERT_EQ(USBSTRM_Create(device, 0, 0x83, 2, 1, "interrupt", &interrupt), STATUS_SUCCESS);
        ASSERT_EQ(USBSTRM_Start(iso, 0, Recorder::data, nullptr, Recorder::reset), STATUS_SUCCESS);
        ASSERT_EQ(USBSTRM_Start(bulkIn, 0, Recorder::data, nullptr, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(USBSTRM_Start(interrupt, 0, Recorder::data, nullptr, nullptr), STATUS_SUCCESS);
        Recorder::get().setSupply(1 << 20);
        ASSERT_EQ(USBSTRM_Start(bulkOut, 1 << 20, Recorder::data, Recorder::fill, nullptr),
                  STATUS_SUCCESS);
        ASSERT_TRUE(waitFor([&] { return Recorder::get().dataBytes() > 20000; }))
            << "nothing streamed";
    }
    void expectGone() {
        ASSERT_TRUE(waitFor([&] {
            h.settle();
            return h.pnp().devices().empty();
        }));
        EXPECT_EQ(usbtest::liveBytes("usbs"), 0);
        EXPECT_EQ(usbtest::liveBytes("usbi"), 0);
    }

    pavtest::CameraHarness h{usbOnly()};
    DeviceContext* device = nullptr;
    UsbStream* bulkIn = nullptr;
    UsbStream* bulkOut = nullptr;
    UsbStream* iso = nullptr;
    UsbStream* interrupt = nullptr;
};

TEST_F(Removal, UnpluggedWhileAllPipesStream) {
    h.unplug();
    expectGone();
}

TEST_F(Removal, UnpluggedWhileTheIsochronousStreamRecovers) {
    h.camera().changeFaults([](sim::Faults& f) { f.isoFailedPackets = 1 << 30; });
    ASSERT_TRUE(waitFor([&] { return !Recorder::get().resetPhases().empty(); }));
    h.unplug();
    expectGone();
}

TEST_F(Removal, CameraLeavesInTheMiddleOfATransfer) {
    h.camera().changeFaults([](sim::Faults& f) { f.removeDuringTransfer = 3; });
    expectGone();
}

}  // namespace
