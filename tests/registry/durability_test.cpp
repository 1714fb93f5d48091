// Crash safety and concurrent writers across processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "platform/registry/store.h"
#include "tests/support/kernel_test.h"

namespace {

using regstore::Create;
using regstore::Key;
using regstore::Status;
using regstore::Store;

std::string storeFile() {
    return pavtest::privateDir() + "/shared.db";
}

std::vector<std::uint8_t> pattern(std::uint32_t i) {
    std::vector<std::uint8_t> v(8192);
    for (size_t j = 0; j < v.size(); ++j)
        v[j] = static_cast<std::uint8_t>(i * 131 + j * 7 + (j >> 9));
    return v;
}

// Writes values in a loop and reports each committed step on `out`.
[[noreturn]] void writeForever(int out) {
    std::shared_ptr<Store> store;
    if (Store::open(storeFile(), &store) != Status::Ok) _exit(1);
    Key k;
    if (store->createKey(store->root(), "Crash", Create::WithParents, &k) != Status::Ok) _exit(1);
    for (std::uint32_t i = 0;; ++i) {
        Status st = store->atomically([&] {
            Status s =
                store->setValue(k, "v" + std::to_string(i), regstore::kTypeBinary, pattern(i));
            return s == Status::Ok ? regstore::setDword(*store, k, "last", i) : s;
        });
        if (st != Status::Ok) _exit(1);
        if (write(out, &i, sizeof i) != sizeof i) _exit(1);
    }
}

TEST(RegistryDurability, AWriterKilledMidWriteLeavesEveryCommittedValue) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        writeForever(fds[1]);
    }
    close(fds[1]);
    std::vector<std::uint32_t> committed;
    std::uint32_t i;
    while (committed.size() < 150 && read(fds[0], &i, sizeof i) == sizeof i) committed.push_back(i);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own";
    while (read(fds[0], &i, sizeof i) == sizeof i) committed.push_back(i);
    close(fds[0]);
    ASSERT_GE(committed.size(), 150u);

    std::shared_ptr<Store> store;
    ASSERT_EQ(Store::open(storeFile(), &store), Status::Ok);
    EXPECT_EQ(store->verify(), Status::Ok);
    Key k;
    ASSERT_EQ(store->openKey(store->root(), "Crash", &k), Status::Ok);
    for (std::uint32_t n : committed) {
        regstore::Value v;
        ASSERT_EQ(store->queryValue(k, "v" + std::to_string(n), &v), Status::Ok) << n;
        EXPECT_EQ(v.data, pattern(n)) << n;
    }
    // Whatever else made it in is whole: each step's value with its counter.
    std::uint32_t last = 0;
    ASSERT_EQ(regstore::queryDword(*store, k, "last", &last), Status::Ok);
    EXPECT_GE(last, committed.back());
    std::vector<regstore::Value> all;
    ASSERT_EQ(store->values(k, &all), Status::Ok);
    EXPECT_EQ(all.size(), last + 2u);  // v0..v<last> and "last"
    for (const regstore::Value& v : all) {
        if (v.name == "last") continue;
        EXPECT_EQ(v.data, pattern(static_cast<std::uint32_t>(std::stoul(v.name.substr(1)))))
            << v.name;
    }
}

// Every process and thread increments one counter by read-modify-write and
// adds a value of its own; nothing may be lost.
TEST(RegistryDurability, ConcurrentWritersInSeveralProcessesLoseNothing) {
    constexpr int kProcesses = 3, kThreads = 2, kSteps = 20;
    auto work = [&](int process) {
        std::shared_ptr<Store> store;
        if (Store::open(storeFile(), &store) != Status::Ok) return false;
        Key k;
        if (store->createKey(store->root(), "Shared", Create::WithParents, &k) != Status::Ok)
            return false;
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int s = 0; s < kSteps; ++s) {
                    Status st = store->atomically([&] {
                        std::uint32_t n = 0;
                        Status q = regstore::queryDword(*store, k, "counter", &n);
                        if (q != Status::Ok && q != Status::NotFound) return q;
                        q = regstore::setDword(*store, k, "counter", n + 1);
                        if (q != Status::Ok) return q;
                        std::string name = std::to_string(process) + "." + std::to_string(t) + "." +
                                           std::to_string(s);
                        return regstore::setDword(*store, k, name, n);
                    });
                    if (st != Status::Ok) failures.fetch_add(1);
                }
            });
        }
        for (auto& th : threads) th.join();
        return failures == 0;
    };
    // Children first, before this process has any thread; they start together
    // when the pipe closes.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int p = 1; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char c;
            (void)!read(gate[0], &c, 1);
            _exit(work(p) ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    EXPECT_TRUE(work(0));
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::shared_ptr<Store> store;
    ASSERT_EQ(Store::open(storeFile(), &store), Status::Ok);
    Key k;
    ASSERT_EQ(store->openKey(store->root(), "Shared", &k), Status::Ok);
    std::uint32_t counter = 0;
    ASSERT_EQ(regstore::queryDword(*store, k, "counter", &counter), Status::Ok);
    EXPECT_EQ(counter, static_cast<std::uint32_t>(kProcesses * kThreads * kSteps));
    // Each step saw a distinct counter value: no two read the same one.
    std::vector<regstore::Value> all;
    ASSERT_EQ(store->values(k, &all), Status::Ok);
    ASSERT_EQ(all.size(), static_cast<size_t>(kProcesses * kThreads * kSteps + 1));
    std::map<std::uint32_t, int> seen;
    for (const regstore::Value& v : all) {
        std::uint32_t n = 0;
        if (v.name == "counter") continue;
        ASSERT_EQ(regstore::queryDword(*store, k, v.name, &n), Status::Ok);
        EXPECT_EQ(++seen[n], 1) << "counter value " << n << " read twice";
    }
}

}  // namespace
