// The video-capture lock between processes of the shared library: one holder
// system-wide, and a holder killed with the lock loses it once its heartbeat
// is more than a second old.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "library/device/device_registry.h"
#include "library/device/library.h"
#include "pav512u/pavpi.h"
#include "tests/channels/channel_fixture.h"
#include "tests/channels/fake_driver.h"
#include "tests/support/kernel_test.h"
#include "tests/support/process.h"

namespace pavtest {
namespace {

ChildProcess client(const std::string& command, std::uint32_t camera) {
    return ChildProcess({PAV_VPI_CLIENT, command, std::to_string(camera)});
}

std::string statuses(PAVPI_STATUS open, PAVPI_STATUS lock) {
    return "open " + std::to_string(open) + " lock " + std::to_string(lock);
}

TEST(VfwLockProcesses, ASecondProcessFindsItInUseUntilTheKilledHolderIsASecondStale) {
    // Two cameras served on the host's socket, numbered 1 and 2 for this user.
    auto first = FakeDriver::create("USB\\VID_F1A5&PID_0B2D\\vfw-1");
    auto second = FakeDriver::create("USB\\VID_F1A5&PID_0B2D\\vfw-2");
    ASSERT_TRUE(first && second);
    TransportScope transport(Transport::Socket);
    ASSERT_NE(transport.server(), nullptr);
    pavu::processAttach();
    pavu::refreshDeviceRegistry();
    char path[pavu::kPathRoom];
    ASSERT_NE(pavu::pathOfCameraNumber(2, path, sizeof path), 0u);

    ChildProcess holder = client("lock", 1);
    ASSERT_EQ(holder.line(), statuses(0, 0));
    ChildProcess other = client("try", 2);
    EXPECT_EQ(other.line(), statuses(0, PAVPI_STATUS_IN_USE));
    other.wait();

    // This process, through the library linked in, sees the same lock.
    PAVPI_HANDLE h = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(2, &h), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(PAVPI_HandleLockVfWOpen(h), PAVPI_STATUS_IN_USE);
    // Unlocking from a handle of another camera number is refused.
    EXPECT_EQ(PAVPI_HandleUnLockVfWOpen(h), PAVPI_STATUS_BAD_PARAMETER);

    holder.kill();
    DWORD killed = GetTickCount();
    EXPECT_TRUE(waitFor([&] { return PAVPI_HandleLockVfWOpen(h) == PAVPI_STATUS_SUCCESS; }));
    // Its last heartbeat came at most 250 ms before it died.
    EXPECT_GE(GetTickCount() - killed, 750u);
    ChildProcess late = client("try", 1);
    EXPECT_EQ(late.line(), statuses(0, PAVPI_STATUS_IN_USE));
    late.wait();
    EXPECT_EQ(PAVPI_HandleClose(&h), PAVPI_STATUS_SUCCESS);
    ChildProcess after = client("try", 1);
    EXPECT_EQ(after.line(), statuses(0, 0));
    after.wait();
    pavu::processDetach();
}

}  // namespace
}  // namespace pavtest
