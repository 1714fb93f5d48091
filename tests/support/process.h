// A program the test starts as a process of its own (a client, the daemon)
// and reads one of its outputs from. A process still running when the object
// goes is killed and reaped, so a failed assertion leaves nothing behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace pavtest {

class ChildProcess {
  public:
    // Which of the child's outputs comes back to the test through a pipe.
    enum class Output { Standard, Error };

    // Starts `argv[0]` with `argv` and this process's environment.
    explicit ChildProcess(std::vector<std::string> argv, Output captured = Output::Standard);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Spawned and not yet reaped.
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // The next line of the captured output, without its newline; what came
    // until the output ended or stayed silent for ten seconds.
    std::string line();
    // Sends `sig` (0 sends nothing).
    void signal(int sig);
    // Waits for the process to end and answers its wait status.
    int wait();
    // SIGKILL, then wait().
    int kill();
    // Sends `sig`, collects everything it writes to the captured output until
    // it exits, and answers its wait status.
    int stop(int sig, std::string* output);

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

}  // namespace pavtest
