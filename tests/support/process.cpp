#include "tests/support/process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pavtest {

ChildProcess::ChildProcess(std::vector<std::string> args, Output captured) {
    if (args.empty()) return;
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1],
                                     captured == Output::Standard ? STDOUT_FILENO : STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) kill();
    if (out_ >= 0) ::close(out_);
}

std::string ChildProcess::line() {
    std::string s;
    if (out_ < 0) return s;
    char c;
    pollfd p{out_, POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0 && ::read(out_, &c, 1) == 1 && c != '\n') s.push_back(c);
    return s;
}

void ChildProcess::signal(int sig) {
    // Never a pid of -1 or 0: that would signal every process we may signal.
    if (pid_ > 0) ::kill(pid_, sig);
}

int ChildProcess::wait() {
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

int ChildProcess::kill() {
    signal(SIGKILL);
    return wait();
}

int ChildProcess::stop(int sig, std::string* output) {
    signal(sig);
    char buf[512];
    ssize_t n;
    while (out_ >= 0 && (n = ::read(out_, buf, sizeof buf)) > 0)
        output->append(buf, static_cast<std::size_t>(n));
    return wait();
}

}  // namespace pavtest
