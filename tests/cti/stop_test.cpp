// Stopping and unplugging a camera while requests are inside the driver's
// modules: a diagnostic bulk transfer polling in its caller's thread, a
// command transaction pending on a bulk block and a command open waiting for
// the module lock. The modules go only once every such call has left them,
// nothing is left behind (the harness checks every pool tag at the end), and
// the device starts again. Requests held by a query that block their caller
// hold up neither the refusal nor the start.
#include <gtest/gtest.h>

#include <cstring>
#include <future>

#include "driver/camera/diagnostics.h"
#include "driver/core/device_context.h"
#include "host/pnp_manager.h"
#include "tests/cti/cti_client.h"
#include "tests/support/camera_harness.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace ctitest;
using namespace pav512;
using pavtest::waitFor;

constexpr UCHAR kBulkIn = 0x82;

pavtest::CameraHarnessOptions fastClock() {
    pavtest::CameraHarnessOptions o;
    o.clockScale = 20;  // the 5 s lock wait and a 60 s transfer pass quickly
    return o;
}

// A diagnostic buffer: p0 to p2 at 8, 12 and 16, then `data` bytes.
Bytes diagnostic(ULONG p0, ULONG p1, ULONG p2, size_t data) {
    Bytes b(kDiagnosticDataOffset + data, 0);
    b[0] = 0xFF;
    ULONG total = static_cast<ULONG>(b.size());
    std::memcpy(&b[4], &total, 4);
    std::memcpy(&b[8], &p0, 4);
    std::memcpy(&b[12], &p1, 4);
    std::memcpy(&b[16], &p2, 4);
    return b;
}

// Bytes that never come: the camera sends on its bulk-in pipe only when asked.
Bytes longTransfer() {
    return diagnostic(kBulkIn, 64, kDebugTransferMaxTimeoutMs, 64);
}

class StopUnderRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(h.started()) << h.arrivalText();
        device = h.device();
        // The bulk pipes are in setting 1.
        auto r = client->call(IOCTL_DEBUG_SET_INTERFACE, diagnostic(0x0100, 0, 0, 0));
        ASSERT_TRUE(r->done.load());
        ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    }
    // Sends on a thread of its own: the request blocks its caller.
    std::future<std::shared_ptr<Reply>> sendBlocking(ULONG code, Bytes buffer) {
        return std::async(std::launch::async, [this, code, b = std::move(buffer)]() mutable {
            return client->send(code, std::move(b));
        });
    }

    // Starts a diagnostic transfer (or a command transaction, which shares
    // its bulk-in pipe) and an open that waits for the module lock, and waits
    // until the calls are inside the modules.
    void startRequests(bool diagnosticTransfer) {
        withTransfer = diagnosticTransfer;
        if (withTransfer) {
            transfer = sendBlocking(IOCTL_DEBUG_USB_TRANSFER, longTransfer());
        } else {
            transaction =
                client->send(IOCTL_CTI_TRANSACTION, ctitest::transaction(0, 0, 1, {bulkIn(64)}));
            ASSERT_FALSE(transaction->done.load()) << transaction->moduleStatus();
        }
        ASSERT_TRUE(waitFor([&] { return device->moduleCalls.inside() == (withTransfer ? 1u : 0u); }));
        ASSERT_TRUE(device->cti.lock.acquire("test"));
        lockHeld = true;
        open = sendBlocking(IOCTL_CTI_OPEN, header(0));
        ASSERT_TRUE(waitFor([&] { return device->moduleCalls.inside() == (withTransfer ? 2u : 1u); }));
    }

    // What the requests got: the transfer gave up, the transaction was
    // aborted, the open could not have the lock in time and opened nothing.
    void checkOutcomes() {
        if (withTransfer) {
            auto t = transfer.get();
            ASSERT_TRUE(Client::wait(t));
            EXPECT_EQ(t->status, STATUS_SUCCESS);
            EXPECT_EQ(t->moduleStatus(), kModuleStatusFailed);
        } else {
            ASSERT_TRUE(Client::wait(transaction));
            // Aborted by the stop, or ended by its bulk pipe failing when
            // the camera left first.
            EXPECT_TRUE(transaction->status == STATUS_CANCELLED ||
                        transaction->moduleStatus() == kModuleStatusTaskAborted ||
                        transaction->moduleStatus() == kModuleStatusBulkTransferFailed)
                << transaction->status;
        }
    }

    void releaseLockWhenOpenAnswered() {
        auto o = open.get();
        ASSERT_TRUE(Client::wait(o));
        EXPECT_EQ(o->moduleStatus(), kModuleStatusInUse);
        device->cti.lock.release();
        lockHeld = false;
    }

    void TearDown() override {
        if (lockHeld) device->cti.lock.release();
    }

    pavtest::CameraHarness h{fastClock()};
    DeviceContext* device = nullptr;
    std::unique_ptr<Client> client = std::make_unique<Client>(h.fdo());
    std::shared_ptr<Reply> transaction;
    std::future<std::shared_ptr<Reply>> transfer, open;
    bool lockHeld = false;
    bool withTransfer = false;
};

TEST_F(StopUnderRequests, AnAllowedStopWaitsForTheCallsAndTheDeviceStartsAgain) {
  for (bool diagnosticTransfer : {true, false}) {
    SCOPED_TRACE(diagnosticTransfer ? "diagnostic transfer" : "command transaction");
    startRequests(diagnosticTransfer);
    auto query = std::async(std::launch::async, [&] { return h.pnp().queryStop(h.pdo()); });
    // The open is still waiting: no module may go under it, so the stop waits.
    releaseLockWhenOpenAnswered();
    ASSERT_EQ(query.get(), STATUS_SUCCESS);
    checkOutcomes();
    EXPECT_EQ(device->openSessions, 0) << "an open ran after the transport stopped";
    EXPECT_EQ(device->moduleCalls.inside(), 0u);
    // An open that got the lock only after the transport had stopped (it
    // waited for it across the terminate) opens nothing.
    Bytes late = header(0);
    EXPECT_EQ(CTIIF_Open(device, late.data()), kModuleStatusInUse);
    EXPECT_EQ(device->openSessions, 0);
    EXPECT_EQ(device->cti.sessions, nullptr);

    ASSERT_EQ(h.pnp().stop(h.pdo()), STATUS_SUCCESS);
    ASSERT_EQ(h.pnp().start(h.pdo()), STATUS_SUCCESS);
    ASSERT_TRUE(device->cti.initialised);
    ULONG session = 0;
    ASSERT_EQ(client->open(false, &session), kModuleStatusSuccess);
    EXPECT_EQ(client->close(session), kModuleStatusSuccess);
    EXPECT_EQ(device->openSessions, 0);
    // Nothing was left open, so the next stop is allowed.
    ASSERT_EQ(h.pnp().queryStop(h.pdo()), STATUS_SUCCESS);
    ASSERT_EQ(h.pnp().cancelStop(h.pdo()), STATUS_SUCCESS);
    auto r = client->call(IOCTL_DEBUG_SET_INTERFACE, diagnostic(0x0100, 0, 0, 0));
    ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
  }
  client.reset();
}

class UnplugUnderRequests : public StopUnderRequests,
                            public ::testing::WithParamInterface<bool> {};

TEST_P(UnplugUnderRequests, AnUnplugWaitsForTheCallsAndLeavesNothingBehind) {
    startRequests(GetParam());
    auto unplug = std::async(std::launch::async, [&] { h.unplug(); });
    releaseLockWhenOpenAnswered();
    unplug.get();
    checkOutcomes();
    client.reset();
    // The harness checks at its end that no pool tag and no request is left.
}

TEST_F(StopUnderRequests, AHeldRequestThatBlocksDoesNotHoldUpTheRefusal) {
    // Held by an allowed query, then let through by a refused one.
    ASSERT_EQ(h.pnp().queryRemove(h.pdo()), STATUS_SUCCESS);
    transfer = sendBlocking(IOCTL_DEBUG_USB_TRANSFER, longTransfer());
    // Another client's request does not wait behind it either (one of the
    // same channel would: it follows in order).
    Client other(h.fdo());
    auto command = std::async(std::launch::async, [&] {
      return other.send(IOCTL_DEBUG_USB_COMMAND, [] {
        Bytes b = diagnostic(1, 0, 0, 22);
        b[12] = 0x84;  // the camera's information block
        USHORT length = 22;
        std::memcpy(&b[16], &length, 2);
        return b;
      }());
    });
    ASSERT_TRUE(waitFor([&] { return device->heldQueue.count() == 2; }));
    InterlockedIncrement(&device->openSessions);
    EXPECT_EQ(h.pnp().queryRemove(h.pdo()), STATUS_UNSUCCESSFUL);
    InterlockedDecrement(&device->openSessions);
    auto c = command.get();
    // The refusal came back while the transfer still runs for its caller.
    auto t = transfer.get();
    EXPECT_FALSE(t->done.load()) << "the refusal waited for the held transfer";
    ASSERT_TRUE(Client::wait(c));
    EXPECT_EQ(c->moduleStatus(), kModuleStatusSuccess);

    // The unplug ends the running transfer.
    EXPECT_FALSE(t->done.load());
    h.unplug();
    ASSERT_TRUE(Client::wait(t));
    if (t->data.empty()) {
        // The unplug came before the transfer's thread had taken it into
        // the module: the request is refused as the device leaves.
        EXPECT_FALSE(NT_SUCCESS(t->status) && t->status != STATUS_TIMEOUT) << t->status;
    } else {
        EXPECT_EQ(t->moduleStatus(), kModuleStatusFailed);
    }
    client.reset();
}

INSTANTIATE_TEST_SUITE_P(DiagnosticTransferOrTransaction, UnplugUnderRequests,
                         ::testing::Values(true, false));

}  // namespace
