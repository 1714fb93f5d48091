#include "tests/library/cameras.h"

#include <gtest/gtest.h>

#include "driver/core/driver.h"
#include "host/inprocess_transport.h"
#include "platform/user/channel_transport.h"
#include "platform/user/runtime_dir.h"
#include "sim/scenario.h"
#include "sim/sim_camera.h"

namespace pavtest {

SimulatedCameras::SimulatedCameras(bool socket) {
    bus_ = std::make_unique<usbbus::Bus>("pav_librarybus");
    pnp_ = std::make_unique<host::PnpManager>();
    EXPECT_TRUE(NT_SUCCESS(pnp_->loadDriver("pav512", PAV512_DriverEntry)));
    bus_->setListener(pnp_.get());
    uchannel::setTransport(host::makeInProcessTransport());
    if (socket) {
        host::SocketServer::Options o;
        o.socketPath = uruntime::socketPathIn(uruntime::hostDirectory(false));
        std::string error;
        server_ = host::SocketServer::start(o, &error);
        EXPECT_NE(server_, nullptr) << error;
    }
}

SimulatedCameras::~SimulatedCameras() {
    if (server_) server_->stop();
    uchannel::setTransport(nullptr);
    for (auto& [key, pdo] : plugged_) bus_->unplug(pdo);
    bus_->settle();
    pnp_->settle();
    bus_->setListener(nullptr);
    pnp_.reset();
    bus_.reset();
}

bool SimulatedCameras::plug(const std::string& name, int port) {
    return plug(name, port, std::nullopt);
}

bool SimulatedCameras::plug(const std::string& name, int port, sim::ObjectStore store) {
    return plug(name, port, std::optional<sim::ObjectStore>(std::move(store)));
}

bool SimulatedCameras::plug(const std::string& name, int port,
                            std::optional<sim::ObjectStore> store) {
    sim::Scenario s = sim::defaultScenario();
    s.name = name;
    std::string instance = sim::instancePathFor(s) + (port == 1 ? "" : "-port" + std::to_string(port));
    std::string key = name + "#" + std::to_string(port);
    std::string error;
    std::shared_ptr<sim::SimCamera> camera =
        store ? sim::SimCamera::create(s, std::move(*store)) : sim::SimCamera::create(s);
    PDEVICE_OBJECT pdo = bus_->plug(camera, instance, &error);
    EXPECT_NE(pdo, nullptr) << error;
    if (!pdo) return false;
    plugged_[key] = pdo;
    cameras_[key] = camera;
    pnp_->settle();
    return pnp_->arrivalStatus(pdo) == STATUS_SUCCESS && pnp_->functionDevice(pdo) != nullptr;
}

void SimulatedCameras::unplug(const std::string& name, int port) {
    auto it = plugged_.find(name + "#" + std::to_string(port));
    if (it == plugged_.end()) return;
    bus_->unplug(it->second);
    plugged_.erase(it);
    cameras_.erase(name + "#" + std::to_string(port));
    bus_->settle();
    pnp_->settle();
}

sim::SimCamera* SimulatedCameras::camera(const std::string& name, int port) {
    auto it = cameras_.find(name + "#" + std::to_string(port));
    return it == cameras_.end() ? nullptr : it->second.get();
}

}  // namespace pavtest
