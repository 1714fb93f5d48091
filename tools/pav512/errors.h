// How the tool ends: one sentence on standard error and an exit code a script
// can tell apart.
#pragma once

#include <stdexcept>
#include <string>

namespace pav512 {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,      // anything not listed below
    kExitUsage = 2,        // bad option, bad range, bad pattern, bad setting value
    kExitNoCamera = 3,     // no camera, or not the one asked for
    kExitBusy = 4,         // another program holds the camera
    kExitRemoved = 5,      // the camera went away during the command
    kExitDiskFull = 6,     // the files could not be written
    kExitNoHost = 7,       // no host answers and none could be started
    kExitInterrupted = 130 // Ctrl-C (128 + SIGINT)
};

class ToolError : public std::runtime_error {
  public:
    ToolError(int code, const std::string& sentence) : std::runtime_error(sentence), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

}  // namespace pav512
