#include "tools/pav512/host.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "tools/pav512/errors.h"

namespace pav512 {
namespace {

constexpr char kSocketName[] = "pav512d.sock";
constexpr char kServiceDir[] = "/run/pav512";

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : std::string();
}

// $XDG_RUNTIME_DIR, else /tmp/pav512-<uid>, the folder the library also
// keeps its shared objects in when there is no runtime directory. Under /tmp
// anyone could have made that path first: it is used only when it is this
// user's folder, not a link, and nobody else may change what is in it.
std::string userRuntimeBase() {
    std::string xdg = env("XDG_RUNTIME_DIR");
    if (!xdg.empty()) return xdg;
    const std::string base = "/tmp/pav512-" + std::to_string(::getuid());
    ::mkdir(base.c_str(), 0700);
    struct stat st {};
    if (::lstat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 022) != 0)
        throw ToolError(kExitNoHost, base +
                                         " is not a folder that only this user may change, so no "
                                         "host is started there (set XDG_RUNTIME_DIR or "
                                         "PAV512_RUNTIME_DIR).");
    return base;
}

// A short stable tag for a scenario file, so that each scenario gets a host
// (and a runtime folder) of its own.
std::string tagOf(const std::string& text) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : text) h = (h ^ c) * 16777619u;
    char out[16];
    std::snprintf(out, sizeof out, "%08x", h);
    return out;
}

std::string ownDirectory() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    buf[n] = 0;
    return std::filesystem::path(buf).parent_path().string();
}

bool executable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0 && !std::filesystem::is_directory(path);
}

// pav512d beside the tool (installed tree), in the build tree, or on PATH.
std::string findDaemon() {
    std::string configured = env("PAV512D");
    if (!configured.empty()) return configured;
    std::string own = ownDirectory();
    for (const std::string& candidate :
         {own + "/pav512d", own + "/../../host/daemon/pav512d", own + "/../sbin/pav512d"})
        if (executable(candidate)) return std::filesystem::weakly_canonical(candidate).string();
    std::string path = env("PATH");
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        if (!dir.empty() && executable(dir + "/pav512d")) return dir + "/pav512d";
        start = end + 1;
    }
    return std::string();
}

std::string lastLineOf(const std::string& file) {
    std::ifstream in(file);
    std::string line, last;
    while (std::getline(in, line))
        if (!line.empty()) last = line;
    return last;
}

}  // namespace

bool socketAnswers(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

std::string runtimeDirectoryFor(const HostOptions& o) {
    if (!o.socket.empty()) {
        std::filesystem::path p(o.socket);
        if (std::filesystem::is_directory(p)) return p.string();
        if (p.filename() != kSocketName)
            throw ToolError(kExitUsage, "The socket must be named " + std::string(kSocketName) +
                                            " (or give its folder): " + o.socket + ".");
        return p.has_parent_path() ? p.parent_path().string() : std::string(".");
    }
    std::string explicitDir = env("PAV512_RUNTIME_DIR");
    if (!explicitDir.empty()) return explicitDir;
    if (!o.scenario.empty())
        return userRuntimeBase() + "/pav512-sim-" +
               tagOf(std::filesystem::weakly_canonical(o.scenario).string());
    if (o.simulated) return userRuntimeBase() + "/pav512-sim";
    return std::string();  // the usual places
}

HostState ensureHost(const HostOptions& o) {
    HostState state;
    std::string dir = runtimeDirectoryFor(o);
    std::vector<std::string> candidates;
    if (!dir.empty()) {
        // The library looks only here from now on.
        ::setenv("PAV512_RUNTIME_DIR", dir.c_str(), 1);
        candidates.push_back(dir + "/" + kSocketName);
    } else {
        std::string xdg = env("XDG_RUNTIME_DIR");
        if (!xdg.empty()) candidates.push_back(xdg + "/pav512/" + kSocketName);
        candidates.push_back(std::string(kServiceDir) + "/" + kSocketName);
    }
    for (const std::string& c : candidates) {
        if (socketAnswers(c)) {
            state.socketPath = c;
            return state;
        }
    }
    if (!o.mayStart)
        throw ToolError(kExitNoHost, "No camera host answers on " + candidates.front() + ".");

    // Nothing answers: start a host of the user's own, where the library
    // looks first.
    if (dir.empty()) {
        std::string xdg = env("XDG_RUNTIME_DIR");
        dir = (xdg.empty() ? userRuntimeBase() : xdg) + "/pav512";
        ::setenv("PAV512_RUNTIME_DIR", dir.c_str(), 1);
    }
    std::string socket = dir + "/" + kSocketName;
    std::string daemon = findDaemon();
    if (daemon.empty())
        throw ToolError(kExitNoHost,
                        "No camera host answers and pav512d was not found (install it or put it on PATH).");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    ::chmod(dir.c_str(), 0700);
    std::string log = dir + "/pav512d.log";

    std::vector<std::string> args = {daemon, "--socket", socket};
    if (!o.scenario.empty()) {
        args.insert(args.end(), {"--scenario", std::filesystem::absolute(o.scenario).string(), "--no-usb"});
    } else if (o.simulated) {
        args.insert(args.end(), {"--simulated", "--no-usb"});
    }
    pid_t pid = ::fork();
    if (pid < 0) throw ToolError(kExitNoHost, "Cannot start pav512d: " + std::string(std::strerror(errno)) + ".");
    if (pid == 0) {
        // The host outlives this run: a session of its own, so a Ctrl-C in
        // the terminal does not reach it.
        ::setsid();
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in >= 0) ::dup2(in, 0);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!socketAnswers(socket)) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            std::string why = lastLineOf(log);
            throw ToolError(kExitNoHost, "No camera host answers, and pav512d did not start" +
                                             (why.empty() ? std::string(".") : " (" + why + ")."));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGTERM);
            throw ToolError(kExitNoHost, "No camera host answers, and the pav512d started did not answer in time.");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    {
        std::ofstream pidFile(dir + "/pav512d.pid");
        pidFile << pid << "\n";
    }
    state.socketPath = socket;
    state.started = true;
    state.pid = pid;
    if (!o.quiet)
        std::fprintf(stderr, "pav512: no camera host was running; started pav512d (pid %d%s) on %s.\n",
                     static_cast<int>(pid),
                     o.simulated || !o.scenario.empty() ? ", simulated camera" : "", socket.c_str());
    return state;
}

}  // namespace pav512
