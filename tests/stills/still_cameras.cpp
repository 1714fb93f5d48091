#include "tests/stills/still_cameras.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "driver/core/driver.h"
#include "host/inprocess_transport.h"
#include "library/device/device_registry.h"
#include "library/device/library.h"
#include "platform/user/channel_transport.h"
#include "tests/support/kernel_test.h"

namespace stillstest {

const char* builtScaler() { return PAV_TEST_SCALER; }

StillCameras::StillCameras() {
    bus_ = std::make_unique<usbbus::Bus>("pav_stillsbus");
    pnp_ = std::make_unique<host::PnpManager>();
    EXPECT_TRUE(NT_SUCCESS(pnp_->loadDriver("pav512", PAV512_DriverEntry)));
    bus_->setListener(pnp_.get());
    uchannel::setTransport(host::makeInProcessTransport());
    ::setenv("PAV512_SCALER_LIBRARY", builtScaler(), 1);
    pavu::processAttach();
}

StillCameras::~StillCameras() {
    pavu::processDetach();
    uchannel::setTransport(nullptr);
    for (auto& [port, pdo] : plugged_) bus_->unplug(pdo);
    bus_->settle();
    pnp_->settle();
    bus_->setListener(nullptr);
    pnp_.reset();
    bus_.reset();
}

bool StillCameras::plug(const sim::Scenario& scenario, int port,
                        std::optional<sim::ObjectStore> store) {
    std::string instance =
        sim::instancePathFor(scenario) + (port == 1 ? "" : "-port" + std::to_string(port));
    std::shared_ptr<sim::SimCamera> camera =
        store ? std::make_shared<sim::SimCamera>(scenario, std::move(*store))
              : sim::SimCamera::create(scenario);
    EXPECT_TRUE(camera->contentProblems().empty());
    std::string error;
    PDEVICE_OBJECT pdo = bus_->plug(camera, instance, &error);
    EXPECT_NE(pdo, nullptr) << error;
    if (!pdo) return false;
    plugged_[port] = pdo;
    cameras_[port] = camera;
    pnp_->settle();
    if (pnp_->arrivalStatus(pdo) != STATUS_SUCCESS || !pnp_->functionDevice(pdo)) return false;
    // The device list refreshes at most once a second on its own.
    unsigned before = pavu::refreshCount();
    return pavtest::waitFor([&] {
        pavu::refreshDeviceRegistry();
        return pavu::refreshCount() > before;
    });
}

bool StillCameras::plug(const std::string& name, int port) {
    sim::Scenario s = sim::defaultScenario();
    s.name = name;
    return plug(s, port);
}

void StillCameras::unplug(int port) {
    auto it = plugged_.find(port);
    if (it == plugged_.end()) return;
    bus_->unplug(it->second);
    plugged_.erase(it);
    cameras_.erase(port);
    bus_->settle();
    pnp_->settle();
}

sim::SimCamera* StillCameras::camera(int port) {
    auto it = cameras_.find(port);
    return it == cameras_.end() ? nullptr : it->second.get();
}

namespace {
std::string getenvOr(const char* name, bool* had) {
    const char* v = std::getenv(name);
    *had = v != nullptr;
    return v ? v : "";
}
void restore(const char* name, bool had, const std::string& value) {
    if (had)
        ::setenv(name, value.c_str(), 1);
    else
        ::unsetenv(name);
}
}  // namespace

LibraryNames::LibraryNames(const char* jpeg, const char* scaler) {
    jpeg_ = getenvOr("PAV512_JPEG_LIBRARY", &hadJpeg_);
    scaler_ = getenvOr("PAV512_SCALER_LIBRARY", &hadScaler_);
    if (jpeg) ::setenv("PAV512_JPEG_LIBRARY", jpeg, 1);
    if (scaler) ::setenv("PAV512_SCALER_LIBRARY", scaler, 1);
}

LibraryNames::~LibraryNames() {
    restore("PAV512_JPEG_LIBRARY", hadJpeg_, jpeg_);
    restore("PAV512_SCALER_LIBRARY", hadScaler_, scaler_);
}

}  // namespace stillstest
