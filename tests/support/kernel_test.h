// Helpers shared by the tests.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/kernel/verifier.h"

namespace pavtest {

// Points the registry hives and runtime directory at a fresh temporary
// directory for this test process.
void usePrivateState();
// Gives the test about to run a directory of its own under it (fresh hives,
// runtime and state folders; the environment set again in case a test
// changed it), so that no test sees what an earlier one left in the
// registry, whatever order they run in.
void beginTestState();
void removePrivateState();
// The running test's directory (the process's before the first test).
const std::string& privateDir();

void installVerifierFailureHandler();

// While alive, verifier violations whose check equals `check` are expected and
// counted instead of failing the test; at the end at least one must have come.
class ExpectViolation {
  public:
    explicit ExpectViolation(std::string check);
    ~ExpectViolation();
    int count() const;

  private:
    std::string check_;
};

// Polls `condition` until it holds or `timeout` (real time) passes.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

}  // namespace pavtest
