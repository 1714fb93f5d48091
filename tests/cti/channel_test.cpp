// The command transport as clients reach it: over a control channel (both
// transports) to the driver hosting a simulated camera, and a client process
// that dies holding the camera.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/channels/channel_fixture.h"
#include "tests/cti/cti_client.h"
#include "tests/support/camera_harness.h"
#include "tests/support/process.h"

namespace {

using namespace pav512;
using ctitest::Bytes;
using pavtest::Transport;

class ChannelTest : public ::testing::TestWithParam<Transport> {};

INSTANTIATE_TEST_SUITE_P(BothTransports, ChannelTest,
                         ::testing::Values(Transport::InProcess, Transport::Socket),
                         pavtest::transportName);

HANDLE openCamera() {
    auto paths = pavtest::listInterfaces();
    EXPECT_EQ(paths.size(), 1u);
    return paths.empty() ? INVALID_HANDLE_VALUE : pavtest::openChannel(paths[0]);
}

TEST_P(ChannelTest, ATransactionReadsRegistersAndAnObjectTableAsTheCameraHoldsThem) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    pavtest::TransportScope scope(GetParam());
    HANDLE channel = openCamera();
    ASSERT_NE(channel, INVALID_HANDLE_VALUE);

    Bytes open = ctitest::header(0, 1, 0, 0);
    DWORD returned = 0;
    ASSERT_TRUE(pavtest::call(channel, IOCTL_CTI_OPEN, open, &returned));
    ASSERT_EQ(open[0], kModuleStatusSuccess);
    const ULONG session = ctitest::u32(open, 16);

    const int memory = 0;
    Bytes table;
    h.camera().withStore([&](sim::ObjectStore& s) { table = s.memory(memory).objectTable(); });
    ASSERT_FALSE(table.empty());
    std::vector<ctitest::Block> blocks = {
        ctitest::controlIn(0x81, (0x06 << 8) | 3, 1),  // register 6 of space 3
        ctitest::controlIn(0x81, (0x06 << 8) | 2, 2),  // sensor type and revision
        ctitest::controlOut(0x85, memory << 8, {}),    // the object table, ready to read
        ctitest::bulkIn(table.size()),
    };
    Bytes t = ctitest::transaction(session, 1, 5, blocks);
    ASSERT_TRUE(pavtest::call(channel, IOCTL_CTI_TRANSACTION, t, &returned));
    EXPECT_EQ(returned, t.size());
    ASSERT_EQ(t[0], kModuleStatusSuccess);
    auto data = [&](std::size_t i, std::size_t n) {
        std::size_t at = ctitest::blockOffset(blocks, i) + 24;
        return Bytes(t.begin() + static_cast<std::ptrdiff_t>(at),
                     t.begin() + static_cast<std::ptrdiff_t>(at + n));
    };
    EXPECT_EQ(data(0, 1), Bytes{h.camera().registerValue(3, 6)});
    EXPECT_EQ(data(1, 2), Bytes({h.camera().registerValue(2, 6), h.camera().registerValue(2, 7)}));
    EXPECT_EQ(data(3, table.size()), table);
    EXPECT_EQ(ctitest::u32(t, ctitest::blockOffset(blocks, 3) + 12), table.size());

    Bytes close = ctitest::header(session);
    ASSERT_TRUE(pavtest::call(channel, IOCTL_CTI_CLOSE, close, &returned));
    EXPECT_EQ(close[0], kModuleStatusSuccess);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_TRUE(CloseHandle(channel));
}

TEST(DyingClient, AKilledClientsExclusiveLockedSessionIsClosedByTheHost) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    pavtest::TransportScope scope(Transport::Socket);

    pavtest::ChildProcess doomed({PAV_TEST_CTI_CLIENT, scope.socketPath()});
    std::string said = doomed.line();
    ASSERT_EQ(said.rfind("pending ", 0), 0u) << said;
    ASSERT_EQ(h.camera().alternateSetting(), 1);
    ASSERT_EQ(Camera_Acquire(d, 0), STATUS_DEVICE_NOT_READY) << "the session holds the camera";
    ASSERT_TRUE(pavtest::waitFor([&] { return ctitest::hasCurrentTransaction(d); }));

    EXPECT_TRUE(WIFSIGNALED(doomed.kill()));
    // The host cancels the pending transaction and closes the session as the
    // client would have.
    EXPECT_TRUE(pavtest::waitFor([&] { return ReadAcquire(&d->openSessions) == 0; }));
    EXPECT_TRUE(pavtest::waitFor([&] { return !ctitest::hasCurrentTransaction(d); }));
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_EQ(d->cti.lockSession, 0u);
    ASSERT_EQ(Camera_Acquire(d, 0), STATUS_SUCCESS) << "the camera was released";
    Camera_Release(d);

    // Another client gets an exclusive session at once.
    HANDLE channel = openCamera();
    ASSERT_NE(channel, INVALID_HANDLE_VALUE);
    Bytes open = ctitest::header(0, 7, 0, 1);
    DWORD returned = 0;
    ASSERT_TRUE(pavtest::call(channel, IOCTL_CTI_OPEN, open, &returned));
    EXPECT_EQ(open[0], kModuleStatusSuccess);
    Bytes close = ctitest::header(ctitest::u32(open, 16));
    EXPECT_TRUE(pavtest::call(channel, IOCTL_CTI_CLOSE, close, &returned));
    EXPECT_TRUE(CloseHandle(channel));
}

}  // namespace
