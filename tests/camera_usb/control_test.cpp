// Vendor requests on the default pipe, synchronous submissions with their
// time-outs, and the port requests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "driver/core/device_context.h"
#include "platform/kernel/clock.h"
#include "platform/usb/bus.h"
#include "sim/descriptors.h"
#include "sim/sim_camera.h"
#include "tests/camera_usb/usb_test_util.h"
#include "tests/support/kernel_test.h"
#include "tests/support/unanswering_camera.h"

namespace {

using pavtest::waitFor;
using usbtest::configure;
using usbtest::usbOnly;

constexpr UCHAR kInformationRequest = 0x84;
constexpr UCHAR kUnknownRequest = 0x7F;  // the camera stalls it

TEST(VendorRequests, ReadReturnsWhatTheCameraSentAndZeroesBehindAShortAnswer) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    auto expected = h.camera().informationBlock();
    UCHAR buffer[22];
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG length = sizeof buffer;
    ASSERT_EQ(USBIF_VendorRequest(device, true, kInformationRequest, 0, buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 22u);
    EXPECT_EQ(0, std::memcmp(buffer, expected.data(), sizeof buffer));

    h.camera().changeFaults([](sim::Faults& f) {
        f.shortControlReads.push_back({kInformationRequest, 10});
    });
    std::memset(buffer, 0xEE, sizeof buffer);
    length = sizeof buffer;
    ASSERT_EQ(USBIF_VendorRequest(device, true, kInformationRequest, 0, buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(0, std::memcmp(buffer, expected.data(), 10));
    for (size_t i = 10; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 0) << "byte " << i;

    h.camera().changeFaults([](sim::Faults& f) { f.shortControlReads = {{-1, 0}}; });
    std::memset(buffer, 0xEE, sizeof buffer);
    length = sizeof buffer;
    ASSERT_EQ(USBIF_VendorRequest(device, true, kInformationRequest, 0, buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 0u);
    for (size_t i = 0; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 0) << "byte " << i;
}

TEST(VendorRequests, StalledRequestReportsTheUsbdStatusOfItsUrb) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    UCHAR buffer[4] = {1, 2, 3, 4};
    ULONG length = sizeof buffer;
    NTSTATUS status = USBIF_VendorRequest(h.device(), true, kUnknownRequest, 0, buffer, &length);
    EXPECT_EQ(status, static_cast<NTSTATUS>(USBD_STATUS_STALL_PID));
    EXPECT_NE(status, UsbdStatusToNtStatus(USBD_STATUS_STALL_PID))
        << "the request's own status came back";
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], 1) << "a failed read hands back nothing";
    // An out request the camera refuses the same way.
    length = sizeof buffer;
    EXPECT_EQ(USBIF_VendorRequest(h.device(), false, kUnknownRequest, 0, buffer, &length),
              static_cast<NTSTATUS>(USBD_STATUS_STALL_PID));
}

TEST(VendorRequests, WriteReachesTheCameraRegisters) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    UCHAR values[2] = {0x12, 0x34};
    ULONG length = sizeof values;
    // Registers 0x30 and 0x31 of the video processor (space 2).
    ASSERT_EQ(USBIF_VendorRequest(h.device(), false, 0x01, (0x30 << 8) | 2, values, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(h.camera().registerValue(2, 0x30), 0x12);
    EXPECT_EQ(h.camera().registerValue(2, 0x31), 0x34);
}

// A camera that takes vendor requests and never answers them, on a bus that
// does not let go of them when asked: the submission times out. STATUS_TIMEOUT
// passes NT_SUCCESS, so what the caller gets must be a failure by any test.
TEST(VendorRequests, RequestsTheCameraNeverAnswersFailAndMoveNothing) {
    std::shared_ptr<pavtest::UnansweringCamera> front;
    pavtest::CameraHarness h(
        pavtest::withUnansweringCamera(usbOnly(sim::defaultScenario(), 100), &front));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    LONGLONG usbiBefore = usbtest::liveBytes("usbi");

    UCHAR buffer[22];
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG length = sizeof buffer;
    NTSTATUS read = USBIF_VendorRequest(device, true, kInformationRequest, 0, buffer, &length);
    EXPECT_FALSE(NT_SUCCESS(read)) << std::hex << read;
    EXPECT_EQ(read, STATUS_IO_TIMEOUT);
    EXPECT_EQ(length, 0u) << "nothing came";
    for (size_t i = 0; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 0xEE) << "byte " << i;

    UCHAR values[2] = {0x12, 0x34};
    length = sizeof values;
    NTSTATUS write = USBIF_VendorRequest(device, false, 0x01, (0x30 << 8) | 2, values, &length);
    EXPECT_FALSE(NT_SUCCESS(write)) << std::hex << write;
    EXPECT_EQ(write, STATUS_IO_TIMEOUT);
    EXPECT_EQ(length, 0u) << "a write that was never answered is not reported as done";
    EXPECT_NE(h.camera().registerValue(2, 0x30), 0x12);

    // Both went to the camera, and the layer asked the bus to let go of each.
    EXPECT_EQ(front->taken(), 2);
    EXPECT_GE(front->cancelsIgnored(), 2);
    // Their URBs stay with the bus until it lets go: when the camera leaves.
    EXPECT_GT(usbtest::liveBytes("usbi"), usbiBefore);
    h.camera().unplug();
    ASSERT_TRUE(waitFor([&] {
        h.settle();
        return h.pnp().devices().empty();
    }));
    EXPECT_EQ(front->held(), 0);
    EXPECT_EQ(usbtest::liveBytes("usbi"), 0);
}

struct AsyncResult {
    std::atomic<int> calls{0};
    std::atomic<NTSTATUS> status{0};
    std::atomic<USBD_STATUS> usbd{0};
    std::atomic<ULONG> transferred{0};
};

void asyncDone(DeviceContext*, NTSTATUS status, USBD_STATUS usbd, ULONG transferred,
               PVOID context) {
    auto* r = static_cast<AsyncResult*>(context);
    r->status = status;
    r->usbd = usbd;
    r->transferred = transferred;
    r->calls.fetch_add(1);
}

TEST(VendorRequests, AsynchronousRequestCompletesOnceAndCanBeCancelledFromItsSlot) {
    sim::Scenario scenario = sim::defaultScenario();
    scenario.timing.controlLatencyFrames = 50;  // time enough to cancel one in flight
    pavtest::CameraHarness h(usbOnly(scenario));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    UCHAR buffer[22] = {};
    ULONG length = sizeof buffer;
    AsyncResult result;
    UsbVendorRequest* volatile slot = nullptr;
    ASSERT_EQ(USBIF_VendorRequest(device, true, kInformationRequest, 0, buffer, &length, asyncDone,
                                  &result, &slot),
              STATUS_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return result.calls == 1; }));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.transferred, 22u);
    EXPECT_EQ(slot, nullptr) << "the slot is cleared once it completed";
    auto expected = h.camera().informationBlock();
    EXPECT_EQ(0, std::memcmp(buffer, expected.data(), sizeof buffer));
    USBIF_CancelVendorRequest(&slot);  // nothing in it: nothing happens

    // Cancelled through its slot while the camera has not answered yet.
    AsyncResult second;
    length = sizeof buffer;
    ASSERT_EQ(USBIF_VendorRequest(device, true, kInformationRequest, 0, buffer, &length, asyncDone,
                                  &second, &slot),
              STATUS_SUCCESS);
    USBIF_CancelVendorRequest(&slot);
    ASSERT_TRUE(waitFor([&] { return second.calls == 1; }));
    EXPECT_EQ(second.status, STATUS_CANCELLED);
    EXPECT_EQ(second.usbd, USBD_STATUS_CANCELED);
    // The count goes down on the completing thread after the callback.
    EXPECT_TRUE(waitFor([&] { return ReadAcquire(&device->usbif.asyncOutstanding) == 0; }));
    kclock::sleepMs(20);
    EXPECT_EQ(second.calls, 1);
}

// A backend in front of the camera that ignores cancels of bulk transfers:
// the bus then holds a request the driver gave up on until the device goes.
class CancelDropping : public usbbus::ForwardingBackend {
  public:
    explicit CancelDropping(std::shared_ptr<sim::SimCamera> camera)
        : ForwardingBackend(std::move(camera)) {}
    void cancel(usbbus::Transfer* t) override {
        if (t->type == USB_ENDPOINT_TYPE_BULK) {
            dropped.fetch_add(1);
            return;
        }
        ForwardingBackend::cancel(t);
    }
    std::atomic<int> dropped{0};
};

// A bulk-in read of 64 bytes, built the way an owner of USBIF_SubmitUrb
// builds it: the URB from pool.
PURB bulkInUrb(DeviceContext* device, PVOID buffer) {
    USBD_PIPE_INFORMATION pipe{};
    if (!USBIF_GetPipeInfo(device, 0x82, &pipe)) return nullptr;
    auto* urb =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), PoolTag("test")));
    std::memset(urb, 0, sizeof(URB));
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe.PipeHandle, buffer, 64,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    return urb;
}

TEST(Submission, RequestTheBusHoldsIsCancelledAfterTenSeconds) {
    pavtest::CameraHarness h(usbOnly(sim::defaultScenario(), 100));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    ASSERT_EQ(configure(device, 1), STATUS_SUCCESS);
    UCHAR buffer[64];
    PURB urb = bulkInUrb(device, buffer);  // nothing is prepared: no answer comes
    ASSERT_NE(urb, nullptr);
    ULONGLONG start = kclock::milliseconds();
    EXPECT_EQ(USBIF_SubmitUrb(device, urb), STATUS_CANCELLED);
    ULONGLONG elapsed = kclock::milliseconds() - start;
    EXPECT_GE(elapsed, 10000u);
    EXPECT_LT(elapsed, 20000u);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
    ExFreePool(urb);
}

TEST(Submission, RequestTheBusNeverLetsGoTimesOutAndIsFreedWhenTheDeviceLeaves) {
    std::shared_ptr<CancelDropping> front;
    pavtest::CameraHarnessOptions o = usbOnly(sim::defaultScenario(), 100);
    o.wrapBackend = [&](std::shared_ptr<sim::SimCamera> camera) {
        front = std::make_shared<CancelDropping>(camera);
        return front;
    };
    // The buffer outlives the harness: the bus may write into it until the
    // camera has gone.
    std::vector<UCHAR> buffer(64);
    pavtest::CameraHarness h(o);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    ASSERT_EQ(configure(device, 1), STATUS_SUCCESS);
    PURB urb = bulkInUrb(device, buffer.data());
    ASSERT_NE(urb, nullptr);
    ULONGLONG start = kclock::milliseconds();
    EXPECT_EQ(USBIF_SubmitUrb(device, urb), STATUS_TIMEOUT);
    ULONGLONG elapsed = kclock::milliseconds() - start;
    EXPECT_GE(elapsed, 20000u);
    EXPECT_GE(front->dropped, 1) << "the layer asked the bus to let go";
    // The URB is the layer's now; it goes when the bus completes it, which
    // the removal makes it do. The harness then finds every tag at zero.
    EXPECT_GT(usbtest::liveBytes("usbi"), 0);
    EXPECT_EQ(usbtest::liveAllocations("test"), 1);
    h.camera().unplug();
    ASSERT_TRUE(waitFor([&] {
        h.settle();
        return h.pnp().devices().empty();
    }));
    EXPECT_EQ(usbtest::liveAllocations("test"), 0);
    EXPECT_EQ(usbtest::liveBytes("usbi"), 0);
}

struct AsyncUrb {
    std::atomic<int> calls{0};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    NTSTATUS answer = STATUS_SUCCESS;  // what the routine returns
    std::atomic<PIRP> irp{nullptr};
};

NTSTATUS urbDone(DeviceContext*, PIRP irp, PURB, PVOID context) {
    auto* a = static_cast<AsyncUrb*>(context);
    a->status = irp->IoStatus.Status;
    a->irp = irp;
    a->calls.fetch_add(1);
    return a->answer;
}

TEST(Submission, AsynchronousUrbRunsItsRoutineOnceAndTheRequestGoesWithIt) {
    pavtest::CameraHarness h(usbOnly());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    ASSERT_EQ(configure(device, 1), STATUS_SUCCESS);
    LONG irpsBefore = kio::liveIrps();
    UCHAR buffer[64];
    // The layer frees the request after a routine that does not keep it.
    PURB urb = bulkInUrb(device, buffer);
    AsyncUrb first;
    PIRP used = nullptr;
    EXPECT_EQ(USBIF_SubmitUrbAsync(device, urb, urbDone, &first, &used), STATUS_PENDING);
    EXPECT_NE(used, nullptr);
    ASSERT_EQ(USBIF_PipeRequest(device, URB_FUNCTION_ABORT_PIPE, 0x82), STATUS_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return first.calls == 1; }));
    EXPECT_EQ(first.status, STATUS_CANCELLED);
    EXPECT_EQ(kio::liveIrps(), irpsBefore);
    // A routine that keeps the request owns it afterwards.
    AsyncUrb second;
    second.answer = STATUS_MORE_PROCESSING_REQUIRED;
    EXPECT_EQ(USBIF_SubmitUrbAsync(device, urb, urbDone, &second, &used), STATUS_PENDING);
    ASSERT_EQ(USBIF_PipeRequest(device, URB_FUNCTION_ABORT_PIPE, 0x82), STATUS_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return second.calls == 1; }));
    EXPECT_EQ(kio::liveIrps(), irpsBefore + 1);
    IoFreeIrp(second.irp);
    EXPECT_EQ(kio::liveIrps(), irpsBefore);
    ExFreePool(urb);
}

// Counts the camera's returns to the bus after a port cycle (the bus asks it
// to come back once the old device is gone).
class CycleCounter : public usbbus::ForwardingBackend {
  public:
    using ForwardingBackend::ForwardingBackend;
    bool reenumerate() override {
        bool back = ForwardingBackend::reenumerate();
        if (back) returns.fetch_add(1);
        return back;
    }
    std::atomic<int> returns{0};
};

TEST(PortRequests, CyclePortMakesTheCameraComeBackAsANewDevice) {
    auto counter = std::make_shared<std::shared_ptr<CycleCounter>>();
    pavtest::CameraHarnessOptions options = usbOnly();
    options.wrapBackend = [counter](std::shared_ptr<sim::SimCamera> camera) {
        *counter = std::make_shared<CycleCounter>(std::move(camera));
        return std::shared_ptr<usbbus::DeviceBackend>(*counter);
    };
    pavtest::CameraHarness h(options);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    CycleCounter& bus = **counter;
    ASSERT_EQ(configure(h.device(), 0), STATUS_SUCCESS);
    EXPECT_EQ(USBIF_CyclePort(h.device()), STATUS_SUCCESS);
    // The new device objects may well lie where the old ones did: what shows
    // the new device is the camera's return and a start of its own.
    ASSERT_TRUE(waitFor([&] {
        h.settle();
        return bus.returns.load() == 1 && h.pdo() != nullptr && h.started();
    })) << h.arrivalText();
    EXPECT_EQ(h.device()->usbif.vendorId, sim::kVendorId)
        << "the new device went through its start";
    EXPECT_EQ(h.camera().configuration(), 0) << "the cycle unconfigured the camera";
    EXPECT_EQ(configure(h.device(), 0), STATUS_SUCCESS) << "the new device takes requests";
    EXPECT_NE(h.camera().configuration(), 0);
}

}  // namespace
