// pav512d [--service] [--socket PATH] [--group NAME] [--simulated] [--scenario FILE]...
//         [--no-usb] [--dispatch-threads N] [--grace-ms N] [--client-deadline-ms N]
//         [--memory-budget-mb N]
//
// Serves the cameras of its buses to client processes on a Unix socket in a
// private runtime directory: per user by default ($PAV512_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/pav512), /run/pav512 with --service. Real cameras come
// through libusb unless --no-usb; --simulated adds the built-in simulated
// camera and each --scenario a simulated camera described by a scenario file.
// --group lets the members of a group use the host (with --service, the group
// pav512 when it exists). Stops in order on SIGTERM, SIGINT or SIGHUP:
// requests in flight get the grace (5 s unless --grace-ms) and are cancelled
// after it; a second signal ends the host at once.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/daemon/daemon.h"

#if PAV_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

int usage() {
    std::fprintf(
        stderr,
        "usage: pav512d [--service] [--socket PATH] [--group NAME] [--simulated]\n"
        "               [--scenario FILE]... [--no-usb] [--dispatch-threads N] [--grace-ms N]\n"
        "               [--client-deadline-ms N] [--memory-budget-mb N]\n");
    return 2;
}

bool number(const char* text, int* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!end || *end || v < 0 || v > 3600000) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    host::DaemonOptions options;
    std::chrono::milliseconds grace(5000);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        int n = 0;
        if (a == "--service") {
            options.service = true;
        } else if (a == "--simulated") {
            options.simulatedDefault = true;
        } else if (a == "--scenario" && i + 1 < argc) {
            options.scenarios.push_back(argv[++i]);
        } else if (a == "--no-usb") {
            options.usb = false;
        } else if (a == "--socket" && i + 1 < argc) {
            options.socketPath = argv[++i];
        } else if (a == "--group" && i + 1 < argc) {
            options.group = argv[++i];
        } else if (a == "--dispatch-threads" && i + 1 < argc && number(argv[i + 1], &n) && n > 0 &&
                   n <= 4096) {
            options.dispatchThreads = static_cast<unsigned>(n);
            ++i;
        } else if (a == "--grace-ms" && i + 1 < argc && number(argv[i + 1], &n)) {
            grace = std::chrono::milliseconds(n);
            ++i;
        } else if (a == "--client-deadline-ms" && i + 1 < argc && number(argv[i + 1], &n) && n > 0) {
            options.limits.setupDeadline = options.limits.messageDeadline =
                std::chrono::milliseconds(n);
            ++i;
        } else if (a == "--memory-budget-mb" && i + 1 < argc && number(argv[i + 1], &n) && n > 0 &&
                   n <= 65536) {
            options.limits.memoryBudget = static_cast<std::size_t>(n) << 20;
            ++i;
        } else {
            return usage();
        }
    }

#if PAV_HAVE_LIBSYSTEMD
    // Started by the service manager for a connection to its socket: serve
    // the socket it passes instead of binding one (the first connection
    // waits in its queue meanwhile).
    int passed = sd_listen_fds(1);
    if (passed > 1) {
        std::fprintf(stderr, "pav512d: the service manager passed %d sockets; one is expected\n", passed);
        return 1;
    }
    if (passed == 1) options.listenFd = SD_LISTEN_FDS_START;
#endif

    // Every thread started from here on inherits the blocked signals, so only
    // the wait below receives them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Request buffers and replies of up to 16 MiB come and go with clients.
    // A fixed threshold keeps every large one in its own mapping, returned
    // to the system when freed; the allocator's sliding threshold would move
    // them into arenas that keep their peak.
    mallopt(M_MMAP_THRESHOLD, 256 << 10);

    host::Daemon daemon;
    std::string error;
    if (!daemon.start(options, &error)) {
        std::fprintf(stderr, "pav512d: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& w : daemon.warnings()) std::fprintf(stderr, "pav512d: %s\n", w.c_str());
    std::fprintf(stderr, "pav512d: serving %s%s\n", daemon.socketPath().c_str(),
                 options.listenFd >= 0 ? " (socket from the service manager)" : "");
#if PAV_HAVE_LIBSYSTEMD
    sd_notify(0, "READY=1");
#endif

    int sig = 0;
    sigwait(&stop, &sig);
    std::fprintf(stderr, "pav512d: stopping on signal %d\n", sig);
    // Whoever sends a second signal wants the host gone now, whatever is
    // still in flight.
    std::thread([&stop, path = daemon.socketPath()] {
        int again = 0;
        sigwait(&stop, &again);
        ::unlink(path.c_str());
        static const char text[] = "pav512d: stopped at once on a second signal\n";
        ssize_t w = ::write(2, text, sizeof text - 1);
        (void)w;
        ::_exit(128 + again);
    }).detach();
    int removed = daemon.shutdown(grace);
    std::fprintf(stderr, "pav512d: stopped on signal %d, %d device%s removed\n", sig, removed,
                 removed == 1 ? "" : "s");
    return 0;
}
