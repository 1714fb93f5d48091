// Test entry: every kernel-verifier violation fails the test that caused it,
// unless the test expects it (kernel_test.h: ExpectViolation); each test gets
// private registry hives in its own temporary directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/kernel_test.h"

namespace {

class VerifierListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { pavtest::installVerifierFailureHandler(); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    pavtest::usePrivateState();
    ::testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener());
    int rc = RUN_ALL_TESTS();
    pavtest::removePrivateState();
    return rc;
}
