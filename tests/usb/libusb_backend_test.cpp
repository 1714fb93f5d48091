// The libusb backend without hardware: status mapping, the instance path of a
// port, the translation of bus transfers into libusb transfers and back (the
// library's submit and cancel replaced by stand-ins), and the watcher on a
// machine with no camera.
#include "platform/usb/libusb_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using usbbus::LibusbBackend;
using usbbus::Transfer;

// The stand-in library: records what the backend asked for.
struct FakeLibusb {
    std::vector<libusb_transfer*> submitted;
    std::vector<libusb_transfer*> cancelled;
    int submitResult = LIBUSB_SUCCESS;
    int altResult = LIBUSB_SUCCESS;
    int resetResult = LIBUSB_SUCCESS;
    std::vector<int> configurations;
    std::vector<int> claims;
    std::vector<std::pair<int, int>> alternates;
    std::vector<libusb_device_handle*> closed;
};
FakeLibusb lib;

usbbus::LibusbCalls fakeCalls() {
    usbbus::LibusbCalls c;
    c.submitTransfer = [](libusb_transfer* t) {
        if (lib.submitResult != LIBUSB_SUCCESS) return lib.submitResult;
        lib.submitted.push_back(t);
        return 0;
    };
    c.cancelTransfer = [](libusb_transfer* t) {
        lib.cancelled.push_back(t);
        return 0;
    };
    c.setConfiguration = [](libusb_device_handle*, int v) {
        lib.configurations.push_back(v);
        return 0;
    };
    c.claimInterface = [](libusb_device_handle*, int i) {
        lib.claims.push_back(i);
        return 0;
    };
    c.releaseInterface = [](libusb_device_handle*, int) { return 0; };
    c.setAltSetting = [](libusb_device_handle*, int i, int a) {
        lib.alternates.emplace_back(i, a);
        return lib.altResult;
    };
    c.clearHalt = [](libusb_device_handle*, unsigned char) { return 0; };
    c.resetDevice = [](libusb_device_handle*) { return lib.resetResult; };
    c.close = [](libusb_device_handle* h) { lib.closed.push_back(h); };
    return c;
}

libusb_device_handle* fakeHandle(std::uintptr_t n) {
    return reinterpret_cast<libusb_device_handle*>(n);
}

struct Completion {
    int calls = 0;
    static void done(Transfer*, void* c) { ++static_cast<Completion*>(c)->calls; }
};

// Ends the libusb transfer the way the library's event thread would.
void finishLibusb(libusb_transfer* lt, libusb_transfer_status status, int actual) {
    lt->status = status;
    lt->actual_length = actual;
    lt->callback(lt);
}

class LibusbBackendTest : public ::testing::Test {
  protected:
    void SetUp() override { lib = FakeLibusb(); }
    Transfer make(UCHAR type, UCHAR endpoint, UCHAR* buffer, ULONG length) {
        Transfer t;
        t.type = type;
        t.endpoint = endpoint;
        t.buffer = buffer;
        t.length = length;
        t.complete = Completion::done;
        t.context = &completion;
        return t;
    }
    Completion completion;
};

TEST(LibusbStatus, MapsTransferAndCallResultsToUsbdStatuses) {
    EXPECT_EQ(usbbus::usbdStatusFromTransfer(LIBUSB_TRANSFER_COMPLETED), USBD_STATUS_SUCCESS);
    EXPECT_EQ(usbbus::usbdStatusFromTransfer(LIBUSB_TRANSFER_STALL), USBD_STATUS_STALL_PID);
    EXPECT_EQ(usbbus::usbdStatusFromTransfer(LIBUSB_TRANSFER_NO_DEVICE), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(usbbus::usbdStatusFromTransfer(LIBUSB_TRANSFER_CANCELLED), USBD_STATUS_CANCELED);
    EXPECT_EQ(usbbus::usbdStatusFromTransfer(LIBUSB_TRANSFER_TIMED_OUT), USBD_STATUS_TIMEOUT);
    EXPECT_EQ(usbbus::usbdStatusFromTransfer(LIBUSB_TRANSFER_OVERFLOW), USBD_STATUS_BUFFER_OVERRUN);
    EXPECT_TRUE(USBD_ERROR(usbbus::usbdStatusFromTransfer(LIBUSB_TRANSFER_ERROR)));
    EXPECT_EQ(usbbus::usbdStatusFromError(LIBUSB_ERROR_NO_DEVICE), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(usbbus::usbdStatusFromError(LIBUSB_ERROR_PIPE), USBD_STATUS_STALL_PID);
    EXPECT_EQ(usbbus::usbdStatusFromError(LIBUSB_ERROR_INVALID_PARAM),
              USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usbbus::usbdStatusFromError(LIBUSB_ERROR_NO_MEM), USBD_STATUS_NO_MEMORY);
    EXPECT_EQ(usbbus::usbdStatusFromError(LIBUSB_ERROR_TIMEOUT), USBD_STATUS_TIMEOUT);
    EXPECT_FALSE(USBD_SUCCESS(usbbus::usbdStatusFromError(LIBUSB_ERROR_IO)));
}

TEST(LibusbInstancePath, NamesThePhysicalPort) {
    const std::uint8_t ports[] = {1, 4, 2};
    EXPECT_EQ(usbbus::libusbInstancePath(0xF1A5, 0x0B2D, 3, ports, 3),
              "USB\\VID_F1A5&PID_0B2D\\port-3-1.4.2");
    EXPECT_EQ(usbbus::libusbInstancePath(0xF1A5, 0x0B2D, 3, ports, 1),
              "USB\\VID_F1A5&PID_0B2D\\port-3-1");
    EXPECT_EQ(usbbus::libusbInstancePath(0xF1A5, 0x0B2D, 1, nullptr, 0),
              "USB\\VID_F1A5&PID_0B2D\\port-1-0");
}

TEST_F(LibusbBackendTest, ControlTransfersCarryTheSetupInFrontOfTheData) {
    LibusbBackend b(fakeHandle(1), fakeCalls());
    UCHAR info[22];
    std::memset(info, 0xEE, sizeof info);
    Transfer in = make(USB_ENDPOINT_TYPE_CONTROL, 0x80, info, sizeof info);
    const UCHAR setup[8] = {0xC0, 0x84, 0x02, 0x01, 0, 0, 22, 0};
    std::memcpy(in.setup, setup, 8);
    ASSERT_EQ(b.submit(&in), USBD_STATUS_PENDING);
    ASSERT_EQ(lib.submitted.size(), 1u);
    libusb_transfer* lt = lib.submitted[0];
    EXPECT_EQ(lt->type, LIBUSB_TRANSFER_TYPE_CONTROL);
    EXPECT_EQ(lt->length, 8 + 22);
    EXPECT_EQ(std::memcmp(lt->buffer, setup, 8), 0);
    std::memcpy(lt->buffer + 8, "\x01\x02\x03\x04\x05", 5);
    EXPECT_EQ(completion.calls, 0);
    finishLibusb(lt, LIBUSB_TRANSFER_COMPLETED, 5);
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(in.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(in.actualLength, 5u);
    EXPECT_EQ(info[4], 5);
    EXPECT_EQ(info[5], 0xEE);  // past what came, untouched

    UCHAR payload[3] = {7, 8, 9};
    Transfer out = make(USB_ENDPOINT_TYPE_CONTROL, 0x00, payload, 3);
    const UCHAR outSetup[8] = {0x40, 0x01, 0, 0, 0, 0, 3, 0};
    std::memcpy(out.setup, outSetup, 8);
    ASSERT_EQ(b.submit(&out), USBD_STATUS_PENDING);
    lt = lib.submitted[1];
    EXPECT_EQ(std::memcmp(lt->buffer + 8, payload, 3), 0);
    finishLibusb(lt, LIBUSB_TRANSFER_STALL, 0);
    EXPECT_EQ(out.status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(b.transfersInFlight(), 0u);
}

TEST_F(LibusbBackendTest, BulkTransfersUseTheCallersBufferAndHonourShortOk) {
    LibusbBackend b(fakeHandle(1), fakeCalls());
    UCHAR data[64];
    Transfer strict = make(USB_ENDPOINT_TYPE_BULK, 0x82, data, sizeof data);
    strict.shortOk = false;
    ASSERT_EQ(b.submit(&strict), USBD_STATUS_PENDING);
    libusb_transfer* lt = lib.submitted[0];
    EXPECT_EQ(lt->type, LIBUSB_TRANSFER_TYPE_BULK);
    EXPECT_EQ(lt->buffer, data);
    EXPECT_EQ(lt->endpoint, 0x82);
    finishLibusb(lt, LIBUSB_TRANSFER_COMPLETED, 10);
    EXPECT_EQ(strict.status, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(strict.actualLength, 10u);

    Transfer relaxed = make(USB_ENDPOINT_TYPE_INTERRUPT, 0x83, data, 8);
    ASSERT_EQ(b.submit(&relaxed), USBD_STATUS_PENDING);
    EXPECT_EQ(lib.submitted[1]->type, LIBUSB_TRANSFER_TYPE_INTERRUPT);
    finishLibusb(lib.submitted[1], LIBUSB_TRANSFER_COMPLETED, 3);
    EXPECT_EQ(relaxed.status, USBD_STATUS_SUCCESS);

    // A report of more bytes than were asked for is clamped.
    Transfer lying = make(USB_ENDPOINT_TYPE_BULK, 0x82, data, 16);
    ASSERT_EQ(b.submit(&lying), USBD_STATUS_PENDING);
    finishLibusb(lib.submitted[2], LIBUSB_TRANSFER_OVERFLOW, 64);
    EXPECT_EQ(lying.status, USBD_STATUS_BUFFER_OVERRUN);
    EXPECT_EQ(lying.actualLength, 16u);

    lib.submitResult = LIBUSB_ERROR_NO_DEVICE;
    Transfer refused = make(USB_ENDPOINT_TYPE_BULK, 0x05, data, 8);
    EXPECT_EQ(b.submit(&refused), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(completion.calls, 3);
}

TEST_F(LibusbBackendTest, IsochronousPacketsMapOneByOne) {
    LibusbBackend b(fakeHandle(1), fakeCalls());
    constexpr ULONG kPacket = 128;
    for (bool contiguous : {true, false}) {
        lib.submitted.clear();
        ULONG stride = contiguous ? kPacket : 2 * kPacket;
        std::vector<UCHAR> buffer(4 * stride, 0);
        USBD_ISO_PACKET_DESCRIPTOR packets[4] = {};
        for (ULONG i = 0; i < 4; ++i) packets[i].Offset = i * stride;
        Transfer t = make(USB_ENDPOINT_TYPE_ISOCHRONOUS, 0x81, buffer.data(),
                          static_cast<ULONG>(buffer.size()));
        t.packetSize = kPacket;
        t.numberOfPackets = 4;
        t.isoPackets = packets;
        ASSERT_EQ(b.submit(&t), USBD_STATUS_PENDING);
        libusb_transfer* lt = lib.submitted[0];
        EXPECT_EQ(lt->type, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS);
        EXPECT_EQ(lt->num_iso_packets, 4);
        EXPECT_EQ(lt->length, static_cast<int>(4 * kPacket));
        EXPECT_EQ(lt->buffer == buffer.data(), contiguous);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(lt->iso_packet_desc[i].length, kPacket);
            lt->iso_packet_desc[i].status =
                i == 2 ? LIBUSB_TRANSFER_ERROR : LIBUSB_TRANSFER_COMPLETED;
            lt->iso_packet_desc[i].actual_length = i == 2 ? 0 : 10 * (i + 1);
            std::memset(lt->buffer + i * kPacket, 0x10 + i, kPacket);
        }
        finishLibusb(lt, LIBUSB_TRANSFER_COMPLETED, 0);
        EXPECT_EQ(t.status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(t.errorCount, 1u);
        EXPECT_EQ(t.actualLength, 10u + 20u + 40u);
        EXPECT_EQ(packets[1].Length, 20u);
        EXPECT_EQ(packets[1].Status, USBD_STATUS_SUCCESS);
        EXPECT_TRUE(USBD_ERROR(packets[2].Status));
        // Each packet's data lands at its own offset.
        EXPECT_EQ(buffer[packets[3].Offset], 0x13);
        EXPECT_EQ(buffer[packets[3].Offset + 39], 0x13);
        if (!contiguous) {
            EXPECT_EQ(buffer[packets[0].Offset + 10], 0);  // nothing past a packet's bytes
        }
    }
}

TEST_F(LibusbBackendTest, CancelReachesOnlyTransfersStillInFlight) {
    LibusbBackend b(fakeHandle(1), fakeCalls());
    UCHAR data[8];
    Transfer t = make(USB_ENDPOINT_TYPE_BULK, 0x82, data, 8);
    ASSERT_EQ(b.submit(&t), USBD_STATUS_PENDING);
    b.cancel(&t);
    ASSERT_EQ(lib.cancelled.size(), 1u);
    EXPECT_EQ(lib.cancelled[0], lib.submitted[0]);
    finishLibusb(lib.submitted[0], LIBUSB_TRANSFER_CANCELLED, 0);
    EXPECT_EQ(t.status, USBD_STATUS_CANCELED);
    b.cancel(&t);  // already back: nothing reaches the library
    EXPECT_EQ(lib.cancelled.size(), 1u);
}

TEST_F(LibusbBackendTest, SettingsClaimTheInterfaceAndCycleWaitsForTheReturningDevice) {
    struct Sink : usbbus::DeviceBackend::Sink {
        int gone = 0;
        void deviceGone() override { ++gone; }
    } sink;
    {
        LibusbBackend b(fakeHandle(1), fakeCalls());
        b.attach(&sink);
        EXPECT_EQ(b.setConfiguration(1), USBD_STATUS_SUCCESS);
        EXPECT_EQ(b.setInterface(0, 2), USBD_STATUS_SUCCESS);
        EXPECT_EQ(b.setInterface(0, 3), USBD_STATUS_SUCCESS);
        EXPECT_EQ(lib.claims, std::vector<int>{0});
        lib.altResult = LIBUSB_ERROR_OTHER;
        EXPECT_EQ(b.setInterface(0, 7), USBD_STATUS_NO_BANDWIDTH);
        EXPECT_EQ(b.setConfiguration(0), USBD_STATUS_SUCCESS);
        EXPECT_EQ(lib.configurations, (std::vector<int>{1, -1}));

        // Same descriptors after the reset: the handle stays.
        EXPECT_EQ(b.cyclePort(), USBD_STATUS_SUCCESS);
        EXPECT_FALSE(b.awaitingReturn());
        EXPECT_TRUE(b.reenumerate());
        // New descriptors: the device comes back as another one, handed over.
        lib.resetResult = LIBUSB_ERROR_NOT_FOUND;
        EXPECT_EQ(b.cyclePort(), USBD_STATUS_SUCCESS);
        EXPECT_TRUE(b.awaitingReturn());
        b.adopt(fakeHandle(2));
        EXPECT_TRUE(b.reenumerate());
        EXPECT_EQ(lib.closed, std::vector<libusb_device_handle*>{fakeHandle(1)});

        b.markGone();
        b.markGone();
        EXPECT_EQ(sink.gone, 1);
        UCHAR data[8];
        Transfer t = make(USB_ENDPOINT_TYPE_BULK, 0x82, data, 8);
        EXPECT_EQ(b.submit(&t), USBD_STATUS_DEVICE_GONE);
    }
    EXPECT_EQ(lib.closed.back(), fakeHandle(2));
}

TEST(LibusbWatcher, StartsWithNoCameraPresentAndStopsCleanly) {
    usbbus::Bus bus("libusbtest");
    usbbus::LibusbWatcher watcher(bus);
    std::string error;
    ASSERT_TRUE(watcher.start(&error)) << error;
    EXPECT_TRUE(watcher.running());
    EXPECT_EQ(watcher.cameras(), 0u);
    EXPECT_TRUE(bus.devices().empty());
    watcher.stop();
    EXPECT_FALSE(watcher.running());
    watcher.stop();
    // It can start again after a stop.
    ASSERT_TRUE(watcher.start(&error)) << error;
    watcher.stop();
    EXPECT_TRUE(bus.devices().empty());
}

}  // namespace
