// The user model across processes: named mutexes that every process of the
// same host shares and that a killed holder never leaves taken, the shared
// data section, one tick count for all processes; within a process, handle
// duplication and waits on 64 handles.
#include "platform/user/synch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/handles.h"
#include "platform/user/runtime_dir.h"
#include "platform/user/shared_area.h"
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

// Without any runtime directory (no XDG_RUNTIME_DIR, as in a container),
// processes still share their named objects, in a folder under /tmp that only
// the user may change; one there that others may change, a link, a file or
// another user's folder is never used.
TEST(SharedSection, WithNoRuntimeDirectoryLivesInAFolderOnlyTheUserMayChange) {
    char parentTemplate[] = "/tmp/pav-private-XXXXXX";
    ASSERT_NE(::mkdtemp(parentTemplate), nullptr);
    const std::string parent = parentTemplate;
    const std::string folder = parent + "/pav512-" + std::to_string(::getuid());
    EXPECT_EQ(uruntime::privateFolderIn(parent), folder);
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(uruntime::privateFolderIn(parent), folder) << "found again as it was left";
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    EXPECT_EQ(uruntime::privateFolderIn(parent), folder) << "others may look, not change";
    ASSERT_EQ(::chmod(folder.c_str(), 0775), 0);
    EXPECT_EQ(uruntime::privateFolderIn(parent), "") << "its group may change it";
    ASSERT_EQ(::chmod(folder.c_str(), 0703), 0);
    EXPECT_EQ(uruntime::privateFolderIn(parent), "") << "others may change it";
    if (::geteuid() == 0) {
        ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        EXPECT_EQ(uruntime::privateFolderIn(parent), "") << "another user's";
    }
    ASSERT_EQ(::rmdir(folder.c_str()), 0);
    const std::string elsewhere = parent + "/elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), folder.c_str()), 0);
    EXPECT_EQ(uruntime::privateFolderIn(parent), "") << "a link";
    ASSERT_EQ(::unlink(folder.c_str()), 0);
    ASSERT_EQ(::close(::open(folder.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    EXPECT_EQ(uruntime::privateFolderIn(parent), "") << "a file";
    ASSERT_EQ(::unlink(folder.c_str()), 0);
    ASSERT_EQ(::rmdir(elsewhere.c_str()), 0);
    ASSERT_EQ(::rmdir(parent.c_str()), 0);

    const std::string runtime = std::getenv("PAV512_RUNTIME_DIR");
    const std::string xdg = std::getenv("XDG_RUNTIME_DIR");
    ::unsetenv("PAV512_RUNTIME_DIR");
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string fallback = "/tmp/pav512-" + std::to_string(::getuid()) + "/pav512";
    EXPECT_EQ(ushared::areaDirectory(), fallback);
    // Two processes with no runtime directory see the same mutex.
    ChildProcess holder = child({"hold", "PAV_NO_RUNTIME_DIRECTORY"});
    const std::string held = holder.line();
    ChildProcess second = child({"create", "PAV_NO_RUNTIME_DIRECTORY"});
    const std::string seen = second.line();
    holder.kill();
    ::setenv("PAV512_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
    EXPECT_EQ(held, "held");
    EXPECT_EQ(seen, "existed");
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
