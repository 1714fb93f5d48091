// The streaming engine over the simulated camera: transfer counts of finite
// streams, error tolerance and recovery of the isochronous stream, the stop
// with transfers in flight, and restarts.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/camera_usb/usb_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using pavtest::waitFor;
using usbtest::configure;
using usbtest::Recorder;
using usbtest::usbOnly;

class Streams : public ::testing::Test {
  protected:
    void SetUp() override {
        Recorder::get().clear();
        ASSERT_TRUE(h.started()) << h.arrivalText();
        device = h.device();
        ASSERT_EQ(configure(device, 7), STATUS_SUCCESS);
    }
    UsbStream* create(UCHAR endpoint, ULONG inFlight, ULONG packets) {
        UsbStream* s = nullptr;
        EXPECT_EQ(USBSTRM_Create(device, 0, endpoint, inFlight, packets, "test", &s),
                  STATUS_SUCCESS);
        return s;
    }
    NTSTATUS startIso(UsbStream* s) {
        return USBSTRM_Start(s, 0, Recorder::data, nullptr, Recorder::reset);
    }
    std::uint64_t isoPackets() { return h.camera().counters().isoPackets; }
    // Waits until the camera has handled `n` more isochronous packets.
    bool morePackets(std::uint64_t n) {
        std::uint64_t from = isoPackets();
        return waitFor([&] { return isoPackets() >= from + n; });
    }
    void failIsoTransfers(int n) {
        h.camera().changeFaults([n](sim::Faults& f) {
            f.failedTransfers = n;
            f.failedTransfersEndpoint = 0x81;
        });
        ASSERT_TRUE(waitFor([&] { return h.camera().faults().failedTransfers == 0; }));
    }

    // Waits until the worker has run every item queued before this call (it
    // runs them in order).
    bool workerCaughtUp() {
        std::atomic<bool> ran{false};
        if (!workerQueue(
                device,
                [](DeviceContext*, PVOID flag, PVOID) {
                    static_cast<std::atomic<bool>*>(flag)->store(true);
                },
                &ran, nullptr))
            return false;
        return waitFor([&] { return ran.load(); });
    }

    pavtest::CameraHarness h{usbOnly()};
    DeviceContext* device = nullptr;
};

TEST_F(Streams, FiniteOutgoingStreamSendsItsBytesInWholeTransfersAndNoMore) {
    UsbStream* s = create(0x05, 8, 64);
    std::uint64_t before = h.camera().counters().bulkOutBytes;
    Recorder::get().setSupply(10000);
    ASSERT_EQ(USBSTRM_Start(s, 10000, Recorder::data, Recorder::fill, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ReadAcquire(&s->packetsInLast), 29);
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&s->outstanding) == 0; }));
    // Three transfers of 64, 64 and 29 packets; the last is offered 1856
    // bytes and sends only the 1808 that remain.
    EXPECT_EQ(Recorder::get().fillLengths(), (std::vector<ULONG>{4096, 4096, 1856}));
    EXPECT_EQ(Recorder::get().dataLengths(), (std::vector<ULONG>{4096, 4096, 1808}));
    EXPECT_EQ(h.camera().counters().bulkOutBytes - before, 10000u);
    EXPECT_EQ(ReadAcquire(&s->transfersLeft), 0);

    Recorder::get().clear();
    Recorder::get().setSupply(4096);
    ASSERT_EQ(USBSTRM_Start(s, 4096, Recorder::data, Recorder::fill, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&s->outstanding) == 0; }));
    EXPECT_EQ(Recorder::get().fillLengths(), (std::vector<ULONG>{4096}));
    EXPECT_EQ(h.camera().counters().bulkOutBytes - before, 10000u + 4096u);
    USBSTRM_Stop(s, false);
    // Every transfer of a finished stream is freed: only the stream is left.
    EXPECT_EQ(usbtest::liveAllocations("usbs"), 1);
}

// An outgoing stream whose owner has nothing (more) to give sends nothing:
// a zero-length packet would reach the camera as a transfer of its own.
TEST_F(Streams, OutgoingStreamWithNothingToSendSendsNoZeroLengthPacket) {
    UsbStream* s = create(0x05, 8, 64);
    Recorder::get().setSupply(0);
    EXPECT_FALSE(NT_SUCCESS(USBSTRM_Start(s, 4096, Recorder::data, Recorder::fill, nullptr)));
    EXPECT_EQ(h.camera().pendingTransfers(), 0u);
    // The owner's data ends before the stream's length: only what it gave goes.
    Recorder::get().setSupply(100);
    ASSERT_EQ(USBSTRM_Start(s, 10000, Recorder::data, Recorder::fill, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&s->outstanding) == 0; }));
    EXPECT_EQ(Recorder::get().dataLengths(), (std::vector<ULONG>{100}));
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 100u);
    USBSTRM_Stop(s, false);
}

TEST_F(Streams, StartIsRefusedWithoutAPipeOrWithoutAFillRoutineForOutgoingData) {
    UsbStream* out = create(0x05, 8, 64);
    EXPECT_EQ(USBSTRM_Start(out, 100, Recorder::data, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    UsbStream* missing = create(0x84, 1, 1);  // no such endpoint in any setting
    EXPECT_EQ(USBSTRM_Start(missing, 0, Recorder::data, nullptr, nullptr), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(missing->active, 0);
    EXPECT_EQ(h.camera().pendingTransfers(), 0u) << "nothing reached the bus";
    UsbStream* none = nullptr;
    EXPECT_EQ(USBSTRM_Create(device, 0, 0x81, 0, 8, "none", &none), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(USBSTRM_Create(device, 0, 0x81, 8, 256, "too many packets", &none),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(USBSTRM_Find(device, 0x84), missing);
    EXPECT_EQ(USBSTRM_Find(device, 0x83), nullptr);
}

TEST_F(Streams, OneFailedIsochronousTransferIsToleratedTwoInARowRecover) {
    UsbStream* s = create(0x81, 8, 8);
    ASSERT_EQ(startIso(s), STATUS_SUCCESS);
    ASSERT_TRUE(morePackets(16));
    failIsoTransfers(1);
    ASSERT_TRUE(morePackets(32));
    EXPECT_TRUE(Recorder::get().resetPhases().empty()) << "a single failure started a recovery";
    EXPECT_EQ(ReadAcquire(&s->active), 1);
    EXPECT_EQ(ReadAcquire(&s->errorFlag), 0) << "the good packets after it clear the error";

    int settingBefore = h.camera().alternateSetting();
    failIsoTransfers(2);
    ASSERT_TRUE(waitFor([&] { return Recorder::get().resetPhases().size() == 2; }));
    EXPECT_EQ(Recorder::get().resetPhases(), (std::vector<ULONG>{1, 0}));
    // The recovery re-selected the setting and restarted the stream.
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&s->active) == 1; }));
    ASSERT_TRUE(morePackets(16));
    EXPECT_EQ(h.camera().alternateSetting(), settingBefore);
    EXPECT_EQ(ReadAcquire(&s->crisisCount), 0) << "good packets since the recovery";
    USBSTRM_Stop(s, false);
}

TEST_F(Streams, EmptyIsochronousPacketClearsTheErrorAndDeliversNothing) {
    UsbStream* s = create(0x81, 8, 8);
    ASSERT_EQ(startIso(s), STATUS_SUCCESS);
    // The sensor is not running: every packet comes back empty.
    failIsoTransfers(1);
    ASSERT_TRUE(morePackets(32));
    EXPECT_EQ(ReadAcquire(&s->errorFlag), 0);
    // Had the empty packets left the error set, this failure would recover.
    failIsoTransfers(1);
    ASSERT_TRUE(morePackets(32));
    EXPECT_TRUE(Recorder::get().resetPhases().empty());
    EXPECT_EQ(Recorder::get().dataCalls(), 0u);
    EXPECT_EQ(h.camera().counters().isoDataPackets, 0u);
    USBSTRM_Stop(s, false);
}

TEST_F(Streams, FiniteIsochronousStreamAsksAgainForEmptyPacketsAndEnds) {
    UsbStream* s = create(0x81, 8, 8);
    // Two transfers' worth of packets, while the sensor sends nothing yet:
    // every empty packet is owed again, so the stream keeps asking.
    ASSERT_EQ(USBSTRM_Start(s, 2 * 8 * 1023, Recorder::data, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(morePackets(64));
    EXPECT_GT(ReadAcquire(&s->outstanding), 0);
    EXPECT_EQ(Recorder::get().dataCalls(), 0u);
    ASSERT_EQ(usbtest::runSensor(device, 640, 480), STATUS_SUCCESS);
    // Once data flows the stream ends, and never delivers more packets than
    // its length holds. (Empty packets of a transfer that is not the last
    // one in flight are owed to a last transfer already sent; those few are
    // not asked for again.)
    // The sensor's first frame takes its time to come on a loaded machine.
    ASSERT_TRUE(
        waitFor([&] { return ReadAcquire(&s->outstanding) == 0; }, std::chrono::seconds(20)));
    EXPECT_GT(Recorder::get().dataCalls(), 0u);
    EXPECT_LE(Recorder::get().dataCalls(), 16u);
    EXPECT_EQ(ReadAcquire(&s->transfersLeft), 0);
    USBSTRM_Stop(s, false);
}

TEST_F(Streams, TenRecoveriesWithoutGoodDataLeaveTheStreamStopped) {
    UsbStream* s = create(0x81, 8, 8);
    h.camera().changeFaults([](sim::Faults& f) { f.isoFailedPackets = 1 << 30; });
    ASSERT_EQ(startIso(s), STATUS_SUCCESS);
    // The tenth recovery still restarts the stream; the next failures find
    // the limit reached and leave it stopped.
    ASSERT_TRUE(waitFor(
        [&] {
            std::uint64_t before = isoPackets();
            kclock::sleepMs(100);
            return ReadAcquire(&s->crisisCount) == kCrisisLimit && ReadAcquire(&s->active) == 0 &&
                   isoPackets() == before;
        },
        std::chrono::seconds(20)));
    std::uint64_t packets = isoPackets();
    // Nothing restarts it: no more recoveries, no more transfers.
    kclock::sleepMs(400);
    EXPECT_EQ(Recorder::get().resetPhases().size(), 2u * kCrisisLimit);
    EXPECT_EQ(ReadAcquire(&s->outstanding), 0);
    EXPECT_EQ(ReadAcquire(&s->active), 0);
    EXPECT_EQ(isoPackets(), packets);
    EXPECT_EQ(h.camera().pendingTransfers(), 0u);
    // Its owner may start it again.
    h.camera().changeFaults([](sim::Faults& f) { f.isoFailedPackets = 0; });
    ASSERT_EQ(startIso(s), STATUS_SUCCESS);
    ASSERT_TRUE(morePackets(16));
    EXPECT_EQ(ReadAcquire(&s->crisisCount), 0);
    USBSTRM_Stop(s, false);
}

TEST_F(Streams, RecoveryWhoseRestartFindsNoMemoryLeavesTheStreamStoppedAndTheWorkerFree) {
    UsbStream* s = create(0x81, 8, 8);
    ASSERT_EQ(startIso(s), STATUS_SUCCESS);
    ASSERT_TRUE(morePackets(16));
    // From here on the stream's pool allocations fail. A running stream
    // recycles its transfers and never asks for any.
    kpool::failAllocations(kUsbstrmTag, 1000000);
    ASSERT_TRUE(morePackets(64));
    EXPECT_EQ(ReadAcquire(&s->active), 1);
    failIsoTransfers(2);
    ASSERT_TRUE(waitFor([&] { return Recorder::get().resetPhases().size() == 2; }));
    // The restart inside the recovery fails; the worker is not stuck on it.
    ASSERT_TRUE(workerCaughtUp());
    EXPECT_EQ(ReadAcquire(&s->active), 0);
    EXPECT_EQ(ReadAcquire(&s->outstanding), 0);
    // Once memory is there again the stall check tries again by itself: the
    // video does not stay stopped until its owner happens to restart it.
    kpool::failAllocations(kUsbstrmTag, 0);
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&s->active) == 1; }));
    ASSERT_TRUE(morePackets(16));
    EXPECT_LT(ReadAcquire(&s->crisisCount), kCrisisLimit);
    USBSTRM_Stop(s, false);
    // Stopped by its owner, it stays stopped.
    std::uint64_t packets = isoPackets();
    ASSERT_TRUE(waitFor([&] { return device->tickHooks.streamWatchdogs.load() != nullptr; }));
    kclock::sleepMs(3 * kStallMs);
    EXPECT_EQ(ReadAcquire(&s->active), 0);
    EXPECT_EQ(isoPackets(), packets);
}

// Holds the worker until released.
struct WorkerGate {
    KEVENT go;
    WorkerGate() { KeInitializeEvent(&go, NotificationEvent, FALSE); }
    static void hold(DeviceContext*, PVOID gate, PVOID) {
        KeWaitForSingleObject(&static_cast<WorkerGate*>(gate)->go, Executive, KernelMode, FALSE,
                              nullptr);
    }
    void open() { KeSetEvent(&go, IO_NO_INCREMENT, FALSE); }
};

TEST_F(Streams, RecoveryIsNotLostToAGoodPacketOnItsWayNorToAnEmptyNodePool) {
    UsbStream* s = create(0x81, 8, 8);
    ASSERT_EQ(startIso(s), STATUS_SUCCESS);
    ASSERT_TRUE(morePackets(8));
    WorkerGate gate;
    ASSERT_TRUE(workerQueue(device, WorkerGate::hold, &gate, nullptr));
    // The stall check asks for a recovery; a packet that was on its way when
    // it did clears the error flag before the worker gets to the recovery.
    USBSTRM_CheckStall(s, static_cast<ULONG>(ReadAcquire(&s->lastGoodMs)) + 10 * kStallMs);
    EXPECT_EQ(ReadAcquire(&s->active), 0);
    InterlockedExchange(&s->errorFlag, 0);
    gate.open();
    ASSERT_TRUE(waitFor([&] { return Recorder::get().resetPhases().size() == 2; }));
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&s->active) == 1; }))
        << "the recovery did not restart it";
    ASSERT_TRUE(morePackets(16));

    // No node can be had: the recovery of two failed transfers still runs.
    std::vector<PVOID> taken;
    kpool::failAllocations(kNodePoolTag, 1 << 30);
    while (PVOID node = nodeAllocate(&device->worker.nodes, sizeof(WorkItem)))
        taken.push_back(node);
    ASSERT_FALSE(workerQueue(device, WorkerGate::hold, &gate, nullptr)) << "the pool is not empty";
    failIsoTransfers(2);
    ASSERT_TRUE(waitFor([&] { return Recorder::get().resetPhases().size() == 4; }));
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&s->active) == 1; }));
    kpool::failAllocations(kNodePoolTag, 0);
    for (PVOID node : taken) nodeFree(&device->worker.nodes, node);
    ASSERT_TRUE(morePackets(16));
    USBSTRM_Stop(s, false);
}

TEST_F(Streams, StallWatchdogRecoversOnlyAnIsochronousStreamWithoutRecentData) {
    EXPECT_EQ(device->tickHooks.streamWatchdogs.load(), USBSTRM_Tick)
        << "installed by the start sequence";
    UsbStream* bulk = create(0x82, 1, 64);
    UsbStream* iso = create(0x81, 8, 8);
    ASSERT_EQ(USBSTRM_Start(bulk, 0, Recorder::data, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(startIso(iso), STATUS_SUCCESS);
    ASSERT_TRUE(morePackets(8));
    ULONG now = static_cast<ULONG>(ReadAcquire(&iso->lastGoodMs));
    USBSTRM_CheckStall(bulk, now + 10000);
    USBSTRM_CheckStall(iso, now + kStallMs);
    EXPECT_EQ(ReadAcquire(&bulk->active), 1);
    EXPECT_EQ(ReadAcquire(&iso->active), 1);
    USBSTRM_CheckStall(iso, now + kStallMs + 1);
    ASSERT_TRUE(waitFor([&] { return Recorder::get().resetPhases().size() == 2; }));
    // The recovery paused the bulk stream too and restarted both.
    ASSERT_TRUE(
        waitFor([&] { return ReadAcquire(&iso->active) == 1 && ReadAcquire(&bulk->active) == 1; }));
    EXPECT_EQ(bulk->paused, 0);
    USBSTRM_Stop(iso, false);
    USBSTRM_Stop(bulk, false);
}

TEST_F(Streams, StopWithTransfersInFlightReturnsEveryTransferAndByte) {
    LONG irpsBefore = kio::liveIrps();
    ASSERT_EQ(usbtest::runSensor(device, 640, 480), STATUS_SUCCESS);
    UsbStream* iso = create(0x81, 8, 8);
    UsbStream* bulk = create(0x82, 1, 64);
    ASSERT_EQ(startIso(iso), STATUS_SUCCESS);
    ASSERT_EQ(USBSTRM_Start(bulk, 0, Recorder::data, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(waitFor([&] { return Recorder::get().dataBytes() > 10000; })) << "no video arrived";
    EXPECT_EQ(usbtest::liveAllocations("usbs"), 2 + 3 * (8 + 1));
    USBSTRM_Stop(iso, false);
    USBSTRM_Stop(bulk, false);
    EXPECT_EQ(iso->outstanding, 0);
    EXPECT_EQ(bulk->outstanding, 0);
    std::uint32_t calls = Recorder::get().dataCalls();
    kclock::sleepMs(50);
    EXPECT_EQ(Recorder::get().dataCalls(), calls) << "data delivered after the stop";
    EXPECT_EQ(h.camera().pendingTransfers(), 0u);
    EXPECT_EQ(kio::liveIrps(), irpsBefore);
    EXPECT_EQ(usbtest::liveAllocations("usbs"), 2) << "only the two streams are left";
    USBSTRM_Destroy(&iso);
    USBSTRM_Destroy(&bulk);
    EXPECT_EQ(iso, nullptr);
    EXPECT_EQ(usbtest::liveBytes("usbs"), 0);
    USBIF_Terminate(device);
    EXPECT_EQ(usbtest::liveBytes("usbi"), 0);
}

TEST_F(Streams, TransfersOfAnEarlierStartAreFreedNotResubmitted) {
    UsbStream* s = create(0x81, 8, 8);
    ASSERT_EQ(startIso(s), STATUS_SUCCESS);
    ASSERT_TRUE(morePackets(8));
    // Started again without a stop: the earlier start's transfers are stopped
    // and freed first, and only the new start's eight run on.
    ASSERT_EQ(startIso(s), STATUS_SUCCESS);
    ASSERT_TRUE(morePackets(8 * 8 * 2));
    EXPECT_EQ(usbtest::liveAllocations("usbs"), 1 + 3 * 8);
    // A completion under way has resubmitted its transfer before it counts
    // itself out: nine for that moment.
    EXPECT_TRUE(waitFor([&] { return ReadAcquire(&s->outstanding) == 8; }))
        << ReadAcquire(&s->outstanding) << " transfers outstanding";
    USBSTRM_Stop(s, false);
    EXPECT_EQ(usbtest::liveAllocations("usbs"), 1);
}

// The owner starts the next block as soon as the last one's bytes are handed
// on, while that transfer's completion is still on its way out. The late
// completion must not take a transfer of the new start for itself: its bytes
// would go to the camera with nobody told, and the owner would wait for ever.
namespace restart {
std::atomic<UsbStream*> stream{nullptr};
std::atomic<int> firstBlockDone{0};
std::atomic<int> restartReturned{0};
void data(DeviceContext* device, PUCHAR bytes, ULONG length) {
    Recorder::data(device, bytes, length);
    UsbStream* s = stream.load();
    if (s == nullptr || firstBlockDone.exchange(1) != 0) return;
    // Hold the completion here until the owner's next start has either
    // returned or begun to stop what is left of this one.
    waitFor([&] { return restartReturned.load() != 0 || ReadAcquire(&s->active) == 0; },
            std::chrono::milliseconds(5000));
}
}  // namespace restart

TEST_F(Streams, BlockStartedWhileTheLastCompletionLeavesGetsEveryTransfer) {
    UsbStream* s = create(0x05, 1, 64);
    restart::stream.store(s);
    restart::firstBlockDone.store(0);
    restart::restartReturned.store(0);
    Recorder::get().setSupply(4096 + 8192);
    ASSERT_EQ(USBSTRM_Start(s, 4096, restart::data, Recorder::fill, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(waitFor([] { return restart::firstBlockDone.load() != 0; }));
    std::thread owner([&] {
        EXPECT_EQ(USBSTRM_Start(s, 8192, restart::data, Recorder::fill, nullptr), STATUS_SUCCESS);
        restart::restartReturned.store(1);
    });
    owner.join();
    EXPECT_TRUE(waitFor([&] { return Recorder::get().dataBytes() == 4096u + 8192u; }))
        << "the owner was told of " << Recorder::get().dataBytes() << " bytes";
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&s->outstanding) == 0; }));
    EXPECT_EQ(Recorder::get().dataLengths(), (std::vector<ULONG>{4096, 4096, 4096}));
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 4096u + 8192u);
    restart::stream.store(nullptr);
    USBSTRM_Stop(s, false);
    EXPECT_EQ(usbtest::liveAllocations("usbs"), 1);
}

TEST_F(Streams, FailingBulkStreamSetsThePipeFailureFlag) {
    UsbStream* s = create(0x82, 1, 64);
    ASSERT_EQ(USBSTRM_Start(s, 0, Recorder::data, nullptr, nullptr), STATUS_SUCCESS);
    h.camera().changeFaults([](sim::Faults& f) {
        f.failedTransfers = 2;
        f.failedTransfersEndpoint = 0x82;
    });
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&device->streams.pipeFailure) == 1; }));
    EXPECT_EQ(ReadAcquire(&s->active), 0);
    EXPECT_TRUE(Recorder::get().resetPhases().empty()) << "only the isochronous pipe is recovered";
    // A new stream starts with a clean flag.
    UsbStream* another = create(0x83, 2, 1);
    EXPECT_NE(another, nullptr);
    EXPECT_EQ(device->streams.pipeFailure, 0);
    USBSTRM_Stop(s, false);
}

// Holds the worker until released, then destroys the stream from it.
struct WorkerDestroy {
    KEVENT go;
    UsbStream* stream;
    volatile LONG done = 0;
};

void destroyOnWorker(DeviceContext*, PVOID context, PVOID) {
    auto* w = static_cast<WorkerDestroy*>(context);
    KeWaitForSingleObject(&w->go, Executive, KernelMode, FALSE, nullptr);
    USBSTRM_Destroy(&w->stream);
    InterlockedExchange(&w->done, 1);
}

TEST_F(Streams, StreamDestroyedWithARecoveryQueuedIsNeverTouchedAgain) {
    UsbStream* s = create(0x81, 8, 8);
    ASSERT_EQ(startIso(s), STATUS_SUCCESS);
    WorkerDestroy w;
    KeInitializeEvent(&w.go, NotificationEvent, FALSE);
    w.stream = s;
    ASSERT_TRUE(workerQueue(device, destroyOnWorker, &w, nullptr));
    // The recovery this queues waits behind the destroy.
    failIsoTransfers(2);
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&s->active) == 0; }));
    KeSetEvent(&w.go, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(waitFor([&] { return ReadAcquire(&w.done) == 1; }));
    EXPECT_EQ(w.stream, nullptr);
    // The recovery has run by now and found nothing to recover.
    // (The worker runs its items in order: one queued now runs after it.)
    ASSERT_TRUE(workerCaughtUp());
    EXPECT_TRUE(Recorder::get().resetPhases().empty());
    EXPECT_EQ(usbtest::liveBytes("usbs"), 0);
}

}  // namespace
