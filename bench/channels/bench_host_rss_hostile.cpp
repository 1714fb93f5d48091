// The host's peak resident memory while 100 clients each ask for the largest
// reply there is and never read it, beside its idle figure. pav512d runs as
// its own process over its simulated camera; the clients are threads here.
// The last line is the peak.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/quick.h"
#include "pav512/ioctl.h"
#include "platform/user/channel_protocol.h"

extern char** environ;

namespace {

long statusKb(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

int connectTo(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Hello and enumeration: the simulated camera's interface path.
std::string firstInterface(const std::string& socket) {
    int fd = connectTo(socket);
    if (fd < 0) return {};
    GUID any{0x1867C0EE, 0xBE92, 0x4214, {0xA7, 0x91, 0x51, 0x71, 0x03, 0xBE, 0xE9, 0xD5}};
    auto hello = uproto::encodeHello();
    auto e = uproto::encodeEnumerate(any);
    hello.insert(hello.end(), e.begin(), e.end());
    uproto::FrameReader reader;
    uproto::Message m;
    std::string path;
    if (uproto::writeAll(fd, hello) && uproto::readMessage(fd, reader, &m) &&
        uproto::readMessage(fd, reader, &m) && m.kind == uproto::Kind::EnumerateReply) {
        auto list = uproto::decodeEnumerateReply(m.payload);
        if (list && !list->empty()) path = list->front();
    }
    ::close(fd);
    return path;
}

}  // namespace

int main() {
    const int clients = pavbench::scaled(100, 5);
    const std::uint32_t size = pavbench::scaled(uproto::kMaxBuffer, 1u << 20);

    char dirTemplate[] = "/tmp/pav512-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir) return 1;
    const std::string base = dir;
    ::setenv("PAV512_RUNTIME_DIR", (base + "/run").c_str(), 1);
    ::setenv("PAV512_MACHINE_HIVE", (base + "/machine.db").c_str(), 1);
    ::setenv("PAV512_USER_HIVE", (base + "/user.db").c_str(), 1);
    const std::string socket = base + "/run/pav512d.sock";

    // The sanitizer's quarantine, in a sanitized build, would keep freed
    // buffers resident and hide what the host itself holds.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    ::setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=0").c_str(), 1);
    const char* argv[] = {PAV512D, "--simulated", "--no-usb", nullptr};
    pid_t host = -1;
    if (posix_spawn(&host, PAV512D, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", PAV512D);
        return 1;
    }
    std::string path;
    for (int i = 0; i < 400 && path.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (std::filesystem::exists(socket)) path = firstInterface(socket);
    }
    int rc = 0;
    if (path.empty()) {
        std::fprintf(stderr, "the host did not list its camera\n");
        rc = 1;
    } else {
        const long idle = statusKb(host, "VmRSS:");
        std::vector<std::uint8_t> in(size, 0);
        const auto request = uproto::encodeRequest(1, pav512::IOCTL_DEBUG_GET_FLAG, in.data(),
                                                   size, size);
        auto open = uproto::encodeHello();
        auto o = uproto::encodeOpen(path + "\\PAV512Connect");
        open.insert(open.end(), o.begin(), o.end());
        std::vector<std::thread> threads;
        std::vector<int> fds(clients, -1);
        for (int i = 0; i < clients; ++i) {
            threads.emplace_back([&, i] {
                int fd = connectTo(socket);
                fds[i] = fd;
                if (fd < 0 || !uproto::writeAll(fd, open)) return;
                // Asks again and again and reads nothing, until the host has
                // had enough of it.
                std::vector<std::uint8_t> r = request;
                for (std::uint64_t id = 1; id <= 8; ++id) {
                    std::memcpy(r.data() + 8, &id, 8);
                    if (!uproto::writeAll(fd, r)) break;
                }
            });
        }
        for (auto& t : threads) t.join();
        const long peak = statusKb(host, "VmHWM:");
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
        std::printf("host resident memory when idle: %.0f MB\n", idle / 1024.0);
        std::printf("%d clients asking for %u-byte replies, never reading\n", clients, size);
        std::printf("host-rss-hostile: %.0f MB\n", peak / 1024.0);
    }
    ::kill(host, SIGTERM);
    int status = 0;
    ::waitpid(host, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the host did not stop cleanly (status %d)\n", status);
        rc = 1;
    }
    std::filesystem::remove_all(base);
    return rc;
}
