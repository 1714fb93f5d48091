// The PTP transport as clients reach it over the socket host: a client
// process that dies holding the PTP lock.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/channels/channel_fixture.h"
#include "tests/support/camera_harness.h"
#include "tests/support/process.h"

namespace {

using namespace pav512;

std::vector<std::uint8_t> header(std::uint32_t session) {
    std::vector<std::uint8_t> b(sizeof(PtpHeader), 0);
    b[0] = 0xFF;
    std::memcpy(b.data() + 4, &session, 4);
    return b;
}

TEST(DyingPtpClient, TheHostUnlocksAndClosesItsSessionAndAnotherClientLocksAtOnce) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    pavtest::TransportScope scope(pavtest::Transport::Socket);

    pavtest::ChildProcess doomed({PAV_TEST_PTP_CLIENT, scope.socketPath()});
    std::string said = doomed.line();
    ASSERT_EQ(said.rfind("locked ", 0), 0u) << said;
    ASSERT_NE(d->ptp.lockSession, 0u);
    ASSERT_EQ(h.camera().alternateSetting(), 1);
    ASSERT_EQ(d->openSessions, 1);

    EXPECT_TRUE(WIFSIGNALED(doomed.kill()));
    EXPECT_TRUE(pavtest::waitFor([&] { return d->openSessions == 0; }));
    EXPECT_EQ(d->ptp.lockSession, 0u);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    ASSERT_EQ(Camera_Acquire(d, 0), STATUS_SUCCESS) << "the camera was released";
    Camera_Release(d);

    auto paths = pavtest::listInterfaces();
    ASSERT_EQ(paths.size(), 1u);
    HANDLE channel = pavtest::openChannel(paths[0]);
    ASSERT_NE(channel, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    auto open = header(0);
    ASSERT_TRUE(pavtest::call(channel, IOCTL_PTP_OPEN, open, &returned));
    ASSERT_EQ(open[0], kModuleStatusSuccess);
    std::uint32_t session = 0;
    std::memcpy(&session, open.data() + 8, 4);
    auto lock = header(session);
    ASSERT_TRUE(pavtest::call(channel, IOCTL_PTP_LOCK, lock, &returned));
    EXPECT_EQ(lock[0], kModuleStatusSuccess);
    auto close = header(session);
    EXPECT_TRUE(pavtest::call(channel, IOCTL_PTP_CLOSE, close, &returned));
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_TRUE(CloseHandle(channel));
}

}  // namespace
