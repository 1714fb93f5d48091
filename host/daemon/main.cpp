// pav512d [--service] [--socket PATH] [--simulated] [--scenario FILE]... [--no-usb]
//         [--dispatch-threads N]
//
// Serves the cameras of its buses to client processes on a Unix socket in a
// private runtime directory: per user by default ($PAV512_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/pav512), /run/pav512 with --service. Real cameras come
// through libusb unless --no-usb; --simulated adds the built-in simulated
// camera and each --scenario a simulated camera described by a scenario file.
// Stops in order on SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/daemon/daemon.h"

namespace {

int usage() {
    std::fprintf(
        stderr,
        "usage: pav512d [--service] [--socket PATH] [--simulated] [--scenario FILE]... [--no-usb]\n"
        "               [--dispatch-threads N]\n");
    return 2;
}

bool number(const char* text, int* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!end || *end || v < 0 || v > 4096) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    host::DaemonOptions options;
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
        } else if (a == "--dispatch-threads" && i + 1 < argc && number(argv[i + 1], &n) && n > 0) {
            options.dispatchThreads = static_cast<unsigned>(n);
            ++i;
        } else {
            return usage();
        }
    }

    // Every thread started from here on inherits the blocked signals, so only
    // the wait below receives them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    host::Daemon daemon;
    std::string error;
    if (!daemon.start(options, &error)) {
        std::fprintf(stderr, "pav512d: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& w : daemon.warnings()) std::fprintf(stderr, "pav512d: %s\n", w.c_str());
    std::fprintf(stderr, "pav512d: serving %s\n", daemon.socketPath().c_str());

    int sig = 0;
    sigwait(&stop, &sig);
    int removed = daemon.shutdown();
    std::fprintf(stderr, "pav512d: stopped on signal %d, %d device%s removed\n", sig, removed,
                 removed == 1 ? "" : "s");
    return 0;
}
