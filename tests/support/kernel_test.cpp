#include "tests/support/kernel_test.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace pavtest {
namespace {

std::string dir;
std::mutex expectLock;
std::string expectedCheck;
std::atomic<int> expectedCount{0};

}  // namespace

void usePrivateState() {
    char tmpl[] = "/tmp/pav512-test-XXXXXX";
    if (char* d = mkdtemp(tmpl)) dir = d;
    setenv("PAV512_MACHINE_HIVE", (dir + "/machine.db").c_str(), 1);
    setenv("PAV512_USER_HIVE", (dir + "/user.db").c_str(), 1);
    setenv("PAV512_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir + "/xdg-run").c_str(), 1);
    // A service's hives on this machine are not the tests' to share.
    setenv("PAV512_SERVICE_STATE_DIR", (dir + "/service-state").c_str(), 1);
    unsetenv("PAV512_SERVICE");
}

void removePrivateState() {
    if (dir.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

const std::string& privateDir() { return dir; }

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

int ExpectViolation::count() const { return expectedCount.load(); }

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace pavtest
