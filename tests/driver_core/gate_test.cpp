// The request gate: what is refused, held, cancelled and dispatched, and in
// which order, across start, stop, query and removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "driver/core/control.h"
#include "tests/driver_core/harness.h"
#include "tests/support/kernel_test.h"

namespace {

using drvtest::Client;
using drvtest::Harness;
using drvtest::Reply;
using drvtest::StandInModule;
using Replies = std::vector<std::shared_ptr<Reply>>;

const std::string kCamera = "USB\\VID_F1A5&PID_0B2D\\gate";

NTSTATUS sendMajor(PDEVICE_OBJECT fdo, UCHAR major) {
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->OriginatorContext = &done;
    irp->OriginatorCompletion = [](PIRP, PVOID event) {
        KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    };
    IoCallDriver(fdo, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

TEST(Gate, NothingIsDispatchedBeforeTheFirstStart) {
    Harness h(false);
    PDEVICE_OBJECT pdo = h.bus.plug(kCamera);
    ASSERT_EQ(h.pnp.addDevice(pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = h.fdo(pdo);
    Client client(fdo);
    auto reply = client.send(1);
    ASSERT_TRUE(Client::wait(reply)) << "held instead of refused";
    EXPECT_EQ(reply->status, STATUS_DELETE_PENDING);
    EXPECT_EQ(reply->information, 0u);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(kio::openFile(fdo, "\\PAV512Connect", &file), STATUS_DELETE_PENDING);
    EXPECT_TRUE(StandInModule::dispatched().empty());
    EXPECT_EQ(h.device(pdo)->outstanding, 0);

    ASSERT_EQ(h.pnp.start(pdo), STATUS_SUCCESS);
    reply = client.send(2);
    ASSERT_TRUE(Client::wait(reply));
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    EXPECT_EQ(StandInModule::dispatched(), std::vector<UCHAR>{2});
}

TEST(Gate, RequestKindsGetTheirAnswers) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    PDEVICE_OBJECT fdo = h.fdo(pdo);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kio::openFile(fdo, "\\PAV512Connect", &file), STATUS_SUCCESS);
    kio::closeFile(file);
    EXPECT_EQ(sendMajor(fdo, IRP_MJ_READ), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sendMajor(fdo, IRP_MJ_WRITE), STATUS_NOT_SUPPORTED);

    Client client(fdo);
    // The capture minidriver's path and the switch's own answers: a connect
    // record of zeros carries no interface version, and 8 bytes are too short
    // for the version request.
    auto internal = client.sendInternal(0x224000, 60);
    h.driver()->deviceControlRoute = Control_DeviceControl;
    auto control = client.send(1);
    ASSERT_TRUE(Client::wait(internal));
    ASSERT_TRUE(Client::wait(control));
    EXPECT_EQ(internal->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->information, 0u);
    EXPECT_EQ(h.device(pdo)->outstanding, 0);
}

TEST(Gate, AModuleStatusTakesOneByteAndTheWholeBufferComesBack) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    Client client(h.fdo(pdo));
    auto reply = client.send(0x42, 28);
    ASSERT_TRUE(Client::wait(reply));
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    ASSERT_EQ(reply->information, 28u);
    EXPECT_EQ(reply->data[0], 0);
    EXPECT_EQ(reply->data[1], 0x42);
    EXPECT_EQ(reply->data[2], 0xFF) << "bytes 1-3 belong to the client";
    EXPECT_EQ(reply->data[3], 0xFF);

    auto empty = client.send(0, 0);
    ASSERT_TRUE(Client::wait(empty));
    EXPECT_EQ(empty->status, STATUS_SUCCESS);
    EXPECT_EQ(empty->information, 0u);

    // A request its owner cancelled while the module held it.
    StandInModule::hold(true);
    auto cancelled = client.send(7);
    ASSERT_TRUE(pavtest::waitFor([] { return StandInModule::heldCount() == 1; }));
    auto second = client.send(8);
    ASSERT_TRUE(pavtest::waitFor([] { return StandInModule::heldCount() == 2; }));
    // The owner cancels the first; with no cancel routine set the flag is all it gets.
    IoCancelIrp(cancelled->irp);
    StandInModule::hold(false);
    StandInModule::release();
    ASSERT_TRUE(Client::wait(cancelled));
    ASSERT_TRUE(Client::wait(second));
    EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->information, 0u);
    EXPECT_EQ(second->status, STATUS_SUCCESS);
    EXPECT_EQ(second->information, 8u);
}

TEST(Gate, AnAllowedQueryStopLetsNothingThroughUntilTheStop) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    Client client(h.fdo(pdo));
    std::mutex lock;
    Replies replies;
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        for (UCHAR tag = 0; flooding.load(); ++tag) {
            auto reply = client.send(tag);
            std::lock_guard<std::mutex> g(lock);
            replies.push_back(reply);
        }
    });
    ASSERT_TRUE(pavtest::waitFor([&] { return StandInModule::dispatched().size() >= 20; }));
    ASSERT_EQ(h.pnp.queryStop(pdo), STATUS_SUCCESS);
    // Requests that passed the gate just before it closed may still be
    // finishing; once nothing is outstanding, nothing more reaches the module.
    DeviceContext* device = h.device(pdo);
    ASSERT_TRUE(pavtest::waitFor([&] { return device->outstanding == 0; }));
    size_t dispatchedAtQuery = StandInModule::dispatched().size();
    // Let the flood meet the closed gate at least once before the stop.
    ASSERT_TRUE(pavtest::waitFor([&] {
        std::lock_guard<std::mutex> g(lock);
        for (auto& reply : replies)
            if (reply->done.load() && reply->status != STATUS_SUCCESS) return true;
        return false;
    }));
    ASSERT_EQ(h.pnp.stop(pdo), STATUS_SUCCESS);
    flooding = false;
    flood.join();

    EXPECT_EQ(StandInModule::dispatched().size(), dispatchedAtQuery);
    size_t succeeded = 0, refused = 0;
    for (auto& reply : replies) {
        ASSERT_TRUE(Client::wait(reply));
        if (reply->status == STATUS_SUCCESS)
            ++succeeded;
        else if (reply->status == STATUS_CANCELLED || reply->status == STATUS_DELETE_PENDING)
            ++refused;
    }
    EXPECT_EQ(succeeded, dispatchedAtQuery);
    EXPECT_EQ(succeeded + refused, replies.size());
    EXPECT_GT(refused, 0u);
    EXPECT_EQ(h.device(pdo)->outstanding, 0);
}

TEST(Gate, RequestsHeldByAQueryAreCancelledByTheStop) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    Client client(h.fdo(pdo));
    ASSERT_EQ(h.pnp.queryRemove(pdo), STATUS_SUCCESS);
    Replies held = {client.send(1), client.send(2)};
    ASSERT_TRUE(pavtest::waitFor([&] { return h.device(pdo)->heldQueue.count() == 2u; }));
    EXPECT_FALSE(held[0]->done.load());
    ASSERT_EQ(h.pnp.stop(pdo), STATUS_SUCCESS);
    for (auto& reply : held) {
        ASSERT_TRUE(Client::wait(reply));
        EXPECT_EQ(reply->status, STATUS_CANCELLED);
        EXPECT_EQ(reply->information, 0u);
    }
    EXPECT_TRUE(StandInModule::dispatched().empty());
    auto late = client.send(3);
    ASSERT_TRUE(Client::wait(late));
    EXPECT_EQ(late->status, STATUS_DELETE_PENDING);
}

TEST(Gate, AQueryWithASessionOpenIsRefusedAfterTheHeldRequestsRanInOrder) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    DeviceContext* device = h.device(pdo);
    Client client(h.fdo(pdo));
    // A first query holds the requests; then the capture stream opens (its
    // path does not pass the gate) and a second query meets the session.
    ASSERT_EQ(h.pnp.queryRemove(pdo), STATUS_SUCCESS);
    Replies held = {client.send(1), client.send(2), client.send(3)};
    ASSERT_TRUE(pavtest::waitFor([&] { return device->heldQueue.count() == 3; }));
    InterlockedIncrement(&device->openSessions);
    EXPECT_EQ(h.pnp.queryRemove(pdo), STATUS_UNSUCCESSFUL);
    for (auto& reply : held)
        EXPECT_TRUE(reply->done.load()) << "dispatched before the refusal returned";
    EXPECT_EQ(StandInModule::dispatched(), std::vector<UCHAR>({1, 2, 3}));
    EXPECT_EQ(h.pnp.queryStop(pdo), STATUS_UNSUCCESSFUL);

    auto after = client.send(4);
    ASSERT_TRUE(Client::wait(after));
    EXPECT_EQ(after->status, STATUS_SUCCESS);
    // Refused queries stay with this driver.
    auto seen = h.bus.pnpSeen(pdo);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_QUERY_REMOVE_DEVICE), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_QUERY_STOP_DEVICE), 0);
    InterlockedDecrement(&device->openSessions);
}

TEST(Gate, RemovalWaitsUntilEveryAdmittedRequestHasCompleted) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    Client client(h.fdo(pdo));
    StandInModule::hold(true);
    auto inModule = client.send(1);
    ASSERT_TRUE(pavtest::waitFor([] { return StandInModule::heldCount() == 1; }));
    auto removal = std::async(std::launch::async, [&] { return h.pnp.surpriseRemoval(pdo); });
    EXPECT_EQ(removal.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    auto refused = client.send(2);
    ASSERT_TRUE(Client::wait(refused));
    EXPECT_EQ(refused->status, STATUS_DELETE_PENDING);
    EXPECT_FALSE(inModule->done.load());
    StandInModule::release();
    ASSERT_EQ(removal.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    ASSERT_TRUE(Client::wait(inModule));
    EXPECT_EQ(inModule->status, STATUS_SUCCESS);

    // Removed: refused at the gate, never reaching the module.
    auto late = client.send(3);
    ASSERT_TRUE(Client::wait(late));
    EXPECT_EQ(late->status, STATUS_DELETE_PENDING);
    EXPECT_EQ(drvtest::StandInModule::dispatched(), std::vector<UCHAR>({1}));
}

TEST(Gate, ACancelledRemovalCancelsTheHeldRequestsAndWaitsForTheNextStart) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    Client client(h.fdo(pdo));
    ASSERT_EQ(h.pnp.queryRemove(pdo), STATUS_SUCCESS);
    auto held = client.send(1);
    ASSERT_TRUE(pavtest::waitFor([&] { return h.device(pdo)->heldQueue.count() == 1; }));
    ASSERT_EQ(h.pnp.cancelRemove(pdo), STATUS_SUCCESS);
    ASSERT_TRUE(Client::wait(held));
    EXPECT_EQ(held->status, STATUS_CANCELLED);
    EXPECT_EQ(h.device(pdo)->pnpState, kPnpAdded);
    auto refused = client.send(2);
    ASSERT_TRUE(Client::wait(refused));
    EXPECT_EQ(refused->status, STATUS_DELETE_PENDING);

    ASSERT_EQ(h.pnp.start(pdo), STATUS_SUCCESS);
    auto served = client.send(3);
    ASSERT_TRUE(Client::wait(served));
    EXPECT_EQ(served->status, STATUS_SUCCESS);
    EXPECT_EQ(StandInModule::dispatched(), std::vector<UCHAR>{3});
}

TEST(Gate, ACancelledStopStartsTheModulesAgainAndReleasesNothingEarly) {
    Harness h;
    PDEVICE_OBJECT pdo = h.plug(kCamera);
    Client client(h.fdo(pdo));
    ASSERT_EQ(h.pnp.queryStop(pdo), STATUS_SUCCESS);
    EXPECT_EQ(h.device(pdo)->pnpState, kPnpStopped);
    auto refused = client.send(1);
    ASSERT_TRUE(Client::wait(refused));
    EXPECT_EQ(refused->status, STATUS_DELETE_PENDING);
    ASSERT_EQ(h.pnp.cancelStop(pdo), STATUS_SUCCESS);
    EXPECT_EQ(h.device(pdo)->pnpState, kPnpStarted);
    auto served = client.send(2);
    ASSERT_TRUE(Client::wait(served));
    EXPECT_EQ(served->status, STATUS_SUCCESS);
    EXPECT_EQ(StandInModule::dispatched(), std::vector<UCHAR>{2});
}

}  // namespace
