// pav512d: hosts the driver through the PnP stand-in over the buses it is
// given and serves control channels on its socket until told to stop.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/pnp_manager.h"
#include "host/socket_server.h"
#include "platform/usb/bus.h"

namespace host {

// Where cameras come from. Each source reports arrivals and departures to the
// PnP manager; the simulated camera's bus and the libusb bus join as sources.
class DeviceSource {
  public:
    virtual ~DeviceSource() = default;
    virtual std::string name() const = 0;
    // Starts reporting devices to `listener` (devices already present first).
    virtual void attach(usbbus::BusListener* listener) = 0;
    // Stops reporting; devices already reported stay until the host removes them.
    virtual void detach() = 0;
};

// Simulated cameras, one per scenario file, and the built-in default camera
// when `withDefault` is set. Fails (null, *error naming the file and field)
// when a file cannot be read or is invalid.
std::unique_ptr<DeviceSource> makeSimulatedSource(const std::vector<std::string>& scenarioFiles,
                                                  bool withDefault, std::string* error);

struct DaemonOptions {
    bool service = false;    // /run/pav512 unless PAV512_RUNTIME_DIR says otherwise
    std::string socketPath;  // overrides the runtime directory's socket
    std::vector<std::string> scenarios;  // simulated cameras from these files
    bool simulatedDefault = false;       // the built-in simulated camera
    bool usb = true;                     // watch for real cameras
    unsigned dispatchThreads = 2;
    // Members of this group may use the host; with `service` and no name, the
    // group "pav512" when it exists.
    std::string group;
    SocketServer::Limits limits;
    // The listening socket the service manager passed (socket activation),
    // or -1 to bind the socket path here.
    int listenFd = -1;
};

class Daemon {
  public:
    Daemon();
    ~Daemon();
    // Loads the driver, attaches the sources and starts serving.
    bool start(const DaemonOptions& options, std::string* error);
    // Stops serving (requests in flight get `grace` to finish, then are
    // cancelled; every channel closes as its client would), then takes every
    // device through the stop and removal sequences. Returns how many devices
    // were removed.
    int shutdown(std::chrono::milliseconds grace = std::chrono::milliseconds(0));
    const std::string& socketPath() const { return socketPath_; }
    // Why a source could not start (the daemon runs on without it).
    const std::vector<std::string>& warnings() const { return warnings_; }
    PnpManager& pnp() { return *pnp_; }
    // The group whose members may use the host; empty for none.
    const std::string& group() const { return group_; }

  private:
    std::vector<std::unique_ptr<DeviceSource>> sources_;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<SocketServer> server_;
    std::string socketPath_;
    std::string group_;
    std::vector<std::string> warnings_;
    bool down_ = false;
};

}  // namespace host
