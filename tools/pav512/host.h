// Finding the camera host, and starting one when none answers, the way
// tools that need a server of their own start it for the user. The library
// finds the host through the runtime directory; the tool points it there
// before its first call.
#pragma once

#include <string>

namespace pav512 {

struct HostOptions {
    std::string socket;        // --socket: the socket, or its folder
    bool simulated = false;    // --sim: a host with the built-in simulated camera
    std::string scenario;      // --sim FILE: ... with the camera a scenario file describes
    bool quiet = false;
    bool mayStart = true;      // start pav512d when nothing answers
};

struct HostState {
    std::string socketPath;    // where the host answers
    bool started = false;      // this run started it
    int pid = 0;               // its process when this run started it
};

// Points the library at the host and starts one when needed (saying so on
// standard error unless quiet). Throws ToolError(kExitNoHost) when no host
// answers and none could be started.
HostState ensureHost(const HostOptions& options);

// The sockets a client tries, in order (as the library does).
std::string runtimeDirectoryFor(const HostOptions& options);
// True when something accepts connections on the Unix socket at `path`.
bool socketAnswers(const std::string& path);

}  // namespace pav512
