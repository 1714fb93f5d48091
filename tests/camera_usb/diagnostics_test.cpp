// The camera engine's diagnostic requests end to end: a client's buffer
// through the gate and the dispatch switch to the USB layer and back.
#include "driver/camera/diagnostics.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "pav512/buffers.h"
#include "pav512/ioctl.h"
#include "sim/descriptors.h"
#include "sim/sim_camera.h"
#include "tests/camera_usb/usb_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using pavtest::waitFor;

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
using usbtest::configure;
using usbtest::usbOnly;

struct Reply {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<UCHAR> buffer;
    UCHAR moduleStatus() const { return buffer.empty() ? 0xFF : buffer[0]; }
    ULONG u32(size_t offset) const {
        ULONG v;
        std::memcpy(&v, buffer.data() + offset, sizeof v);
        return v;
    }
};

class Diagnostics : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(h.started()) << h.arrivalText();
        device = h.device();
        ASSERT_EQ(kio::openFile(h.fdo(), "\\PAV512Connect", &file), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (file) kio::closeFile(file);
    }
    // A diagnostic buffer: the header with p0..p2 and `data` bytes after it.
    static std::vector<UCHAR> request(ULONG p0, ULONG p1, ULONG p2, size_t data) {
        std::vector<UCHAR> b(pav512::kDiagnosticDataOffset + data, 0);
        b[0] = 0xFF;
        ULONG total = static_cast<ULONG>(b.size());
        std::memcpy(&b[4], &total, 4);
        std::memcpy(&b[8], &p0, 4);
        std::memcpy(&b[12], &p1, 4);
        std::memcpy(&b[16], &p2, 4);
        return b;
    }
    Reply send(ULONG code, const std::vector<UCHAR>& in) {
        Reply r;
        r.buffer.assign(in.size(), 0);
        r.status = kio::deviceControl(file, code, in.data(), static_cast<ULONG>(in.size()),
                                      r.buffer.data(), static_cast<ULONG>(r.buffer.size()),
                                      &r.information);
        return r;
    }
    // Vendor command: direction, request, value and length packed as the
    // library packs them.
    static std::vector<UCHAR> command(bool in, UCHAR req, USHORT value, USHORT length,
                                      size_t data) {
        std::vector<UCHAR> b = request(in ? 1 : 0, 0, 0, data);
        b[12] = req;
        std::memcpy(&b[14], &value, 2);
        std::memcpy(&b[16], &length, 2);
        return b;
    }
    UsbStream* stream(UCHAR endpoint, ULONG inFlight) {
        UsbStream* s = nullptr;
        EXPECT_EQ(USBSTRM_Create(device, 0, endpoint, inFlight, 64, "diag", &s), STATUS_SUCCESS);
        return s;
    }

    pavtest::CameraHarness h{usbOnly(sim::defaultScenario(), 20)};
    DeviceContext* device = nullptr;
    PFILE_OBJECT file = nullptr;
};

TEST_F(Diagnostics, SetInterfaceReportsWhetherTheWantedSettingWasObtained) {
    // Nothing read yet: no descriptor to select from.
    Reply r = send(pav512::IOCTL_DEBUG_SET_INTERFACE, request(0x0300, 0, 0, 0));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.moduleStatus(), 1);
    ASSERT_EQ(USBIF_Initialise(device), STATUS_SUCCESS);
    // Byte 8 the interface, byte 9 the setting.
    r = send(pav512::IOCTL_DEBUG_SET_INTERFACE, request(0x0300, 0, 0, 0));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 20u);
    EXPECT_EQ(r.moduleStatus(), 0);
    EXPECT_EQ(h.camera().alternateSetting(), 3);
    h.camera().changeFaults([](sim::Faults& f) { f.refusedAlternates = {7, 6}; });
    r = send(pav512::IOCTL_DEBUG_SET_INTERFACE, request(0x0700, 0, 0, 0));
    EXPECT_EQ(r.moduleStatus(), 1) << "5 was obtained, not 7";
    EXPECT_EQ(h.camera().alternateSetting(), 5);
    r = send(pav512::IOCTL_DEBUG_SET_INTERFACE, request(0x0109, 0, 0, 0));
    EXPECT_EQ(r.moduleStatus(), 1) << "interface 9 is not there";
    r = send(pav512::IOCTL_DEBUG_SET_INTERFACE, request(0x0000, 0, 0, 0));
    EXPECT_EQ(r.moduleStatus(), 0);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
}

TEST_F(Diagnostics, VendorCommandMovesTheDataAndReportsShortTransfers) {
    auto expected = h.camera().informationBlock();
    Reply r = send(pav512::IOCTL_DEBUG_USB_COMMAND, command(true, 0x84, 0, 22, 22));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.moduleStatus(), 0);
    ASSERT_EQ(r.buffer.size(), 42u);
    EXPECT_EQ(0, std::memcmp(&r.buffer[20], expected.data(), 22));

    // Out: two registers of the video processor.
    std::vector<UCHAR> out = command(false, 0x01, (0x40 << 8) | 2, 2, 2);
    out[20] = 0xAB;
    out[21] = 0xCD;
    r = send(pav512::IOCTL_DEBUG_USB_COMMAND, out);
    EXPECT_EQ(r.moduleStatus(), 0);
    EXPECT_EQ(h.camera().registerValue(2, 0x40), 0xAB);
    EXPECT_EQ(h.camera().registerValue(2, 0x41), 0xCD);

    h.camera().changeFaults([](sim::Faults& f) { f.shortControlReads = {{0x84, 10}}; });
    r = send(pav512::IOCTL_DEBUG_USB_COMMAND, command(true, 0x84, 0, 22, 22));
    EXPECT_EQ(r.moduleStatus(), 5);
    EXPECT_EQ(0, std::memcmp(&r.buffer[20], expected.data(), 10));
    for (size_t i = 30; i < 42; ++i) EXPECT_EQ(r.buffer[i], 0) << "byte " << i;

    // Stalled: nothing moved, so short wins over failed; without data, failed.
    r = send(pav512::IOCTL_DEBUG_USB_COMMAND, command(true, 0x7F, 0, 4, 4));
    EXPECT_EQ(r.moduleStatus(), 5);
    r = send(pav512::IOCTL_DEBUG_USB_COMMAND, command(false, 0x7F, 0, 0, 0));
    EXPECT_EQ(r.moduleStatus(), 1);
}

TEST_F(Diagnostics, LengthsBeyondTheBufferAreRefusedBeforeAnythingIsSent) {
    std::uint64_t before = h.camera().counters().controlTransfers;
    // A vendor command claiming 100 bytes in a buffer with room for 4.
    Reply r = send(pav512::IOCTL_DEBUG_USB_COMMAND, command(true, 0x84, 0, 100, 4));
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
    // A bulk transfer claiming more than its buffer.
    stream(0x05, 8);
    r = send(pav512::IOCTL_DEBUG_USB_TRANSFER, request(0x05, 1000, 100, 10));
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    // Shorter than the header.
    std::vector<UCHAR> tiny(12, 0);
    r = send(pav512::IOCTL_DEBUG_DEVICE_ID, tiny);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h.camera().counters().controlTransfers, before);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 0u);
}

TEST_F(Diagnostics, BulkTransferSendsAndReceivesOnTheStreamOfItsEndpoint) {
    ASSERT_EQ(configure(device, 1), STATUS_SUCCESS);
    UsbStream* out = stream(0x05, 8);
    UsbStream* in = stream(0x82, 1);
    std::vector<UCHAR> b = request(0x05, 100, 2000, 100);
    for (int i = 0; i < 100; ++i) b[20 + i] = static_cast<UCHAR>(i);
    Reply r = send(pav512::IOCTL_DEBUG_USB_TRANSFER, b);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.moduleStatus(), 0);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 100u);
    EXPECT_EQ(out->active, 0) << "the stream is stopped afterwards";

    // The camera's object table of memory 0, asked for over the bulk-in pipe.
    std::vector<std::uint8_t> table;
    h.camera().withStore([&](sim::ObjectStore& s) { table = s.memory(0).objectTable(); });
    ASSERT_GT(table.size(), 8u);
    ULONG none = 0;
    ASSERT_EQ(USBIF_VendorRequest(device, false, 0x85, 0, nullptr, &none), STATUS_SUCCESS);
    ULONG size = static_cast<ULONG>(table.size());
    r = send(pav512::IOCTL_DEBUG_USB_TRANSFER, request(0x82, size, 2000, size));
    EXPECT_EQ(r.moduleStatus(), 0);
    EXPECT_EQ(0, std::memcmp(&r.buffer[20], table.data(), table.size()));
    EXPECT_EQ(in->active, 0);

    // More arrives than was asked for: the count ends without completing.
    ASSERT_EQ(USBIF_VendorRequest(device, false, 0x85, 0, nullptr, &none), STATUS_SUCCESS);
    r = send(pav512::IOCTL_DEBUG_USB_TRANSFER, request(0x82, size - 4, 200, size - 4));
    EXPECT_EQ(r.moduleStatus(), 1);

    // Nothing prepared: the time-out passes, with the caller's thread asleep
    // rather than spinning while it waits (it runs the request).
    ULONGLONG start = kclock::milliseconds();
    const auto realStart = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuSeconds();
    r = send(pav512::IOCTL_DEBUG_USB_TRANSFER, request(0x82, 64, 4000, 64));
    const double cpu = threadCpuSeconds() - cpuStart;
    const double real =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.moduleStatus(), 1);
    EXPECT_GE(kclock::milliseconds() - start, 4000u);
    EXPECT_LT(cpu, real / 10) << "the wait kept the processor busy";
    EXPECT_EQ(in->outstanding, 0);
}

TEST_F(Diagnostics, BulkTransferRefusesWhatItCannotDo) {
    ASSERT_EQ(configure(device, 7), STATUS_SUCCESS);
    stream(0x05, 8);
    UsbStream* iso = nullptr;
    ASSERT_EQ(USBSTRM_Create(device, 0, 0x81, 8, 8, "iso", &iso), STATUS_SUCCESS);
    struct Case {
        const char* what;
        std::vector<UCHAR> buffer;
    };
    std::vector<Case> cases = {
        {"no stream for the endpoint", request(0x07, 10, 100, 10)},
        {"length 0", request(0x05, 0, 100, 10)},
        {"time-out 0", request(0x05, 10, 0, 10)},
        {"time-out beyond the limit", request(0x05, 10, kDebugTransferMaxTimeoutMs + 1, 10)},
        {"isochronous stream", request(0x81, 10, 100, 10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reply r = send(pav512::IOCTL_DEBUG_USB_TRANSFER, c.buffer);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.moduleStatus(), 1);
    }
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 0u);
    EXPECT_EQ(iso->active, 0);
    EXPECT_EQ(h.camera().counters().isoPackets, 0u);
}

TEST_F(Diagnostics, OnlyOneBulkTransferRunsAtATime) {
    ASSERT_EQ(configure(device, 1), STATUS_SUCCESS);
    stream(0x82, 1);
    stream(0x05, 8);
    Reply first;
    std::thread waiting(
        [&] { first = send(pav512::IOCTL_DEBUG_USB_TRANSFER, request(0x82, 64, 2000, 64)); });
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&device->streams.debug.busy) == 1; }));
    Reply second = send(pav512::IOCTL_DEBUG_USB_TRANSFER, request(0x05, 10, 100, 10));
    EXPECT_EQ(second.moduleStatus(), 1);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 0u);
    waiting.join();
    EXPECT_EQ(first.moduleStatus(), 1) << "nothing was prepared for it";
    EXPECT_EQ(device->streams.debug.busy, 0);
}

// The bulk pipes have one user at a time: a command session (or video, or
// PTP) holding the camera, or a bulk transfer of the camera object, keeps the
// diagnostic transfer off them, and the transfer gives the camera back.
TEST_F(Diagnostics, BulkTransferRefusedWhileAnotherUserHasTheBulkPipes) {
    ASSERT_EQ(configure(device, 1), STATUS_SUCCESS);
    stream(0x05, 8);
    std::vector<UCHAR> b = request(0x05, 10, 500, 10);
    ASSERT_EQ(Camera_Acquire(device, 0), STATUS_SUCCESS);
    EXPECT_EQ(send(pav512::IOCTL_DEBUG_USB_TRANSFER, b).moduleStatus(), 1);
    Camera_Release(device);
    ASSERT_TRUE(Camera_ClaimBulkPipes(device));
    EXPECT_EQ(send(pav512::IOCTL_DEBUG_USB_TRANSFER, b).moduleStatus(), 1);
    Camera_ReleaseBulkPipes(device);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 0u);

    EXPECT_EQ(send(pav512::IOCTL_DEBUG_USB_TRANSFER, b).moduleStatus(), 0);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 10u);
    // Given back: others may have the camera now.
    ASSERT_EQ(Camera_Acquire(device, 0), STATUS_SUCCESS);
    Camera_Release(device);
}

TEST_F(Diagnostics, DeviceIdentifiersComeFromTheDeviceDescriptor) {
    Reply r = send(pav512::IOCTL_DEBUG_DEVICE_ID, request(0, 0, 0, 0));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.moduleStatus(), 0);
    EXPECT_EQ(r.u32(8), sim::kVendorId);
    EXPECT_EQ(r.u32(12), sim::kProductId);
    h.camera().changeFaults([](sim::Faults& f) { f.shortControlReads = {{6, 9}}; });
    r = send(pav512::IOCTL_DEBUG_DEVICE_ID, request(0, 0, 0, 0));
    EXPECT_EQ(r.moduleStatus(), 1);
    EXPECT_EQ(r.u32(8), 0u) << "nothing written on failure";
}

}  // namespace

namespace {

// Sees the setup packet of every vendor request the camera gets.
class SetupRecorder : public usbbus::ForwardingBackend {
  public:
    explicit SetupRecorder(std::shared_ptr<sim::SimCamera> camera)
        : ForwardingBackend(std::move(camera)) {}
    USBD_STATUS submit(usbbus::Transfer* t) override {
        if (t->type == USB_ENDPOINT_TYPE_CONTROL && (t->setup[0] & 0x60) == 0x40) {
            std::lock_guard<std::mutex> g(lock);
            lastRequest = t->setup[1];
            lastIndex = static_cast<USHORT>(t->setup[4] | (t->setup[5] << 8));
        }
        return ForwardingBackend::submit(t);
    }
    std::mutex lock;
    UCHAR lastRequest = 0;
    USHORT lastIndex = 0xFFFF;
};

TEST(DiagnosticCommand, TheIndexTheClientAsksForReachesTheCamera) {
    std::shared_ptr<SetupRecorder> recorder;
    pavtest::CameraHarnessOptions o = usbOnly(sim::defaultScenario(), 20);
    o.wrapBackend = [&](std::shared_ptr<sim::SimCamera> camera) {
        recorder = std::make_shared<SetupRecorder>(std::move(camera));
        return recorder;
    };
    pavtest::CameraHarness h(o);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kio::openFile(h.fdo(), "\\PAV512Connect", &file), STATUS_SUCCESS);
    // From the camera, request 0x84, 22 bytes, index 0x1234 at offset 18.
    std::vector<UCHAR> b(pav512::kDiagnosticDataOffset + 22, 0);
    b[0] = 0xFF;
    b[8] = 1;
    b[12] = 0x84;
    USHORT length = 22, index = 0x1234;
    std::memcpy(&b[16], &length, 2);
    std::memcpy(&b[18], &index, 2);
    std::vector<UCHAR> out(b.size());
    ULONG_PTR information = 0;
    EXPECT_EQ(kio::deviceControl(file, pav512::IOCTL_DEBUG_USB_COMMAND, b.data(),
                                 static_cast<ULONG>(b.size()), out.data(),
                                 static_cast<ULONG>(out.size()), &information),
              STATUS_SUCCESS);
    kio::closeFile(file);
    std::lock_guard<std::mutex> g(recorder->lock);
    EXPECT_EQ(recorder->lastRequest, 0x84);
    EXPECT_EQ(recorder->lastIndex, 0x1234);
}

}  // namespace
