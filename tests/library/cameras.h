// Simulated cameras for the library tests: the real driver loaded by the PnP
// stand-in in this process, a simulated bus whose cameras the test plugs in and
// out by name and port, and the library's channels reaching the driver through
// the in-process transport (or the socket server, for client processes).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host/pnp_manager.h"
#include "host/socket_server.h"
#include "platform/usb/bus.h"
#include "sim/sim_camera.h"

namespace pavtest {

class SimulatedCameras {
  public:
    // `socket`: also serve the host's socket, for client processes.
    explicit SimulatedCameras(bool socket = false);
    ~SimulatedCameras();

    // Plugs a simulated camera named `name` into port `port` (the instance
    // path, and so the interface path, differ per port) and waits until its
    // start has been handled. False if it did not start.
    bool plug(const std::string& name, int port = 1);
    // The same with memories built by the test instead of the default content.
    bool plug(const std::string& name, int port, sim::ObjectStore store);
    // Surprise removal; returns once its stack is gone.
    void unplug(const std::string& name, int port = 1);
    host::PnpManager& pnp() { return *pnp_; }
    // The socket server (null without one).
    host::SocketServer* server() { return server_.get(); }
    // The simulated camera plugged as `name` at `port`, for reading back what
    // reached it; null when none is plugged there.
    sim::SimCamera* camera(const std::string& name, int port = 1);

  private:
    bool plug(const std::string& name, int port, std::optional<sim::ObjectStore> store);

    std::unique_ptr<usbbus::Bus> bus_;
    std::unique_ptr<host::PnpManager> pnp_;
    std::unique_ptr<host::SocketServer> server_;
    std::map<std::string, PDEVICE_OBJECT> plugged_;
    std::map<std::string, std::shared_ptr<sim::SimCamera>> cameras_;
};

}  // namespace pavtest
