// The harness brings the real driver up over the simulated camera, and the
// start sequence's query leaves the device identifiers in the device record.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "driver/core/device_context.h"
#include "sim/descriptors.h"
#include "sim/sim_camera.h"
#include "tests/support/camera_harness.h"

namespace {

TEST(CameraHarness, StartedDeviceKeepsTheIdentifiersOfItsDeviceDescriptor) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->usbif.idsValid);
    EXPECT_EQ(device->usbif.vendorId, sim::kVendorId);
    EXPECT_EQ(device->usbif.productId, sim::kProductId);
    EXPECT_TRUE(h.camera().present());
}

TEST(CameraHarness, ShortDeviceDescriptorLeavesNoIdentifiers) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    // From now on descriptor reads come back with 9 of their 18 bytes: the
    // product identifier at offset 10 never arrives.
    h.camera().changeFaults([](sim::Faults& f) { f.shortControlReads.push_back({6, 9}); });
    EXPECT_EQ(USBIF_StartupQuery(device), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(device->usbif.idsValid);
    EXPECT_EQ(device->usbif.vendorId, 0);
    EXPECT_EQ(device->usbif.productId, 0);
}

TEST(CameraHarness, RefusesAScenarioWhoseContentCannotBeBuilt) {
    sim::Scenario s = sim::defaultScenario();
    s.timing.bootDelayMs = 0;
    sim::PlacedObject twice;
    twice.recipe.kind = sim::ObjectKind::Sound;
    twice.recipe.soundBytes = 100;
    twice.recipe.number = 1;  // the default content's first picture has it
    s.objects.push_back(twice);
    std::unique_ptr<pavtest::CameraHarness> h;
    EXPECT_NONFATAL_FAILURE(h = std::make_unique<pavtest::CameraHarness>(s),
                            "objects[0] (memory 0, number 1): number: 1 is already in use");
    EXPECT_FALSE(h->plug());
    EXPECT_FALSE(h->started());
    EXPECT_NE(h->arrivalText().find("objects[0]"), std::string::npos) << h->arrivalText();
}

}  // namespace
