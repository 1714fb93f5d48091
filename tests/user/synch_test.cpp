// The user model across processes: named mutexes that every process of the
// same host shares and that a killed holder never leaves taken, the shared
// data section, one tick count for all processes; within a process, handle
// duplication and waits on 64 handles.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/handles.h"
#include "platform/user/shared_area.h"
#include "platform/user/synch.h"
#include "tests/support/kernel_test.h"
#include "tests/support/process.h"

namespace pavtest {
namespace {

ChildProcess child(std::vector<std::string> args) {
    args.insert(args.begin(), PAV_USER_CHILD);
    return ChildProcess(std::move(args));
}

TEST(NamedMutex, AHolderKilledWithTheMutexLeavesItAbandonedToTheNextWaiter) {
    HANDLE m = CreateMutexA(nullptr, FALSE, "PAV_REGISTRY_ACCESS");
    ASSERT_NE(m, nullptr);
    ChildProcess holder = child({"hold", "PAV_REGISTRY_ACCESS"});
    ASSERT_EQ(holder.line(), "held");
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(m, 50), WAIT_TIMEOUT);
    holder.kill();
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_ABANDONED);
    // Owned now, and recursively so, as the platform's mutexes are.
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    // And another process can take it again.
    ChildProcess next = child({"hold", "PAV_REGISTRY_ACCESS"});
    EXPECT_EQ(next.line(), "held");
    CloseHandle(m);
}

TEST(NamedMutex, ExistsForEveryProcessOfTheHostWhileOneHasItAndUnnamedOnesStayApart) {
    HANDLE m = CreateMutexA(nullptr, TRUE, "PAV512_VPI_MUTEX");
    ASSERT_NE(m, nullptr);
    EXPECT_NE(GetLastError(), ERROR_ALREADY_EXISTS);
    ChildProcess other = child({"create", "PAV512_VPI_MUTEX"});
    EXPECT_EQ(other.line(), "existed");
    ChildProcess fresh = child({"create", "SOMETHING_ELSE"});
    EXPECT_EQ(fresh.line(), "new");
    // Created owned: another thread of this process waits in vain.
    DWORD seen = 0;
    std::thread t([&] { seen = WaitForSingleObject(m, 0); });
    t.join();
    EXPECT_EQ(seen, WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(m));

    HANDLE a = CreateMutexA(nullptr, TRUE, nullptr);
    HANDLE b = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_TRUE(a && b);
    std::thread u([&] { seen = WaitForSingleObject(b, 0); });
    u.join();
    EXPECT_EQ(seen, WAIT_OBJECT_0);  // b is not a
    // A mutex is waited for alone.
    HANDLE both[2] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(m);
}

TEST(SharedSection, IsOneForAllProcessesAndStartsClearWhenNoProcessHasIt) {
    {
        ChildProcess writer = child({"write", "0x5A5A1234"});
        ASSERT_EQ(writer.line(), "written");
        // This process attaches while the writer still has the area.
        auto* word = static_cast<std::uint32_t*>(ushared::dataSection());
        ASSERT_NE(word, nullptr);
        EXPECT_EQ(*word, 0x5A5A1234u);
        ChildProcess reader = child({"read"});
        EXPECT_EQ(reader.line(), std::to_string(0x5A5A1234u));
        *word = 7;
        ChildProcess again = child({"read"});
        EXPECT_EQ(again.line(), "7");
    }
}

TEST(SharedSection, AProcessAloneStartsItAfresh) {
    // Children of a host of their own, whose area this process never attached.
    const std::string ownDir = privateDir() + "/alone";
    const std::string previous = std::getenv("PAV512_RUNTIME_DIR");
    ::setenv("PAV512_RUNTIME_DIR", ownDir.c_str(), 1);
    ChildProcess writer = child({"write", "99"});
    ASSERT_EQ(writer.line(), "written");
    writer.kill();
    // The writer was killed and nobody else had the area: the next one to
    // come finds it clear.
    ChildProcess reader = child({"read"});
    EXPECT_EQ(reader.line(), "0");
    ::setenv("PAV512_RUNTIME_DIR", previous.c_str(), 1);
}

TEST(SharedSection, LivesBesideThePerUserHostAndIsOpenToItsGroup) {
    const std::string previous = std::getenv("PAV512_RUNTIME_DIR");
    ::unsetenv("PAV512_RUNTIME_DIR");
    const std::string xdg = std::getenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(ushared::areaDirectory(), xdg + "/pav512");
    ::setenv("PAV512_RUNTIME_DIR", previous.c_str(), 1);
    EXPECT_EQ(ushared::areaDirectory(), previous);
    ChildProcess reader = child({"read"});
    ASSERT_FALSE(reader.line().empty());
    struct stat st {};
    ASSERT_EQ(::stat((previous + "/" + ushared::kAreaFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
}

TEST(TickCount, IsTheSameCountInEveryProcess) {
    DWORD before = GetTickCount();
    ChildProcess ticker = child({"tick"});
    std::string line = ticker.line();
    DWORD after = GetTickCount();
    ASSERT_FALSE(line.empty());
    auto theirs = static_cast<DWORD>(std::stoul(line));
    EXPECT_LE(before, theirs);
    EXPECT_LE(theirs, after);
}

TEST(Handles, ADuplicateOutlivesTheOriginalAndWaitsTakeSixtyFourHandles) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_NE(copy, e);
    EXPECT_TRUE(SetEvent(copy));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(e));
    EXPECT_TRUE(ResetEvent(copy));
    EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(copy));
    HANDLE none = nullptr;
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), copy, GetCurrentProcess(), &none, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS));

    std::vector<HANDLE> events;
    for (int i = 0; i < 65; ++i) events.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    SetEvent(events[63]);
    EXPECT_EQ(WaitForMultipleObjects(64, events.data(), FALSE, 0), WAIT_OBJECT_0 + 63);
    EXPECT_EQ(WaitForMultipleObjects(65, events.data(), FALSE, 0), WAIT_FAILED);
    for (HANDLE h : events) CloseHandle(h);
}

}  // namespace
}  // namespace pavtest
