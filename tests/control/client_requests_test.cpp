// What a client's request may name and what it gets back: event handles are
// looked up among the client's own (also for a request the gate held and let
// through later), a channel's watches are bounded, and the device identifier
// codes answer from the identifiers read at start.
#include <gtest/gtest.h>

#include <future>

#include "tests/channels/channel_fixture.h"
#include "tests/control/driver_fixture.h"

namespace pavtest {
namespace {

using namespace pav512;

class ClientRequests : public DriverChannelTest {
  protected:
    BOOL send(ULONG code, std::vector<std::uint8_t>& buffer) {
        DWORD returned = 0;
        return call(channel_, code, buffer, &returned);
    }
    // Sends on another thread: a request the gate holds does not return.
    std::future<BOOL> sendHeld(ULONG code, std::vector<std::uint8_t>& buffer) {
        return std::async(std::launch::async, [this, code, &buffer] { return send(code, buffer); });
    }
    // The requests held since a query are let through by a refused one.
    void releaseHeld() {
        DeviceContext* device = driver_->device();
        InterlockedIncrement(&device->openSessions);
        EXPECT_EQ(driver_->pnp.queryRemove(driver_->pdo), STATUS_UNSUCCESSFUL);
        InterlockedDecrement(&device->openSessions);
    }
};

TEST_P(ClientRequests, HeldNotificationRequestsResolveTheClientsHandles) {
    DeviceContext* device = driver_->device();
    HANDLE removal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(driver_->pnp.queryRemove(driver_->pdo), STATUS_SUCCESS);
    auto set = eventRequest(kEventSetCamera, kEventCameraRemoved, removal);
    auto setSent = sendHeld(IOCTL_VPI_NOTIFICATION_SET, set);
    ASSERT_TRUE(waitFor([&] { return device->heldQueue.count() == 1; }));
    releaseHeld();
    ASSERT_TRUE(setSent.get());
    EXPECT_EQ(set[0], kModuleStatusSuccess);
    ASSERT_EQ(device->watches.count(), 1u) << "the held registration was dropped";
    device->watches.signal(kEventSetCamera, kEventCameraRemoved);
    EXPECT_EQ(WaitForSingleObject(removal, 5000), WAIT_OBJECT_0);

    ASSERT_EQ(driver_->pnp.queryRemove(driver_->pdo), STATUS_SUCCESS);
    auto clear = eventRequest(kEventSetCamera, kEventCameraRemoved, removal);
    auto clearSent = sendHeld(IOCTL_VPI_NOTIFICATION_CLEAR, clear);
    ASSERT_TRUE(waitFor([&] { return device->heldQueue.count() == 1; }));
    releaseHeld();
    ASSERT_TRUE(clearSent.get());
    EXPECT_EQ(clear[0], kModuleStatusSuccess);
    EXPECT_EQ(device->watches.count(), 0u) << "the held clear removed nothing";
    CloseHandle(removal);
}

TEST_P(ClientRequests, AKernelHandleValueNeverNamesTheDriversOwnEvent) {
    // An event of the driver's side with a kernel handle: a client that sends
    // the value must not get a watch on it.
    auto* event = kobj::create<KEVENT>(*ExEventObjectType);
    KeInitializeEvent(event, NotificationEvent, FALSE);
    HANDLE kernel = kobj::insertHandle(event);
    ASSERT_TRUE(kobj::isKernelHandle(kernel));
    auto b = eventRequest(kEventSetCamera, kEventCameraRemoved, nullptr);
    putU32(b, offsetof(PropertyHeader, dataLengthOrEvent),
           static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(kernel)));
    ASSERT_TRUE(send(IOCTL_VPI_NOTIFICATION_SET, b));
    EXPECT_EQ(b[0], kModuleStatusSuccess);
    EXPECT_EQ(driver_->device()->watches.count(), 0u);
    driver_->device()->watches.signal(kEventSetCamera, kEventCameraRemoved);
    EXPECT_EQ(KeReadStateEvent(event), 0);
    ZwClose(kernel);
    ObfDereferenceObject(event);
}

TEST_P(ClientRequests, IdentifierCodesAnswerTheIdentifiersReadAtStart) {
    auto vpi = requestBuffer(sizeof(PropertyHeader));
    ASSERT_TRUE(send(IOCTL_VPI_DEVICE_ID, vpi));
    EXPECT_EQ(vpi[0], kModuleStatusSuccess);
    EXPECT_EQ(u32At(vpi, offsetof(PropertyDeviceId, vendorId)), 0xF1A5u);
    EXPECT_EQ(u32At(vpi, offsetof(PropertyDeviceId, productId)), 0x0B2Du);

    auto stream = requestBuffer(sizeof(StreamHeader));
    ASSERT_TRUE(send(IOCTL_STREAM_DEVICE_ID, stream));
    EXPECT_EQ(stream[0], kModuleStatusSuccess);
    EXPECT_EQ(u32At(stream, offsetof(StreamDeviceId, vendorId)), 0xF1A5u);
    EXPECT_EQ(u32At(stream, offsetof(StreamDeviceId, productId)), 0x0B2Du);

    // A device whose descriptor could not be read at start has none to give.
    driver_->device()->usbif.idsValid = false;
    auto none = requestBuffer(sizeof(StreamHeader));
    ASSERT_TRUE(send(IOCTL_STREAM_DEVICE_ID, none));
    EXPECT_EQ(none[0], kModuleStatusFailed);
    none = requestBuffer(sizeof(PropertyHeader));
    ASSERT_TRUE(send(IOCTL_VPI_DEVICE_ID, none));
    EXPECT_EQ(none[0], kModuleStatusFailed);
    driver_->device()->usbif.idsValid = true;
}

TEST_P(ClientRequests, AChannelsWatchesAreBoundedAndOtherChannelsKeepTheirs) {
    DeviceContext* device = driver_->device();
    const ULONG limit = WatchList::kMaxWatchesPerOwner;
    std::vector<HANDLE> events;
    for (ULONG i = 0; i < limit + 10; ++i) {
        events.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        auto b = eventRequest(kEventSetCamera, kEventVideoStalled, events.back());
        ASSERT_TRUE(send(IOCTL_VPI_NOTIFICATION_SET, b));
        EXPECT_EQ(b[0], kModuleStatusSuccess) << "the answer does not tell";
    }
    EXPECT_EQ(device->watches.count(), limit);

    HANDLE other = openChannel(listInterfaces()[0]);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    HANDLE mine = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto b = eventRequest(kEventSetCamera, kEventVideoStalled, mine);
    DWORD returned = 0;
    ASSERT_TRUE(call(other, IOCTL_VPI_NOTIFICATION_SET, b, &returned));
    EXPECT_EQ(device->watches.count(), limit + 1);
    device->watches.signal(kEventSetCamera, kEventVideoStalled);
    EXPECT_EQ(WaitForSingleObject(mine, 5000), WAIT_OBJECT_0);

    CloseHandle(other);
    CloseHandle(channel_);
    channel_ = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(waitFor([&] { return device->watches.count() == 0; }));
    CloseHandle(mine);
    for (HANDLE e : events) CloseHandle(e);
}

INSTANTIATE_TEST_SUITE_P(BothTransports, ClientRequests,
                         ::testing::Values(Transport::InProcess, Transport::Socket), transportName);

}  // namespace
}  // namespace pavtest
