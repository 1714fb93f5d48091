// The request path: what is refused and how, the two forms of the caller's
// data, the hook the rest of the driver uses, and the life of the shared
// offsets and the value area.
#include <gtest/gtest.h>

#include "driver/core/device_context.h"
#include "platform/usb/bus.h"
#include "host/pnp_manager.h"
#include "sim/sim_camera.h"
#include "tests/properties/prop_test_util.h"
#include "tests/support/kernel_test.h"

using namespace proptest;

namespace {

const GUID& kPicture = pav512::kPropertySetPicture;
const GUID& kDevice = pav512::kPropertySetDevice;
const GUID kNotInTable = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

TEST(PropertyRequests, WhatTheTableDoesNotOfferIsRefused) {
    pavtest::CameraHarness h(options(scenarioFor("refusals")));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    Bytes data(16, 0);
    EXPECT_EQ(request(d, kNotInTable, 0, data, false), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(request(d, kPicture, 2, data, false), STATUS_NOT_IMPLEMENTED);
    // Read-only items take no value, whoever sends it.
    Bytes mask{0x55};
    EXPECT_EQ(request(d, kDevice, 8, mask, true), STATUS_NOT_SUPPORTED);
    Properties p(h);
    EXPECT_EQ(p.get(kDevice, 8, 1).data, Bytes{7});
    // On the channel, a refusal is module status 1 of a request that succeeded.
    Answer a = p.get(kNotInTable, 0, 4);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.moduleStatus, 1);
    EXPECT_EQ(p.set(kDevice, 8, Bytes{1}).moduleStatus, 1);
}

TEST(PropertyRequests, TheWakeEnableReadOfThePowerPathFails) {
    pavtest::CameraHarness h(options(scenarioFor("wake-enable")));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PropertyRequestHook read = h.device()->propertyRequest.load();
    ASSERT_NE(read, nullptr) << "the property manager connected no hook";
    UCHAR enabled = 0xAA;
    ULONG actual = 99;
    EXPECT_EQ(read(h.device(), &kDevice, 34, false, &enabled, 1, 1, &actual),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(enabled, 0xAA);
}

TEST(PropertyRequests, TheValueAloneOrAfterTheHeaderAndBit31OfTheIdentifier) {
    pavtest::CameraHarness h(options(scenarioFor("data-forms")));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    // The camera engine passes the size alone: 8 bytes, no header.
    ULONG size[2] = {176, 144};
    ULONG actual = 0;
    ASSERT_EQ(d->propertyRequest.load()(d, &kDevice, 7, true, size, 8, 8, &actual),
              STATUS_SUCCESS);
    EXPECT_EQ(actual, 8u);
    Properties p(h);
    EXPECT_EQ(p.get(kDevice, 7, 8).data, words({176, 144}));
    // Bit 31 of the identifier does not name another property.
    EXPECT_EQ(wordAt(p.get(kPicture, 0x80000000u, 16).data, 0), 50u);
    // A value shorter than the property is not read past its end.
    UCHAR shortValue[4] = {};
    EXPECT_EQ(PropMan_PropertyRequest(d, &kPicture, 0, shortValue, 4, 4, false, true),
              STATUS_BUFFER_TOO_SMALL);
}

TEST(PropertyRequests, TheOffsetsLiveWhileACameraUsesThem) {
    ASSERT_EQ(propManOffsetUsers(), 0u);
    pavtest::CameraHarness h(options(scenarioFor("offsets-1")));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* first = h.device();
    EXPECT_EQ(propManOffsetUsers(), 1u);

    // A second camera on the same bus, under the same driver.
    const sim::Scenario other = scenarioFor("offsets-2");
    PDEVICE_OBJECT pdo = h.bus().plug(sim::SimCamera::create(other), sim::instancePathFor(other));
    ASSERT_NE(pdo, nullptr);
    h.pnp().settle();
    PDEVICE_OBJECT fdo = h.pnp().functionDevice(pdo);
    ASSERT_NE(fdo, nullptr);
    DeviceContext* second = deviceContextOf(fdo);
    ASSERT_TRUE(second->running.load() && !second->stopped.load());
    EXPECT_EQ(propManOffsetUsers(), 2u);
    // Each camera keeps its own values.
    Bytes nine = words({9, 0, 0, 0});
    ASSERT_EQ(request(second, kPicture, 0, nine, true), STATUS_SUCCESS);
    Bytes value(16);
    ASSERT_EQ(request(first, kPicture, 0, value, false), STATUS_SUCCESS);
    EXPECT_EQ(wordAt(value, 0), 50u);

    h.bus().unplug(pdo);
    h.pnp().settle();
    EXPECT_TRUE(pavtest::waitFor([] { return propManOffsetUsers() == 1; }));
    ASSERT_EQ(request(first, kPicture, 0, value, false), STATUS_SUCCESS)
        << "the offsets went with the other camera";
    EXPECT_EQ(wordAt(value, 0), 50u);
    h.tearDown();
    EXPECT_EQ(propManOffsetUsers(), 0u);
}

}  // namespace
