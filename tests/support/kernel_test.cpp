#include "tests/support/kernel_test.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/registry/hives.h"

namespace pavtest {
namespace {

std::string root;  // the process's directory
std::string dir;   // the running test's
std::mutex expectLock;
std::string expectedCheck;
std::atomic<int> expectedCount{0};

}  // namespace

namespace {

void pointEnvironmentAt(const std::string& d) {
    setenv("PAV512_MACHINE_HIVE", (d + "/machine.db").c_str(), 1);
    setenv("PAV512_USER_HIVE", (d + "/user.db").c_str(), 1);
    setenv("PAV512_RUNTIME_DIR", (d + "/run").c_str(), 1);
    setenv("XDG_STATE_HOME", (d + "/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (d + "/xdg-run").c_str(), 1);
    // A service's hives on this machine are not the tests' to share.
    setenv("PAV512_SERVICE_STATE_DIR", (d + "/service-state").c_str(), 1);
    unsetenv("PAV512_SERVICE");
}

}  // namespace

void usePrivateState() {
    char tmpl[] = "/tmp/pav512-test-XXXXXX";
    if (char* d = mkdtemp(tmpl)) root = d;
    dir = root;
    pointEnvironmentAt(dir);
}

void beginTestState() {
    if (root.empty()) return;
    // Short: socket paths under it must fit a socket address.
    static int counter = 0;
    dir = root + "/t" + std::to_string(++counter);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    pointEnvironmentAt(dir);
    // Hives the last test opened are let go; the next use opens this test's.
    regstore::closeHives();
}

void removePrivateState() {
    if (root.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

const std::string& privateDir() {
    return dir;
}

void installVerifierFailureHandler() {
    kverifier::setHandler([](const kverifier::Violation& v) {
        {
            std::lock_guard<std::mutex> g(expectLock);
            if (!expectedCheck.empty() && v.check == expectedCheck) {
                expectedCount.fetch_add(1);
                return;
            }
        }
        ADD_FAILURE() << "kernel verifier: " << v.check << ": " << v.detail;
    });
}

ExpectViolation::ExpectViolation(std::string check) : check_(std::move(check)) {
    std::lock_guard<std::mutex> g(expectLock);
    expectedCheck = check_;
    expectedCount.store(0);
}

ExpectViolation::~ExpectViolation() {
    std::lock_guard<std::mutex> g(expectLock);
    expectedCheck.clear();
    EXPECT_GT(expectedCount.load(), 0) << "expected a verifier violation '" << check_ << "'";
}

int ExpectViolation::count() const {
    return expectedCount.load();
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace pavtest
