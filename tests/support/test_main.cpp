// Test entry: every kernel-verifier violation fails the test that caused it,
// unless the test expects it (kernel_test.h: ExpectViolation); each test gets
// private registry hives in its own temporary directory, and the process-wide
// state a test may change (the clock's scale, armed kernel faults, enabled
// device interfaces) is as the test found it when the next one starts, so
// every binary passes with all its tests in one process, in any order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "platform/kernel/clock.h"
#include "platform/kernel/faults.h"
#include "platform/kernel/io.h"
#include "tests/support/kernel_test.h"

namespace {

std::set<std::string> enabledInterfaces() {
    std::set<std::string> links;
    for (const kio::InterfaceInfo& i : kio::interfaces(nullptr, true)) links.insert(i.symbolicLink);
    return links;
}

class StateListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        pavtest::installVerifierFailureHandler();
        pavtest::beginTestState();
        kfault::clearAll();
        scale_ = kclock::scale();
        interfaces_ = enabledInterfaces();
    }

    // Runs before the result is printed, so what it adds fails this test.
    void OnTestEnd(const ::testing::TestInfo&) override {
        if (kclock::scale() != scale_) kclock::setScale(scale_);  // a test's own business
        kfault::clearAll();
        for (const std::string& link : enabledInterfaces())
            if (!interfaces_.count(link))
                ADD_FAILURE() << "the test left the device interface " << link << " enabled";
    }

    double scale_ = 1;
    std::set<std::string> interfaces_;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    pavtest::usePrivateState();
    ::testing::UnitTest::GetInstance()->listeners().Append(new StateListener());
    int rc = RUN_ALL_TESTS();
    pavtest::removePrivateState();
    return rc;
}
