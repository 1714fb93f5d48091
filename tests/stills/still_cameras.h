// Simulated cameras for the still camera interface's tests: the real driver
// loaded by the PnP stand-in in this process, cameras of chosen scenarios (or
// object stores built by hand) plugged into a simulated bus, the library's
// channels reaching the driver in process, and the library loaded with the
// scaler that was built beside it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host/pnp_manager.h"
#include "platform/usb/bus.h"
#include "sim/object_store.h"
#include "sim/scenario.h"
#include "sim/sim_camera.h"

namespace stillstest {

class StillCameras {
  public:
    StillCameras();
    ~StillCameras();
    StillCameras(const StillCameras&) = delete;
    StillCameras& operator=(const StillCameras&) = delete;

    // Plugs a camera of `scenario` (with `store` instead of its generated
    // content when given) into `port`, waits for its start and refreshes the
    // library's device list. False if it did not start.
    bool plug(const sim::Scenario& scenario, int port = 1,
              std::optional<sim::ObjectStore> store = std::nullopt);
    // The default scenario under a name of its own.
    bool plug(const std::string& name, int port = 1);
    void unplug(int port = 1);
    sim::SimCamera* camera(int port = 1);

  private:
    std::unique_ptr<usbbus::Bus> bus_;
    std::unique_ptr<host::PnpManager> pnp_;
    std::map<int, PDEVICE_OBJECT> plugged_;
    std::map<int, std::shared_ptr<sim::SimCamera>> cameras_;
};

// Points the library at another scaler or JPEG library for the scope (an
// empty name: the one built beside the tests).
class LibraryNames {
  public:
    LibraryNames(const char* jpeg, const char* scaler);
    ~LibraryNames();

  private:
    std::string jpeg_, scaler_;
    bool hadJpeg_, hadScaler_;
};

// The scaler the build made, for the tests that need a preview.
const char* builtScaler();

}  // namespace stillstest
