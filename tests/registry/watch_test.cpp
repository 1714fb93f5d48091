// Watchers: what wakes them, in this process and from another one.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel/registry.h"
#include "platform/registry/hives.h"
#include "platform/registry/store.h"
#include "platform/user/handles.h"
#include "platform/user/registry_api.h"
#include "tests/support/kernel_test.h"

namespace {

using regstore::Create;
using regstore::Key;
using regstore::Status;
using regstore::Store;

std::shared_ptr<Store> openStore() {
    std::shared_ptr<Store> s;
    EXPECT_EQ(Store::open(pavtest::privateDir() + "/watch.db", &s), Status::Ok);
    return s;
}

// Counts the calls of one watch.
struct Counter {
    std::atomic<int> calls{0};
    regstore::WatchId id = 0;
    bool keep = true;
    regstore::WatchCallback callback() {
        return [this] {
            calls.fetch_add(1);
            return keep;
        };
    }
};

bool reaches(const std::atomic<int>& n, int value) {
    return pavtest::waitFor([&] { return n.load() >= value; });
}

TEST(RegistryWatch, WatchersHearWhatTheyAskFor) {
    auto store = openStore();
    Key w, c;
    ASSERT_EQ(store->createKey(store->root(), "W\\C", Create::WithParents, &c), Status::Ok);
    ASSERT_EQ(store->openKey(store->root(), "w", &w), Status::Ok);
    Counter plain, subtree, names, child;
    ASSERT_EQ(store->watch(w, false, regstore::kNotifyLastSet, plain.callback(), &plain.id),
              Status::Ok);
    ASSERT_EQ(store->watch(w, true, regstore::kNotifyLastSet, subtree.callback(), &subtree.id),
              Status::Ok);
    ASSERT_EQ(store->watch(w, false, regstore::kNotifyName, names.callback(), &names.id),
              Status::Ok);
    ASSERT_EQ(store->watch(c, false, regstore::kNotifyLastSet, child.callback(), &child.id),
              Status::Ok);

    // Each step waits for a watcher that must fire; the others were judged on
    // the same change in the same round, so their counts are final.
    ASSERT_EQ(regstore::setDword(*store, c, "v", 1), Status::Ok);
    ASSERT_TRUE(reaches(child.calls, 1));
    EXPECT_EQ(subtree.calls, 1);
    EXPECT_EQ(plain.calls, 0);
    EXPECT_EQ(names.calls, 0);

    ASSERT_EQ(regstore::setDword(*store, w, "v", 1), Status::Ok);
    ASSERT_TRUE(reaches(plain.calls, 1));
    EXPECT_EQ(subtree.calls, 2);
    EXPECT_EQ(names.calls, 0);
    EXPECT_EQ(child.calls, 1);

    Key added;
    ASSERT_EQ(store->createKey(w, "Added", Create::ParentMustExist, &added), Status::Ok);
    ASSERT_TRUE(reaches(names.calls, 1));
    EXPECT_EQ(plain.calls, 1);  // a new subkey is not a value change

    // Deleting a key wakes its own watchers whatever their filter.
    ASSERT_EQ(store->deleteKey(w, "C"), Status::Ok);
    ASSERT_TRUE(reaches(child.calls, 2));
    ASSERT_TRUE(reaches(names.calls, 2));
    EXPECT_EQ(plain.calls, 1);

    for (Counter* k : {&plain, &subtree, &names, &child}) store->unwatch(k->id);
}

TEST(RegistryWatch, OneShotUnwatchedAndEarlierChangesStayQuiet) {
    auto store = openStore();
    Key a, b;
    ASSERT_EQ(store->createKey(store->root(), "A", Create::WithParents, &a), Status::Ok);
    ASSERT_EQ(store->createKey(store->root(), "B", Create::WithParents, &b), Status::Ok);

    ASSERT_EQ(regstore::setDword(*store, a, "before", 1), Status::Ok);
    Counter late, sentinel;
    ASSERT_EQ(store->watch(a, false, regstore::kNotifyAll, late.callback(), &late.id), Status::Ok);
    ASSERT_EQ(store->watch(b, false, regstore::kNotifyAll, sentinel.callback(), &sentinel.id),
              Status::Ok);
    ASSERT_EQ(regstore::setDword(*store, b, "x", 1), Status::Ok);
    ASSERT_TRUE(reaches(sentinel.calls, 1));
    EXPECT_EQ(late.calls, 0);  // the change made before it was armed

    Counter once, removed;
    once.keep = false;
    ASSERT_EQ(store->watch(a, false, regstore::kNotifyAll, once.callback(), &once.id), Status::Ok);
    ASSERT_EQ(store->watch(a, false, regstore::kNotifyAll, removed.callback(), &removed.id),
              Status::Ok);
    store->unwatch(removed.id);
    ASSERT_EQ(regstore::setDword(*store, a, "x", 1), Status::Ok);
    ASSERT_TRUE(reaches(late.calls, 1));
    ASSERT_TRUE(reaches(once.calls, 1));
    ASSERT_EQ(regstore::setDword(*store, a, "x", 2), Status::Ok);
    ASSERT_TRUE(reaches(late.calls, 2));
    EXPECT_EQ(once.calls, 1);     // answered false: gone after its first call
    EXPECT_EQ(removed.calls, 0);  // unwatched before any change
    store->unwatch(late.id);
    store->unwatch(sentinel.id);

    Counter bad;
    regstore::WatchId id;
    EXPECT_EQ(store->watch(a, false, 0, bad.callback(), &id), Status::InvalidArgument);
    EXPECT_EQ(store->watch(a, false, 0x10, bad.callback(), &id), Status::InvalidArgument);
}

TEST(RegistryWatch, UnwatchWaitsForARunningCallback) {
    auto store = openStore();
    Key k;
    ASSERT_EQ(store->createKey(store->root(), "K", Create::WithParents, &k), Status::Ok);
    std::atomic<bool> started{false}, finished{false};
    regstore::WatchId id;
    ASSERT_EQ(store->watch(
                  k, false, regstore::kNotifyAll,
                  [&] {
                      started = true;
                      std::this_thread::sleep_for(std::chrono::milliseconds(200));
                      finished = true;
                      return true;
                  },
                  &id),
              Status::Ok);
    ASSERT_EQ(regstore::setDword(*store, k, "v", 1), Status::Ok);
    ASSERT_TRUE(pavtest::waitFor([&] { return started.load(); }));
    store->unwatch(id);
    EXPECT_TRUE(finished);
}

// A process of its own: waits for the go byte, runs `work`, answers with one
// byte, and ends without running anything of the parent's test.
pid_t forkChild(int* go, int* done, const std::function<bool()>& work) {
    int toChild[2], toParent[2];
    if (pipe(toChild) != 0 || pipe(toParent) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(toChild[1]);
        close(toParent[0]);
        char c;
        if (read(toChild[0], &c, 1) != 1) _exit(2);
        bool ok = work();
        c = ok ? 1 : 0;
        if (write(toParent[1], &c, 1) != 1) _exit(3);
        _exit(ok ? 0 : 1);
    }
    close(toChild[0]);
    close(toParent[1]);
    *go = toChild[1];
    *done = toParent[0];
    return pid;
}

// The driver host increments the camera-change counter; a client process
// watching the key hears of it.
TEST(RegistryWatch, AChangeInAnotherProcessWakesAWatcherWithinASecond) {
    const char16_t* path =
        u"\\Registry\\Machine\\Software\\Veltra\\USB Camera (PAV512)\\CameraChange";
    int go = -1, done = -1;
    // Forked before this process starts any thread.
    pid_t pid = forkChild(&go, &done, [&] {
        ULONG count = 1;
        return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, u"CameraChange", REG_DWORD,
                                     &count, sizeof count) == STATUS_SUCCESS;
    });
    ASSERT_GT(pid, 0);

    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Veltra\\USB Camera (PAV512)\\CameraChange",
                        0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE),
              ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    char c = 1;
    ASSERT_EQ(write(go, &c, 1), 1);
    ASSERT_EQ(read(done, &c, 1), 1);
    EXPECT_EQ(c, 1) << "the child could not write the counter";
    auto committed = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_LT(std::chrono::steady_clock::now() - committed, std::chrono::seconds(1));

    DWORD count = 0, size = sizeof count, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "CameraChange", nullptr, &type, reinterpret_cast<BYTE*>(&count),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(count, 1u);

    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(go);
    close(done);
    RegCloseKey(key);
    CloseHandle(event);
}

}  // namespace

// A read of the change log that fails loses nothing: the watcher thread reads
// it again at its next round, although nothing else changes meanwhile.
TEST(RegistryWatch, AFailedReadOfTheChangeLogIsTriedAgain) {
    auto store = openStore();
    Key k;
    ASSERT_EQ(store->createKey(store->root(), "Retry", Create::WithParents, &k), Status::Ok);
    Counter counter;
    ASSERT_EQ(store->watch(k, false, regstore::kNotifyLastSet, counter.callback(), &counter.id),
              Status::Ok);
    store->failChangeLogReads(2);
    ASSERT_EQ(regstore::setDword(*store, k, "v", 1), Status::Ok);
    EXPECT_TRUE(reaches(counter.calls, 1));
    EXPECT_EQ(counter.calls, 1);
    store->unwatch(counter.id);
}
