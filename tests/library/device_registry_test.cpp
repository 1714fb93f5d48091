// Camera numbers and control channels over two simulated cameras: dense
// numbers in the order the paths were first seen and never taken back, the
// direct and search forms of opening, a refresh at most once a second; and
// the registry key wrapper the library keeps its values with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library/device/device_registry.h"
#include "library/device/library.h"
#include "library/device/registry_key.h"
#include "tests/channels/channel_client.h"
#include "tests/library/cameras.h"
#include "tests/support/kernel_test.h"

namespace pavtest {
namespace {

using namespace pavu;

class LibraryLoaded : public ::testing::Test {
  protected:
    void SetUp() override { processAttach(); }
    void TearDown() override { processDetach(); }
};

// Runs refreshes until one gets past the once-a-second limit.
void refreshNow() {
    unsigned before = refreshCount();
    EXPECT_TRUE(waitFor([&] {
        refreshDeviceRegistry();
        return refreshCount() > before;
    }));
}

std::string pathOf(DWORD n) {
    char path[kPathRoom];
    DWORD length = pathOfCameraNumber(n, path, sizeof path);
    return length ? std::string(path, length) : std::string();
}

// Opens camera `n` by the given form and answers the number opened (0: none).
DWORD open(DWORD n, bool search) {
    HANDLE channel = reinterpret_cast<HANDLE>(1);
    DWORD opened = 0;
    bool ok = openControlChannel(&channel, n, search, &opened);
    EXPECT_EQ(ok, channel != INVALID_HANDLE_VALUE);
    if (ok) CloseHandle(channel);
    return ok ? opened : 0;
}

using DeviceRegistry = LibraryLoaded;

TEST_F(DeviceRegistry, TwoCamerasKeepTheirNumbersAcrossUnpluggingAndAnotherPortGetsANewOne) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("first"));
    ASSERT_TRUE(cameras.plug("second"));
    std::vector<std::string> present = listInterfaces();
    ASSERT_EQ(present.size(), 2u);
    refreshNow();
    // Numbers in enumeration order.
    EXPECT_EQ(pathOf(1), present[0]);
    EXPECT_EQ(pathOf(2), present[1]);
    EXPECT_EQ(pathOf(3), "");
    EXPECT_EQ(open(0, true), 1u);
    EXPECT_EQ(open(2, false), 2u);

    cameras.unplug("first");
    refreshNow();
    // Number 1 stays registered though absent; a search passes over it.
    EXPECT_EQ(pathOf(1), present[0]);
    EXPECT_EQ(open(1, false), 0u);
    EXPECT_EQ(open(0, true), 2u);
    EXPECT_EQ(open(1, true), 2u);

    // The same camera on another port has another path: a new number.
    ASSERT_TRUE(cameras.plug("first", 2));
    refreshNow();
    std::string moved = pathOf(3);
    EXPECT_FALSE(moved.empty());
    EXPECT_NE(moved, present[0]);
    EXPECT_EQ(open(3, false), 3u);
    // Back in its first port it gets its old number again.
    ASSERT_TRUE(cameras.plug("first"));
    refreshNow();
    EXPECT_EQ(pathOf(4), "");
    EXPECT_EQ(open(1, false), 1u);
    // Beyond the last registered number nothing is found, cameras or not.
    EXPECT_EQ(open(4, true), 0u);
    EXPECT_EQ(open(4, false), 0u);
}

TEST_F(DeviceRegistry, OpensWithinASecondRefreshOnce) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("first"));
    refreshNow();
    unsigned before = refreshCount();
    DWORD start = GetTickCount();
    EXPECT_EQ(open(1, false), 1u);
    EXPECT_EQ(open(0, true), 1u);
    // (Only meaningful when the two opens did fit in the second.)
    if (GetTickCount() - start < 1000) {
        EXPECT_EQ(refreshCount(), before);
    }
    refreshNow();
    EXPECT_EQ(open(1, false), 1u);
}

TEST_F(DeviceRegistry, NumbersAreDenseAndPathsCompareExactly) {
    // Other tests of this process may have registered cameras already.
    DWORD first = numberForPath("\\\\?\\a");
    ASSERT_GE(first, 1u);
    EXPECT_EQ(pathOf(first), "");
    registerPath("\\\\?\\a");
    registerPath("\\\\?\\b");
    registerPath("\\\\?\\a");
    EXPECT_EQ(pathOf(first), "\\\\?\\a");
    EXPECT_EQ(pathOf(first + 1), "\\\\?\\b");
    EXPECT_EQ(numberForPath("\\\\?\\a"), 0u);
    EXPECT_EQ(numberForPath("\\\\?\\A"), first + 2);  // case counts
    // A search over registered paths that do not open finds nothing.
    EXPECT_EQ(open(first, true), 0u);
}

TEST(RegistryKeyWrapper, ReadsOnlyTheRightTypesAndFailsWhenNotOpen) {
    RegistryKey closed;
    char text[16];
    DWORD number = 0;
    EXPECT_FALSE(closed.writeNumber("x", 1));
    EXPECT_EQ(closed.readString("x", text, sizeof text), 0u);
    EXPECT_FALSE(closed.watch(CreateEventA(nullptr, TRUE, FALSE, nullptr)));

    RegistryKey key;
    EXPECT_FALSE(key.open(HKEY_CURRENT_USER, "Software\\Nowhere", false, false));
    ASSERT_TRUE(key.open(HKEY_CURRENT_USER, "Software\\Veltra\\Test", true, false));
    EXPECT_TRUE(key.writeString("name", "camera"));
    EXPECT_TRUE(key.writeNumber("count", 7));
    EXPECT_EQ(key.readString("name", text, sizeof text), 7u);  // with the terminator
    EXPECT_STREQ(text, "camera");
    EXPECT_EQ(key.readString("count", text, sizeof text), 0u);
    EXPECT_TRUE(key.readNumber("count", &number));
    EXPECT_EQ(number, 7u);
    EXPECT_FALSE(key.readNumber("name", &number));
    std::uint8_t two[2] = {1, 2};
    ASSERT_EQ(RegSetValueExA(reinterpret_cast<HKEY>(HKEY_CURRENT_USER), "x", 0, REG_DWORD, two, 2),
              ERROR_SUCCESS);
    RegistryKey root;
    ASSERT_TRUE(root.open(HKEY_CURRENT_USER, "", false, true));
    EXPECT_FALSE(root.readNumber("x", &number));  // a DWORD of two bytes is no number
    EXPECT_FALSE(root.writeNumber("y", 1));       // read-only

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(key.watch(nullptr));
    ASSERT_TRUE(key.watch(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    RegistryKey writer;
    ASSERT_TRUE(writer.open(HKEY_CURRENT_USER, "Software\\Veltra\\Test", false, false));
    EXPECT_TRUE(writer.writeNumber("count", 8));
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    // Closing a watched key signals its event as well.
    ResetEvent(event);
    ASSERT_TRUE(key.watch(event));
    key.close();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

}  // namespace
}  // namespace pavtest
