#include "tests/support/camera_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "driver/core/device_context.h"
#include "driver/core/driver.h"
#include "host/pnp_manager.h"
#include "platform/kernel/clock.h"
#include "platform/usb/bus.h"
#include "sim/sim_camera.h"

namespace pavtest {

struct CameraHarness::Impl {
    CameraHarnessOptions options;
    std::map<ULONG, LONGLONG> tagsBefore;
    LONG irpsBefore = 0;
    double scaleBefore = 1;
    std::unique_ptr<usbbus::Bus> bus;
    std::unique_ptr<host::PnpManager> pnp;
    std::shared_ptr<sim::SimCamera> camera;
    PDEVICE_OBJECT pdo = nullptr;
    std::string plugError;
    std::string contentProblems;
    bool tornDown = false;
};

namespace {

std::string busName() {
    // Two harnesses in one process must not share the bus driver's name.
    static std::atomic<int> counter{0};
    return "pav_camerabus" + std::to_string(counter.fetch_add(1));
}

std::string hexStatus(NTSTATUS s) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(s));
    return text;
}

}  // namespace

CameraHarness::CameraHarness() : CameraHarness(CameraHarnessOptions{}) {}

CameraHarness::CameraHarness(const sim::Scenario& scenario)
    : CameraHarness([&] {
          CameraHarnessOptions o;
          o.scenario = scenario;
          return o;
      }()) {}

CameraHarness::CameraHarness(CameraHarnessOptions options) : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
    m.options = std::move(options);
    m.tagsBefore = liveBytesByTag();
    m.irpsBefore = kio::liveIrps();
    m.scaleBefore = kclock::scale();
    if (m.options.clockScale > 0) kclock::setScale(m.options.clockScale);
    m.bus = std::make_unique<usbbus::Bus>(busName());
    m.pnp = std::make_unique<host::PnpManager>();
    NTSTATUS loaded = m.pnp->loadDriver("pav512", PAV512_DriverEntry);
    EXPECT_EQ(loaded, STATUS_SUCCESS) << "the driver did not load";
    if (m.options.configureDriver && m.pnp->driver()) {
        if (DriverContext* d = driverContextOf(m.pnp->driver())) m.options.configureDriver(d);
    }
    m.bus->setListener(m.pnp.get());
    m.camera = m.options.store ? sim::SimCamera::create(m.options.scenario, *m.options.store)
                               : sim::SimCamera::create(m.options.scenario);
    // A camera without the objects its test asked for would let the test
    // pass or fail for the wrong reason: it fails here, with the objects named.
    for (const std::string& problem : m.camera->contentProblems())
        m.contentProblems += (m.contentProblems.empty() ? "" : "; ") + problem;
    if (!m.contentProblems.empty())
        ADD_FAILURE() << "the scenario's content cannot be built: " << m.contentProblems;
    if (m.options.plugAtStart) plug();
}

CameraHarness::~CameraHarness() {
    tearDown();
}

bool CameraHarness::plug() {
    Impl& m = *impl_;
    if (m.pdo) return true;
    if (!m.contentProblems.empty()) {
        m.plugError = "the scenario's content cannot be built: " + m.contentProblems;
        return false;
    }
    std::shared_ptr<usbbus::DeviceBackend> backend = m.camera;
    if (m.options.wrapBackend) backend = m.options.wrapBackend(m.camera);
    m.pdo = m.bus->plug(backend, sim::instancePathFor(m.options.scenario), &m.plugError);
    if (!m.pdo) return false;
    m.pnp->settle();
    return true;
}

NTSTATUS CameraHarness::arrivalStatus() const {
    PDEVICE_OBJECT p = pdo();
    return p ? impl_->pnp->arrivalStatus(p) : STATUS_NO_SUCH_DEVICE;
}

bool CameraHarness::started() const {
    DeviceContext* d = device();
    return arrivalStatus() == STATUS_SUCCESS && d && d->pnpState == kPnpStarted &&
           d->running.load() && !d->stopped.load();
}

std::string CameraHarness::arrivalText() const {
    const Impl& m = *impl_;
    if (!m.pdo) return "the bus refused the camera: " + m.plugError;
    if (!pdo()) return "the camera is no longer on the bus";
    std::string text = "arrival status " + hexStatus(arrivalStatus());
    if (DeviceContext* d = device()) {
        text += ", PnP state " + std::to_string(d->pnpState);
        if (!d->running.load()) text += ", not running";
        if (d->stopped.load()) text += ", stopped (a module failed to start)";
    } else {
        text += ", no device object";
    }
    for (const std::string& p : usbbus::descriptorProblems(pdo())) text += "; descriptor: " + p;
    return text;
}

PDEVICE_OBJECT CameraHarness::pdo() const {
    const Impl& m = *impl_;
    if (!m.bus) return nullptr;
    // After a port cycle the camera comes back as a new physical device
    // object; the harness follows it.
    std::vector<PDEVICE_OBJECT> present = m.bus->devices();
    return present.empty() ? nullptr : present.front();
}

PDEVICE_OBJECT CameraHarness::fdo() const {
    PDEVICE_OBJECT p = pdo();
    return p ? impl_->pnp->functionDevice(p) : nullptr;
}

DeviceContext* CameraHarness::device() const {
    PDEVICE_OBJECT f = fdo();
    return f ? deviceContextOf(f) : nullptr;
}

DriverContext* CameraHarness::driver() const {
    return impl_->pnp && impl_->pnp->driver() ? driverContextOf(impl_->pnp->driver()) : nullptr;
}

sim::SimCamera& CameraHarness::camera() const {
    return *impl_->camera;
}
std::shared_ptr<sim::SimCamera> CameraHarness::cameraPointer() const {
    return impl_->camera;
}
host::PnpManager& CameraHarness::pnp() const {
    return *impl_->pnp;
}
usbbus::Bus& CameraHarness::bus() const {
    return *impl_->bus;
}

void CameraHarness::settle() {
    Impl& m = *impl_;
    if (!m.bus) return;
    EXPECT_TRUE(m.bus->settle()) << "the bus did not settle";
    m.pnp->settle();
}

void CameraHarness::unplug() {
    Impl& m = *impl_;
    if (!m.bus) return;
    settle();
    for (PDEVICE_OBJECT p : m.bus->devices()) m.bus->unplug(p);
    settle();
    EXPECT_TRUE(m.pnp->devices().empty()) << "a device stack outlived the camera's removal";
}

void CameraHarness::tearDown() {
    Impl& m = *impl_;
    if (m.tornDown) return;
    m.tornDown = true;
    unplug();
    m.bus->setListener(nullptr);
    m.pnp.reset();  // unloads the driver
    m.bus.reset();
    m.camera.reset();
    kclock::setScale(m.scaleBefore);

    LONG irps = kio::liveIrps();
    EXPECT_EQ(irps, m.irpsBefore) << "requests left allocated after the camera was removed";
    std::map<ULONG, LONGLONG> after = liveBytesByTag();
    for (const auto& [tag, bytes] : after) {
        auto it = m.tagsBefore.find(tag);
        LONGLONG before = it == m.tagsBefore.end() ? 0 : it->second;
        EXPECT_EQ(bytes, before) << "pool tag '" << kpool::tagName(tag) << "' holds "
                                 << bytes - before << " bytes more than before the camera came";
    }
}

std::map<ULONG, LONGLONG> CameraHarness::liveBytesByTag() {
    std::map<ULONG, LONGLONG> live;
    for (const kpool::TagUsage& u : kpool::snapshot()) live[u.tag] = u.liveBytes;
    return live;
}

}  // namespace pavtest
