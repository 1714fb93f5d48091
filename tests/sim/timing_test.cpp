// The simulated host controller: frames, completion rules, bandwidth,
// stalls, cancellation, removal, resets and port cycles.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/kernel/clock.h"
#include "tests/sim/sim_test_util.h"
#include "tests/support/kernel_test.h"

using namespace simtest;

namespace {

class CountingSink : public usbbus::DeviceBackend::Sink {
  public:
    void deviceGone() override { ++gone; }
    std::atomic<int> gone{0};
};

sim::ObjectStore storeWithSound(std::size_t bytes) {
    sim::ObjectStore store;
    sim::StoredObject o;
    o.number = 1;
    o.kind = sim::ObjectKind::Sound;
    o.directoryEntry[0] = 2;
    o.sound.resize(bytes);
    for (std::size_t i = 0; i < bytes; ++i) o.sound[i] = static_cast<std::uint8_t>(i);
    store.memory(0).add(o);
    return store;
}

// Opens the sound recording and asks for `bytes` of it over bulk-in.
void prepareRead(Host& host, std::uint32_t bytes) {
    ASSERT_EQ(host.memoryCommand(0x03, 0, 0, be32(1)).status, USBD_STATUS_SUCCESS);
    auto cmd = be32(1);
    auto l = be32(bytes);
    cmd.insert(cmd.end(), l.begin(), l.end());
    ASSERT_EQ(host.memoryCommand(0x05, 0, sim::kItemSound, cmd).status, USBD_STATUS_SUCCESS);
}

TEST(SimTiming, IsochronousTransfersTakeOneFramePerPacketBackToBack) {
    kclock::setScale(1);  // the second transfer must be queued before the first ends
    Host host(quickScenario());
    ASSERT_EQ(host.select(7), USBD_STATUS_SUCCESS);
    AsyncTransfer a, b;
    a.iso(8, 1023);
    b.iso(16, 1023);
    ULONG before = host.camera().currentFrame();
    ASSERT_EQ(a.submit(host.camera()), USBD_STATUS_PENDING);
    ASSERT_EQ(b.submit(host.camera()), USBD_STATUS_PENDING);
    ASSERT_TRUE(a.wait());
    ASSERT_TRUE(b.wait());
    ULONG after = host.camera().currentFrame();
    EXPECT_FALSE(a.completedInsideSubmit());
    EXPECT_EQ(a.completions(), 1);
    EXPECT_EQ(a.t().status, USBD_STATUS_SUCCESS);
    EXPECT_GT(a.t().startFrame, before) << "the first packet goes out in a later frame";
    EXPECT_EQ(b.t().startFrame, a.t().startFrame + 8)
        << "transfers follow each other without a gap";
    EXPECT_GE(after, b.t().startFrame + 15) << "16 packets took 16 frames";
}

TEST(SimTiming, BulkMovesAtMost19PacketsPerFrameUnlessUnthrottled) {
    constexpr std::uint32_t kBytes = 128 * 1024;
    Host host(quickScenario(), storeWithSound(kBytes));
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    prepareRead(host, kBytes);
    ULONG before = host.camera().currentFrame();
    ControlResult r = host.bulkIn(kBytes);
    ULONG frames = host.camera().currentFrame() - before;
    ASSERT_EQ(r.data.size(), kBytes);
    EXPECT_EQ(r.data[1000], static_cast<std::uint8_t>(1000));
    EXPECT_EQ(host.camera().counters().maxBulkPacketsAtOnce, 19u);
    EXPECT_GE(frames, kBytes / (19 * 64)) << "full-speed bulk rate";

    sim::Scenario fast = quickScenario();
    fast.timing.throttled = false;
    Host quick(fast, storeWithSound(kBytes));
    ASSERT_EQ(quick.select(1), USBD_STATUS_SUCCESS);
    prepareRead(quick, kBytes);
    ASSERT_EQ(quick.bulkIn(kBytes).data.size(), kBytes);
    EXPECT_EQ(quick.camera().counters().maxBulkPacketsAtOnce, kBytes / 64)
        << "the whole transfer went as soon as the camera's thread took it";
}

TEST(SimTiming, BandwidthLimitAndRefusedSettings) {
    sim::Scenario s = quickScenario();
    s.maxAlternate = 3;
    s.faults.refusedAlternates = {2};
    Host host(s);
    ASSERT_EQ(host.select(3), USBD_STATUS_SUCCESS);
    for (int alt : {4, 7, 2}) EXPECT_EQ(host.select(alt), USBD_STATUS_NO_BANDWIDTH) << alt;
    EXPECT_EQ(host.camera().alternateSetting(), 3) << "a refused setting leaves the previous one";
    EXPECT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.select(8), USBD_STATUS_INVALID_PARAMETER);
}

TEST(SimTiming, SubmissionsForPipesThatDoNotExistAreRefusedAtOnce) {
    Host host(quickScenario());
    AsyncTransfer x;
    x.bulk(sim::kBulkInEndpoint, 64);
    EXPECT_EQ(x.submit(host.camera()), USBD_STATUS_INVALID_PIPE_HANDLE) << "unconfigured";
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    AsyncTransfer iso;
    iso.iso(8, 1023);
    EXPECT_EQ(iso.submit(host.camera()), USBD_STATUS_INVALID_PIPE_HANDLE)
        << "no isochronous pipe at setting 1";
    ASSERT_EQ(host.select(2), USBD_STATUS_SUCCESS);
    iso.t().numberOfPackets = 0;
    EXPECT_EQ(iso.submit(host.camera()), USBD_STATUS_INVALID_PARAMETER);
    AsyncTransfer wrongType;
    wrongType.bulk(sim::kIsoEndpoint, 64);
    EXPECT_EQ(wrongType.submit(host.camera()), USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host.camera().pendingTransfers(), 0u);
    EXPECT_EQ(x.completions() + iso.completions() + wrongType.completions(), 0);
}

TEST(SimTiming, StalledEndpointFailsUntilClearHalt) {
    Host host(quickScenario(), storeWithSound(4096));
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    host.camera().stallEndpoint(sim::kBulkInEndpoint);
    prepareRead(host, 512);
    EXPECT_EQ(host.bulkIn(512).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(host.bulkIn(512).status, USBD_STATUS_STALL_PID) << "the halt stays";
    ASSERT_EQ(host.camera().clearHalt(sim::kBulkInEndpoint), USBD_STATUS_SUCCESS);
    prepareRead(host, 512);
    EXPECT_EQ(host.bulkIn(512).status, USBD_STATUS_SUCCESS);
    // The standard request does the same over the default pipe.
    host.camera().stallEndpoint(sim::kBulkOutEndpoint);
    EXPECT_EQ(host.control(0x82, 0, 0, sim::kBulkOutEndpoint, {}, 2).data,
              (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(host.control(0x02, 1, 0, sim::kBulkOutEndpoint, {}, 0).status, USBD_STATUS_SUCCESS);
    EXPECT_FALSE(host.camera().halted(sim::kBulkOutEndpoint));
}

TEST(SimTiming, CancelEndsAPendingTransferOnce) {
    Host host(quickScenario());
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    AsyncTransfer x;
    x.bulk(sim::kBulkInEndpoint, 512);
    ASSERT_EQ(x.submit(host.camera()), USBD_STATUS_PENDING);
    kclock::sleepMs(20);
    EXPECT_FALSE(x.completed()) << "nothing to read";
    host.camera().cancel(&x.t());
    ASSERT_TRUE(x.wait());
    EXPECT_EQ(x.t().status, USBD_STATUS_CANCELED);
    host.camera().cancel(&x.t());
    kclock::sleepMs(10);
    EXPECT_EQ(x.completions(), 1);
}

TEST(SimTiming, SurpriseRemovalEndsEverythingAndTellsTheSink) {
    Host host(quickScenario());
    CountingSink sink;
    host.camera().attach(&sink);
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    AsyncTransfer in, irq;
    in.bulk(sim::kBulkInEndpoint, 64);
    irq.interrupt(8);
    ASSERT_EQ(in.submit(host.camera()), USBD_STATUS_PENDING);
    ASSERT_EQ(irq.submit(host.camera()), USBD_STATUS_PENDING);
    host.camera().unplug();
    ASSERT_TRUE(in.wait());
    ASSERT_TRUE(irq.wait());
    EXPECT_EQ(in.t().status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(irq.t().status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(pavtest::waitFor([&] { return sink.gone.load() == 1; }));
    EXPECT_EQ(host.vendorIn(0x84, 0, 22).status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(host.camera().setInterface(0, 1), USBD_STATUS_DEVICE_GONE);
    EXPECT_FALSE(host.camera().reenumerate()) << "an unplugged camera does not come back";
    host.camera().attach(nullptr);
}

TEST(SimTiming, ResetAndPortCycle) {
    sim::Scenario s = quickScenario();
    s.timing.bootDelayMs = 200;
    Host host(s);
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    AsyncTransfer x;
    x.bulk(sim::kBulkInEndpoint, 64);
    ASSERT_EQ(x.submit(host.camera()), USBD_STATUS_PENDING);
    ASSERT_EQ(host.camera().resetPort(), USBD_STATUS_SUCCESS);
    ASSERT_TRUE(x.wait());
    EXPECT_EQ(x.t().status, USBD_STATUS_CANCELED);
    EXPECT_EQ(host.camera().configuration(), 0);

    host.waitBooted();
    ASSERT_EQ(host.writeRegister(1, 0x40, 0x77), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(x.submit(host.camera()), USBD_STATUS_PENDING);
    ASSERT_EQ(host.camera().cyclePort(), USBD_STATUS_SUCCESS);
    ASSERT_TRUE(x.wait());
    EXPECT_EQ(x.t().status, USBD_STATUS_DEVICE_GONE);
    EXPECT_FALSE(host.camera().present());
    EXPECT_EQ(host.vendorIn(0x84, 0, 22).status, USBD_STATUS_DEVICE_GONE);
    ASSERT_TRUE(host.camera().reenumerate());
    EXPECT_TRUE(host.camera().present());
    EXPECT_EQ(host.camera().configuration(), 0);
    EXPECT_NE(host.readRegister(0, 0), sim::kBootedState) << "the camera boots again";
    EXPECT_EQ(host.readRegister(1, 0x40), 0) << "registers start afresh";
}

TEST(SimTiming, ACompletionRoutineMayDestroyTheCamera) {
    struct Context {
        std::shared_ptr<sim::SimCamera> camera;
        std::atomic<bool> done{false};
    } context;
    context.camera = std::make_shared<sim::SimCamera>(quickScenario());
    std::vector<std::uint8_t> buffer(18);
    usbbus::Transfer t;
    const std::uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
    std::copy(setup, setup + 8, t.setup);
    t.buffer = buffer.data();
    t.length = 18;
    t.context = &context;
    t.complete = [](usbbus::Transfer*, void* c) {
        auto* x = static_cast<Context*>(c);
        x->camera.reset();  // the last reference goes on the camera's own thread
        x->done = true;
    };
    {
        std::shared_ptr<sim::SimCamera> keep = context.camera;
        ASSERT_EQ(keep->submit(&t), USBD_STATUS_PENDING);
    }
    ASSERT_TRUE(pavtest::waitFor([&] { return context.done.load(); }));
    EXPECT_EQ(t.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 18);
}

}  // namespace
